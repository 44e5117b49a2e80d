"""Runs without a terminal (a scheduled job, a pipeline): the password from
CORVANE_PASSWORD or a piped line, a clear stop when there is none, and the
password in no output or file."""
import os
import pathlib
import subprocess
import sys
import zipfile

import pytest
import yaml

from sandbox import aws as aws_sandbox
from sandbox.controller import start as start_controller

pytestmark = pytest.mark.slow  # runs in other processes: console scripts, servers

GENERATE = str(pathlib.Path(sys.executable).parent / "generate")
KNOWN, UNKNOWN = "111111111111", "222222222222"
PASSWORD = "Corvane-s3cret-9f2"


@pytest.fixture(scope="module")
def controller():
    with start_controller({KNOWN: "prod"}, "admin", PASSWORD) as server:
        yield server


@pytest.fixture(scope="module")
def aws():
    with aws_sandbox.start() as sandbox:
        aws_sandbox.seed(sandbox.endpoint, {KNOWN: {"us-east-1": [{"cidr": "10.0.0.0/16", "name": "web"}]},
                                            UNKNOWN: {"us-east-1": [{"cidr": "10.1.0.0/16"}]}})
        yield sandbox


def run(folder, controller, aws, stdin, password_variable, *options):
    (folder / "config.yaml").write_text(yaml.safe_dump({
        "account_ids": [KNOWN, UNKNOWN],
        "aws_regions": ["us-east-1"],
        "controller": {"ip": controller.address, "username": "admin"},
        "defaults": {"role_name": "corvane-migration"},
    }))
    env = {k: v for k, v in os.environ.items() if k not in ("AWS_PROFILE", "AWS_SESSION_TOKEN", "CORVANE_PASSWORD")}
    env.update(aws_sandbox.client_env(aws.endpoint))
    if password_variable:
        env["CORVANE_PASSWORD"] = PASSWORD
    controller.requests.clear()
    return subprocess.run(
        [GENERATE, "-c", "config.yaml", "-e", "out.xlsx", "-d", "out.yaml", *options],
        cwd=folder, env=env, capture_output=True, timeout=120,
        start_new_session=True,  # no controlling terminal, as under cron
        input=stdin.encode() if isinstance(stdin, str) else None,
        stdin=stdin if not isinstance(stdin, str) else None,
        preexec_fn=(lambda: os.close(0)) if stdin == "closed" else None,
    )


@pytest.mark.parametrize(
    "stdin",
    [subprocess.DEVNULL, "closed"],
    ids=["empty standard input", "closed standard input"],
)
def test_no_password_anywhere_stops_before_the_controller(tmp_path, controller, aws, stdin):
    done = run(tmp_path, controller, aws, subprocess.DEVNULL if stdin != "closed" else "closed", False)
    assert done.returncode == 1
    assert done.stderr.decode().splitlines()[-1] == (
        f"generate: error: no password for the controller at {controller.address}: standard input ended before "
        "one was given; type it at the prompt, pipe it to standard input or set CORVANE_PASSWORD"
    )
    assert controller.requests == []
    assert sorted(p.name for p in tmp_path.iterdir()) == ["config.yaml"]


@pytest.mark.parametrize(
    "stdin, variable",
    [(PASSWORD + "\n" + PASSWORD + "\n", False), (PASSWORD + "\r\n", False), ("closed", True),
     ("wrong\n", True)],
    ids=["piped line", "line ending in CR LF", "variable, standard input closed", "variable wins over standard input"],
)
def test_password_without_terminal_is_never_shown(tmp_path, controller, aws, stdin, variable):
    done = run(tmp_path, controller, aws, stdin, variable, "-v")
    stderr = done.stderr.decode()
    assert done.returncode == 0, stderr
    logins = [r["password"] for r in controller.requests if r["action"] == "login"]
    assert logins and set(logins) == {PASSWORD}  # a piped line for each login
    assert ("password:" in stderr) is not variable  # no prompt when the variable gives it
    assert "getpass.py" not in stderr and "GetPassWarning" not in stderr  # no interpreter paths
    assert f"WARNING generator.generate:main Account {UNKNOWN} is not in the Corvane " \
           "Controller's account list: its account_name stays empty" in stderr
    written = [(tmp_path / "out.yaml").read_bytes()]
    with zipfile.ZipFile(tmp_path / "out.xlsx") as book:
        written += [book.read(name) for name in book.namelist()]
    assert all(PASSWORD.encode() not in data for data in [done.stdout, done.stderr, *written])
    assert b"DEBUG" in done.stderr  # -v was on: the debug dumps were written without it
