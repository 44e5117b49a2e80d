"""generate at enterprise scale against the synthetic AWS (sandbox/synthetic_aws.py).

The estate: N accounts (default 1,000), the 17 regions of each discovered through
DescribeRegions, a default VPC in every region and three more VPCs in two regions of each
account (23 VPCs per account). `generate -e -d` with default options, the password from
CORVANE_PASSWORD, the substitute controller naming every account. Printed per run: wall time,
peak RSS of all the run's processes together (sampled), CPU seconds (user + system) in all and
per (account, region), and the AWS requests by action.

Runs, in this order:
- "walk":  AWS answering 100 ms late (--latency-ms);
- "cpu":   AWS answering at once: CPU per (account, region);
- "debug": with -v, AWS at once, the log thrown away: peak RSS;
- "resume": the walk killed with SIGKILL once AWS has served half the DescribeVpcs, then the
  same command with --resume: its requests against those of the pairs the journal lacked
  (target: at most 5 % more), and its files against an uninterrupted run's (every cell of
  every sheet, the Coverage timings left out; the YAML byte for byte).

    python bench/scale.py [--accounts 1000] [--latency-ms 100] [--only walk,cpu,debug,resume]
                          [--generate OTHER/bin/generate] [--jobs N]

--generate times another build of the command (the one before a change, say).
"""
import argparse
import json
import os
import pathlib
import signal
import subprocess
import sys
import tempfile
import threading
import time
from collections import Counter

import openpyxl
import yaml

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1]))  # the sandbox beside bench/

from sandbox.controller import start as start_controller
from sandbox.synthetic_aws import Estate
from sandbox.synthetic_aws import start as start_aws

PASSWORD = "bench"
GENERATE = str(pathlib.Path(sys.executable).parent / "generate")


def tree_rss(root):
    """Resident memory of a process and all its descendants, in bytes."""
    total, pending = 0, [root]
    while pending:
        pid = pending.pop()
        try:
            with open(f"/proc/{pid}/status") as status:
                for line in status:
                    if line.startswith("VmRSS:"):
                        total += int(line.split()[1]) * 1024
            for task in os.listdir(f"/proc/{pid}/task"):
                with open(f"/proc/{pid}/task/{task}/children") as children:
                    pending.extend(int(c) for c in children.read().split())
        except (FileNotFoundError, ProcessLookupError):
            continue
    return total


class Run:
    """One generate process: wall time, sampled peak RSS of its tree, CPU from wait4."""

    def __init__(self, argv, env, cwd, stderr):
        self.started = time.perf_counter()
        self.process = subprocess.Popen(argv, env=env, cwd=cwd, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                        stderr=stderr)
        self.peak = 0
        self._sampler = threading.Thread(target=self._sample, daemon=True)
        self._sampler.start()

    def _sample(self):
        while self.process.returncode is None:
            self.peak = max(self.peak, tree_rss(self.process.pid))
            time.sleep(0.05)

    def wait(self):
        _, status, usage = os.wait4(self.process.pid, 0)
        self.process.returncode = os.waitstatus_to_exitcode(status)
        self.wall = time.perf_counter() - self.started
        self.cpu = usage.ru_utime + usage.ru_stime
        self.peak = max(self.peak, usage.ru_maxrss * 1024)
        return self


def requests_text(counts):
    return f"{sum(counts.values())} requests (" + ", ".join(f"{a} {n}" for a, n in sorted(counts.items())) + ")"


