"""The console scripts' entry points: exit statuses and the one-line error."""

import logging
import os
import signal
import subprocess
import sys
import time
from pathlib import Path

import pytest

import generator.generate
from generator import launcher


@pytest.fixture
def run_generate(monkeypatch):
    """Run the launcher in-process with generate's main replaced; restore logging after."""
    logger = logging.getLogger("generator")
    saved = (logger.level, list(logger.handlers))

    def run(fake_main):
        monkeypatch.setattr(generator.generate, "main", fake_main)
        return launcher._run("generate")

    yield run
    logger.handlers[:] = saved[1]
    logger.setLevel(saved[0])


def _raising(error):
    def main():
        raise error

    return main


def _with_note(error, note):
    error.add_note(note)
    return error


@pytest.mark.parametrize(
    "error, line",
    [
        (ValueError("bad cell"), "generate: error: bad cell"),
        (KeyError("CID"), "generate: error: missing key 'CID'"),
        (KeyError("columns not in the workbook: region"), "generate: error: columns not in the workbook: region"),
        (RuntimeError(), "generate: error: RuntimeError"),
    ]
    + (
        [(_with_note(ValueError("cannot write"), "while writing out.xlsx"),
          "generate: error: cannot write (while writing out.xlsx)")]
        if sys.version_info >= (3, 11)
        else []
    ),
)
def test_error_is_one_line_and_status_1(run_generate, capsys, error, line):
    assert run_generate(_raising(error)) == 1
    assert capsys.readouterr().err == line + "\n"


def test_success_is_status_0(run_generate, capsys):
    assert run_generate(lambda: None) == 0
    assert capsys.readouterr().err == ""


def test_traceback_only_at_debug(run_generate, capsys):
    def main():
        logging.getLogger("generator").setLevel(logging.DEBUG)  # what -v does while parsing
        raise ValueError("bad cell")

    assert run_generate(main) == 1
    err = capsys.readouterr().err
    assert "Traceback" in err and "ValueError: bad cell" in err
    assert err.endswith("generate: error: bad cell\n")


def test_interrupt_is_130_and_system_exit_passes(run_generate, capsys):
    assert run_generate(_raising(KeyboardInterrupt())) == 130
    assert "Traceback" not in capsys.readouterr().err
    with pytest.raises(SystemExit) as stopped:
        run_generate(_raising(SystemExit(1)))
    assert stopped.value.code == 1


def test_sigterm_while_writing_is_met_like_ctrl_c(run_generate, capsys, tmp_path):
    """A scheduler's SIGTERM in the middle of a write: the old file stays, no temporary is left, status 143."""
    from generator.common.serializers import export

    out = tmp_path / "out.yaml"
    out.write_text("old\n")
    handler = signal.getsignal(signal.SIGTERM)

    def main():
        def write(tmp):
            tmp.write_text("half: ")
            os.kill(os.getpid(), signal.SIGTERM)
            time.sleep(30)  # the signal ends the wait

        export.write_atomically(out, write)

    assert run_generate(main) == 143
    assert out.read_text() == "old\n" and list(tmp_path.iterdir()) == [out]
    assert capsys.readouterr().err == "generate: terminated\n"
    assert signal.getsignal(signal.SIGTERM) == handler


def test_python_warnings_are_log_lines_without_paths(run_generate, capsys):
    import getpass
    import warnings

    def main():
        warnings.warn("Can not control echo on the terminal.", getpass.GetPassWarning)

    with warnings.catch_warnings():
        warnings.simplefilter("default")
        assert run_generate(main) == 0
    assert capsys.readouterr().err == "generator:WARNING Can not control echo on the terminal.\n"


@pytest.mark.slow
def test_ctrl_c_at_the_password_prompt(tmp_path):
    """An engineer who presses Ctrl-C at the prompt gets status 130, no traceback, no file."""
    import pty

    config = tmp_path / "config.yaml"
    config.write_text(
        'account_ids: ["111111111111"]\ncontroller: {ip: "127.0.0.1:9", username: admin}\n'
        "defaults: {role_name: r}\n"
    )
    generate = Path(sys.executable).with_name("generate")
    pid, fd = pty.fork()
    if pid == 0:  # the child has the pseudo-terminal as its controlling terminal
        os.execv(str(generate), [str(generate), "-c", str(config), "-e", str(tmp_path / "out.xlsx")])
    seen, deadline = b"", time.monotonic() + 60
    while b"password:" not in seen and time.monotonic() < deadline:
        seen += os.read(fd, 1024)
    assert b"password:" in seen
    os.write(fd, b"\x03")
    rest = b""
    try:
        while True:
            chunk = os.read(fd, 1024)
            if not chunk:
                break
            rest += chunk
    except OSError:  # the terminal is gone once the command has ended
        pass
    _, status = os.waitpid(pid, 0)
    os.close(fd)
    assert os.waitstatus_to_exitcode(status) == 130
    assert b"Traceback" not in rest
    assert not (tmp_path / "out.xlsx").exists()


HEAVY = {"pandas", "openpyxl", "boto3", "botocore", "requests", "pydantic"}


@pytest.mark.slow  # new interpreters
@pytest.mark.parametrize("command, args, out", [
    ("generate", ["--version"], "generate "),
    ("generate", ["--help"], "usage: generate"),
    ("convert", ["--help"], "usage: convert"),
    ("generate", ["--example-config"], "account_ids:"),
])
def test_quick_questions_import_no_heavy_library(tmp_path, command, args, out):
    script = f"import sys; sys.argv = [{command!r}, *{args!r}]; from generator.launcher import {command}; {command}()"
    done = subprocess.run([sys.executable, "-X", "importtime", "-c", script], cwd=tmp_path, capture_output=True,
                          text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    assert out in done.stdout
    # "import time: self [us] | cumulative | name", the name indented by its depth
    imported = {line.rsplit("|", 1)[1].strip() for line in done.stderr.splitlines() if line.startswith("import time:")}
    assert "generator.launcher" in imported
    assert {name.split(".")[0] for name in imported} & HEAVY == set()
