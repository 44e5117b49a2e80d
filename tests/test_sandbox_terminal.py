"""The pseudo-terminal runner that types the controller password, as an engineer would."""

import os
import sys
from pathlib import Path

import pytest

from sandbox.terminal import run_with_password

pytestmark = pytest.mark.slow  # runs in other processes: console scripts, servers

ASK = "import getpass, sys; print('got', getpass.getpass('Controller password:')); print('log', file=sys.stderr)"


def test_password_typed_at_the_terminal_and_streams_kept_apart():
    done = run_with_password([sys.executable, "-c", ASK], "s3cret", timeout=60)
    assert (done.returncode, done.prompts) == (0, 1)
    assert done.stdout == "got s3cret\n" and done.stderr == "log\n"
    assert "Controller password:" in done.terminal and "s3cret" not in done.terminal


@pytest.mark.skipif(not Path("/proc/self").exists(), reason="looks processes up in /proc")
def test_time_out_leaves_no_process_behind(tmp_path):
    pid_file = tmp_path / "pid"
    child = f"import os, time; open({str(pid_file)!r}, 'w').write(str(os.getpid())); time.sleep(60)"
    with pytest.raises(TimeoutError):
        run_with_password([sys.executable, "-c", child], "unused", timeout=3)
    pid = int(pid_file.read_text())
    assert not Path(f"/proc/{pid}").exists(), "the command was left running or unreaped"
    with pytest.raises(ChildProcessError):
        os.waitpid(pid, os.WNOHANG)