class Bench:
    def __init__(self, args, folder, controller, aws, pairs):
        self.args, self.folder, self.aws, self.pairs = args, folder, aws, pairs
        self.env = {k: v for k, v in os.environ.items() if not k.startswith("AWS_")}
        self.env.update(aws.env(), CORVANE_PASSWORD=PASSWORD)
        (folder / "config.yaml").write_text(yaml.safe_dump({
            "account_ids": list(args.account_ids),
            "aws_regions": [],
            "controller": {"ip": controller.address, "username": "admin"},
            "defaults": {"role_name": "corvane-migration"},
        }))

    def argv(self, name, *extra):
        jobs = ["--jobs", str(self.args.jobs)] if self.args.jobs else []
        return [self.args.generate, "-q", "-c", "config.yaml", "-e", f"{name}.xlsx", "-d", f"{name}.yaml",
                *jobs, *extra]

    def run(self, label, argv, latency_ms, log=None, expect=0):
        self.aws.set_latency(latency_ms)
        self.aws.reset()
        with open(self.folder / "err.log", "w") as errors:
            done = Run(argv, self.env, self.folder, log or errors).wait()
        counts = self.aws.counts()
        if done.process.returncode != expect:
            tail = pathlib.Path(self.folder / "err.log").read_text()[-3000:]
            raise RuntimeError(f"{label}: exit status {done.process.returncode}\n{tail}")
        print(f"  {label:<22} {done.wall:7.1f} s wall, peak RSS {done.peak / 2**20:6.0f} MiB, CPU {done.cpu:6.1f} s "
              f"= {done.cpu / self.pairs * 1000:5.1f} ms per (account, region); {requests_text(counts)}", flush=True)
        return done, counts

    def walk(self):
        return self.run(f"walk at {self.args.latency_ms:g} ms", self.argv("walk"), self.args.latency_ms)

    def cpu(self):
        return self.run("walk at 0 ms", self.argv("cpu"), 0)

    def debug(self):
        with open(os.devnull, "w") as sink:
            return self.run("-v at 0 ms", [*self.argv("debug"), "-v"], 0, log=sink)

    def resume(self, reference):
        """Killed at half way, then --resume; `reference`: (name, counts) of an uninterrupted run."""
        if reference is None:
            _, counts = self.run("uninterrupted at 0 ms", self.argv("reference"), 0)
            reference = ("reference", counts)
        name, counts = reference
        accounts = len(self.args.account_ids)
        self.aws.set_latency(self.args.latency_ms)
        self.aws.reset()
        with open(self.folder / "err.log", "w") as errors:
            killed = Run(self.argv("resume"), self.env, self.folder, errors)
            while self.aws.counts().get("DescribeVpcs", 0) < self.pairs / 2 and killed.process.poll() is None:
                time.sleep(0.05)
            killed.process.send_signal(signal.SIGKILL)
            killed.wait()
        served = self.aws.counts()
        journaled_pairs, journaled_accounts = set(), set()
        with open(self.folder / "resume.xlsx.journal") as journal:
            for line in list(journal)[1:]:
                try:
                    entry = json.loads(line)
                except ValueError:
                    break  # the line the kill cut short
                if "region" in entry:
                    journaled_pairs.add((entry["account"], entry["region"]))
                else:
                    journaled_accounts.add(entry["account"])
        print(f"  {'killed at half way':<22} {killed.wall:7.1f} s wall; {requests_text(served)}; the journal holds "
              f"{len(journaled_pairs)} of {self.pairs} (account, region) pairs", flush=True)
        # What an uninterrupted run asks for the pairs, accounts and region lists the journal lacks.
        left = self.pairs - len(journaled_pairs)
        regions_of = Counter(a for a, _ in journaled_pairs)  # every account has the same regions
        unfinished = accounts - sum(1 for n in regions_of.values() if n == self.pairs // accounts)
        remaining = round(left * (counts.get("DescribeVpcs", 0) + counts.get("DescribeSubnets", 0)) / self.pairs
                          + unfinished * counts.get("AssumeRole", 0) / accounts
                          + (accounts - len(journaled_accounts)) * counts.get("DescribeRegions", 0) / accounts)
        _, resumed = self.run("--resume", [*self.argv("resume"), "--resume"], self.args.latency_ms)
        asked = sum(resumed.values())
        same = outputs(self.folder, "resume") == outputs(self.folder, name)
        unasked = sum(counts.values()) - sum(served.values())
        print(f"  {'':<22} {asked} requests for the {left} pairs left, whose share of an uninterrupted run is "
              f"{remaining}: {100 * (asked - remaining) / max(remaining, 1):+.1f} % (target: at most +5 %); "
              f"{100 * (asked - unasked) / max(unasked, 1):+.1f} % against the {unasked} requests the killed run "
              f"had not made (its work under way and the roles of unfinished accounts are asked again); "
              f"files identical to an uninterrupted run's: {'yes' if same else 'NO'}", flush=True)


def outputs(folder, name):
    """Every cell of every sheet of the workbook (the Coverage timings left out) and the YAML's bytes."""
    sheets = {}
    for sheet in openpyxl.load_workbook(folder / f"{name}.xlsx").worksheets:
        rows = [[cell.value for cell in row] for row in sheet.iter_rows()]
        if sheet.title == "Coverage":
            at = rows[0].index("seconds")
            rows = [row[:at] + row[at + 1:] for row in rows]
        sheets[sheet.title] = rows
    return sheets, (folder / f"{name}.yaml").read_bytes()


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--accounts", type=int, default=1000)
    parser.add_argument("--latency-ms", type=float, default=100.0)
    parser.add_argument("--jobs", type=int, help="--jobs for generate (default: its own default)")
    parser.add_argument("--only", default="walk,cpu,debug,resume", help="runs to make, comma-separated")
    parser.add_argument("--generate", default=GENERATE, help="the generate command to time")
    args = parser.parse_args()
    runs = args.only.split(",")
    estate = Estate.generated(args.accounts)
    args.account_ids = estate.accounts
    pairs = len(estate.pairs())
    print(f"estate: {args.accounts} accounts x 17 regions (discovered), {estate.total_vpcs()} VPCs; "
          f"{pairs} (account, region) pairs; AWS answers {args.latency_ms:g} ms late in the walks")
    names = {a: f"bench {n}" for n, a in enumerate(estate.accounts)}
    with start_controller(names, "admin", PASSWORD) as controller, start_aws(estate) as aws, \
            tempfile.TemporaryDirectory(prefix="generate-scale-") as folder:
        bench = Bench(args, pathlib.Path(folder), controller, aws, pairs)
        reference = None
        if "walk" in runs:
            reference = ("walk", bench.walk()[1])
        if "cpu" in runs:
            bench.cpu()
        if "debug" in runs:
            bench.debug()
        if "resume" in runs:
            bench.resume(reference)
    return 0


if __name__ == "__main__":
    sys.exit(main())
