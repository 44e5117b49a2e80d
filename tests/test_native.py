"""The plain C++ of src/native that has no Python in it, compiled on its own and run:
the IPv4 block walk against trying every block."""
import os
import shlex
import subprocess
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent


def test_ipv4_block_walk(tmp_path):
    program = tmp_path / "ipv4_walk"
    compiler = shlex.split(os.environ.get("CXX", "c++"))
    built = subprocess.run([*compiler, "-std=c++17", "-O1", "-Wall", "-Wextra", "-Werror", f"-I{ROOT / 'src'}",
                            str(ROOT / "tests" / "native" / "ipv4_walk.cpp"), str(ROOT / "src" / "native" / "ipv4.cpp"),
                            "-o", str(program)], capture_output=True, text=True, timeout=300)
    assert built.returncode == 0, built.stderr
    done = subprocess.run([str(program)], capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stdout + done.stderr
    assert done.stdout == "ipv4 block walk: all checks hold\n"
