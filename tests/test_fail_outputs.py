"""Outputs that cannot be written are refused before the work: before the
password is asked, AWS is walked or the workbook is read, naming the option and the path."""
import ctypes
import os
import pathlib
import subprocess
import sys

import pytest
import yaml

pytestmark = pytest.mark.slow  # runs in other processes: console scripts, servers

SCRIPTS = pathlib.Path(sys.executable).parent
PR_CAPBSET_DROP, CAP_DAC_OVERRIDE, CAP_DAC_READ_SEARCH = 24, 1, 2


def _without_override():
    """In the child, as root: give up the right to write where the permissions say no."""
    if os.geteuid() == 0:
        libc = ctypes.CDLL(None, use_errno=True)
        for capability in (CAP_DAC_OVERRIDE, CAP_DAC_READ_SEARCH):
            libc.prctl(PR_CAPBSET_DROP, capability, 0, 0, 0)  # where refused, the probe below skips


@pytest.fixture
def folder(tmp_path):
    (tmp_path / "config.yaml").write_text(yaml.safe_dump({
        "account_ids": ["111111111111"], "controller": {"ip": "127.0.0.1:1", "username": "a"},
        "defaults": {"role_name": "r"},
    }))
    (tmp_path / "template.yaml").write_text("config: {}\n")
    (tmp_path / "taken.yaml").mkdir()
    os.mkfifo(tmp_path / "pipe.xlsx")
    (tmp_path / "null.yaml").symlink_to(os.devnull)
    (tmp_path / "folder.xlsx").symlink_to(tmp_path / "taken.yaml")
    (tmp_path / "locked").mkdir()
    (tmp_path / "locked" / "out.xlsx").write_bytes(b"old")
    (tmp_path / "locked").chmod(0o555)
    yield tmp_path
    (tmp_path / "locked").chmod(0o755)


GENERATE = ["generate", "-c", "config.yaml"]
CONVERT = ["convert", "-e", "missing.xlsx"]  # never read: the output is refused first


@pytest.mark.parametrize(
    "argv, message",
    [
        (GENERATE + ["-e", "locked/out.xlsx"],
         "locked/out.xlsx: the folder {tmp}/locked for the Excel workbook (-e/--excel) is not writable"),
        (GENERATE + ["-d", "locked/out.yaml", "-e", "out.xlsx"],
         "locked/out.yaml: the folder {tmp}/locked for the YAML inventory (-d/--tandrel) is not writable"),
        (GENERATE + ["-e", "out.txt"], "out.txt: the Excel workbook (-e/--excel) must be a file name ending in .xlsx"),
        (CONVERT + ["-y", "locked/out.yaml"],
         "locked/out.yaml: the folder {tmp}/locked for the YAML configuration (-y/--yaml) is not writable"),
        (CONVERT + ["-y", "out.txt"],
         "out.txt: the YAML configuration (-y/--yaml) must be a file name ending in .yaml or .yml"),
        (CONVERT + ["-y", "template.yaml", "--template", "template.yaml"],
         "template.yaml is the template: the YAML configuration (-y/--yaml) would overwrite it; give it another name"),
        (CONVERT + ["-y", "taken.yaml"], "taken.yaml is a folder: the YAML configuration (-y/--yaml) needs a file name"),
        (GENERATE + ["-e", "pipe.xlsx"],
         "pipe.xlsx is a named pipe (FIFO), not a file: the Excel workbook (-e/--excel) needs a regular file"),
        (CONVERT + ["-y", "null.yaml"],
         "null.yaml points to a device, not a file: the YAML configuration (-y/--yaml) needs a regular file"),
        (GENERATE + ["-e", "folder.xlsx"], "folder.xlsx is a folder: the Excel workbook (-e/--excel) needs a file name"),
        (CONVERT + ["-y", "nowhere/out.yaml"],
         "nowhere/out.yaml: the folder {tmp}/nowhere for the YAML configuration (-y/--yaml) does not exist"),
    ],
)
def test_unwritable_output_refused_before_the_work(folder, argv, message):
    if "locked" in message:
        probe = subprocess.run([sys.executable, "-c", "import os, sys; print(os.access(sys.argv[1], os.W_OK))",
                                folder / "locked"], capture_output=True, text=True, preexec_fn=_without_override)
        if probe.stdout.strip() != "False":
            pytest.skip("this user writes into read-only folders and cannot give that up")
    before = sorted(p.relative_to(folder) for p in folder.rglob("*"))
    env = {k: v for k, v in os.environ.items() if k != "CORVANE_PASSWORD"}
    done = subprocess.run(
        [str(SCRIPTS / argv[0]), *argv[1:]], cwd=folder, capture_output=True, text=True, timeout=120, env=env,
        stdin=subprocess.DEVNULL, start_new_session=True, preexec_fn=_without_override,
    )
    assert done.returncode == 1
    # One line, and the first error: no password asked, no workbook read.
    assert done.stderr == f"{argv[0]}: error: {message.format(tmp=folder)}\n"
    assert sorted(p.relative_to(folder) for p in folder.rglob("*")) == before
    assert (folder / "locked" / "out.xlsx").read_bytes() == b"old"
