"""The plain C++ of src/native that has no Python in it, compiled on its own and run:
the IPv4 block walk against trying every block, the overlap search against every pair."""
import os
import shlex
import subprocess
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent


@pytest.mark.parametrize("name, sources, says", [
    ("ipv4_walk", ["ipv4.cpp"], "ipv4 block walk: all checks hold\n"),
    ("overlaps", ["overlaps.cpp", "ipv4.cpp"], "overlap search: all checks hold\n"),
])
def test_native_unit(tmp_path, name, sources, says):
    program = tmp_path / name
    compiler = shlex.split(os.environ.get("CXX", "c++"))
    built = subprocess.run([*compiler, "-std=c++17", "-O1", "-Wall", "-Wextra", "-Werror", f"-I{ROOT / 'src'}",
                            str(ROOT / "tests" / "native" / f"{name}.cpp"),
                            *(str(ROOT / "src" / "native" / source) for source in sources),
                            "-o", str(program)], capture_output=True, text=True, timeout=300)
    assert built.returncode == 0, built.stderr
    done = subprocess.run([str(program)], capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stdout + done.stderr
    assert done.stdout == says
