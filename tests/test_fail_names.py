"""File names that are not UTF-8 (possible on Linux) get the command's own message, the
undecodable bytes shown as replacement characters, never an error about casting."""
import os
import pathlib
import subprocess
import sys

import pytest

pytestmark = pytest.mark.slow  # runs in other processes: console scripts

SCRIPTS = pathlib.Path(sys.executable).parent


@pytest.mark.parametrize(
    "argv, message",
    [
        (["generate", "-c", b"\xff.yaml", "-e", "out.xlsx"], "generate: error: Configuration file not found: \ufffd.yaml"),
        (["generate", "-c", "config.yaml", "-e", b"\xffdir/out.xlsx"],
         "generate: error: \ufffddir/out.xlsx: the folder {folder}/\ufffddir for the Excel workbook"),
        (["convert", "-e", "review.xlsx", "-y", b"\xffdir/out.yaml"],
         "convert: error: \ufffddir/out.yaml: the folder {folder}/\ufffddir for the YAML configuration"),
        (["convert", "-e", b"\xff.xlsx", "-y", "out.yaml"], "convert: error: [Errno 2] No such file or directory"),
    ],
    ids=["generate config", "generate workbook", "convert output", "convert workbook"],
)
def test_name_that_is_not_utf8(tmp_path, argv, message):
    (tmp_path / "config.yaml").write_text(
        "account_ids: ['111111111111']\ncontroller: {ip: '127.0.0.1:1', username: admin}\n"
        "defaults: {role_name: r}\n")
    (tmp_path / "review.xlsx").write_bytes(b"")
    args = [os.fsdecode(a) if isinstance(a, bytes) else a for a in argv]
    done = subprocess.run([str(SCRIPTS / args[0]), *args[1:]], cwd=tmp_path, capture_output=True, timeout=120,
                          env={**os.environ, "CORVANE_PASSWORD": "unused"})
    stderr = done.stderr.decode("utf-8", "replace")
    assert done.returncode == 1, stderr
    assert "Unable to cast" not in stderr
    last = stderr.strip().splitlines()[-1]
    assert last.startswith(message.format(folder=os.path.realpath(tmp_path))) or last.startswith(
        message.format(folder=tmp_path)), last
