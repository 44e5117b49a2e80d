"""Time the overlap search natively on generated estates of growing size.

An estate shaped like a landing zone: every (account, region) has its default
VPC 172.31.0.0/16 (a third of all blocks), application VPCs drawn from a few
10.x ranges that many accounts reuse, some with a secondary block, and VPCs
shared from network accounts that count once; each VPC has a proposed /27
inside its block. The blocks go to a small C++ program (compiled here, -O2)
that runs the search once and reports its time and the most memory it held.

    python bench/overlaps.py [--sizes 12500,25000,50000,100000,200000]
"""
import argparse
import os
import random
import shlex
import subprocess
import sys
import tempfile
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]


def estate_blocks(total, seed=17):
    """(lines for the timing program, VPCs) of an estate with about `total` blocks."""
    rng = random.Random(seed)
    lines, vpc = [], 0
    blocks = 0
    while blocks < total:
        # One (account, region): its default VPC, then two application VPCs.
        lines.append(f"{vpc} 172.31.0.0/16 1")
        lines.append(f"P {vpc} 172.31.{rng.randrange(96, 256)}.0/27")
        vpc += 1
        blocks += 1
        for _ in range(2):
            if blocks >= total:
                break
            second = rng.randrange(0, 64)
            lines.append(f"{vpc} 10.{second}.0.0/16 0")
            blocks += 1
            if rng.random() < 0.15 and blocks < total:  # a secondary block
                lines.append(f"{vpc} 100.{64 + second}.{rng.randrange(0, 256)}.0/24 0")
                blocks += 1
            lines.append(f"P {vpc} 10.{second}.{rng.randrange(0, 256)}.{rng.randrange(0, 8) * 32}/27")
            vpc += 1
    return "\n".join(lines) + "\n", vpc


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sizes", default="12500,25000,50000,100000,200000")
    args = parser.parse_args(argv)
    compiler = shlex.split(os.environ.get("CXX", "c++"))
    with tempfile.TemporaryDirectory() as folder:
        program = Path(folder) / "overlaps_time"
        subprocess.run([*compiler, "-std=c++17", "-O2", f"-I{ROOT / 'src'}", str(ROOT / "bench" / "overlaps_time.cpp"),
                        str(ROOT / "src" / "native" / "overlaps.cpp"), str(ROOT / "src" / "native" / "ipv4.cpp"),
                        "-o", str(program)], check=True)
        print(f"{'blocks':>8} {'proposals':>9} {'overlapping':>11} {'groups':>6} {'seconds':>8} {'memory MB':>9}"
              f" {'bytes/block':>11}")
        for size in (int(s) for s in args.sizes.split(",")):
            text, _ = estate_blocks(size)
            done = subprocess.run([str(program)], input=text, capture_output=True, text=True, check=True)
            blocks, proposals, overlapping, groups, seconds, memory = done.stdout.split()
            print(f"{blocks:>8} {proposals:>9} {overlapping:>11} {groups:>6} {float(seconds):>8.3f}"
                  f" {int(memory) / 1e6:>9.1f} {int(memory) / int(blocks):>11.0f}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
