"""A controller that stalls, hangs up, speaks plain HTTP, cannot be reached or
answers the wrong shape ends the run with one line naming it, the step and the cause."""
import os
import pathlib
import socket
import subprocess
import sys
import time
from types import SimpleNamespace

import pytest
import requests
import yaml

import generator.generate as gen
from sandbox.controller import start

pytestmark = pytest.mark.filterwarnings("ignore::urllib3.exceptions.InsecureRequestWarning")
GENERATE = str(pathlib.Path(sys.executable).parent / "generate")
ACCOUNTS = {"111111111111": "prod"}
TIMEOUT = " within 1 s (controller.timeout)"


def closed_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def unresolvable(monkeypatch):
    def no_such_name(host, *args, **kwargs):
        raise socket.gaierror(socket.EAI_NONAME, "Name or service not known")

    monkeypatch.setattr(socket, "getaddrinfo", no_such_name)  # no resolver is ever asked
    return "controller.example.invalid:443"


# id, how the controller is started, what is done to it, the step, the cause
CASES = [
    ("stall at login", True, lambda c: c.misbehave("stall"), "login", "no answer" + TIMEOUT),
    ("stall at list", True, lambda c: c.misbehave("stall", "list_accounts"), "account list", "no answer" + TIMEOUT),
    ("hang up", True, lambda c: c.misbehave("close"), "login", "the connection was closed without an answer"),
    ("hang up at list", True, lambda c: c.misbehave("close", "list_accounts"), "account list",
     "the connection was closed without an answer"),
    ("plain HTTP", False, lambda c: None, "login", "TLS failure: it does not answer in TLS (plain HTTP?)"),
]


@pytest.mark.parametrize("tls, spoil, step, cause", [c[1:] for c in CASES], ids=[c[0] for c in CASES])
def test_faulty_controller_is_one_line_naming_step_and_cause(monkeypatch, tls, spoil, step, cause):
    monkeypatch.setenv("CORVANE_PASSWORD", "pw")
    with start(ACCOUNTS, "admin", "pw", tls=tls) as controller:
        spoil(controller)
        config = SimpleNamespace(controller=SimpleNamespace(ip=controller.address, username="admin", timeout=1))
        began = time.monotonic()
        with pytest.raises(gen.CorvaneError) as err:
            gen.get_account_list(config)
    assert time.monotonic() - began < 10
    assert str(err.value) == f"cannot reach the controller at {controller.address} for the {step}: {cause}"
    assert isinstance(err.value.__cause__, requests.exceptions.RequestException)  # kept for -v


@pytest.mark.parametrize(
    "address, cause",
    [(lambda mp: f"127.0.0.1:{closed_port()}", "connection refused"),
     (unresolvable, "its name does not resolve")],
    ids=["refused", "unresolvable name"],
)
def test_unreachable_controller(monkeypatch, address, cause):
    monkeypatch.setenv("CORVANE_PASSWORD", "pw")
    address = address(monkeypatch)
    config = SimpleNamespace(controller=SimpleNamespace(ip=address, username="admin"))
    with pytest.raises(gen.CorvaneError, match="^cannot reach the controller at (.*) for the login: (.*)$") as err:
        gen.get_account_list(config)
    assert str(err.value) == f"cannot reach the controller at {address} for the login: {cause}"


@pytest.mark.parametrize(
    "body, message",
    [
        ('{"return": true, "results": "all good"}', ""),
        ('{"return": true, "results": {"account_list": {"a": 1}}}', ""),
        ('{"return": true, "results": {"account_list": [{"account_name": "x"}]}}', ""),
        ('{"return": false, "reason": "' + "no " * 500 + '"}', ": " + ("no " * 500)[:200] + "..."),
    ],
    ids=["results a text", "list a mapping", "record without number", "long refusal"],
)
def test_account_list_of_the_wrong_shape(monkeypatch, body, message):
    monkeypatch.setenv("CORVANE_PASSWORD", "pw")
    with start(ACCOUNTS, "admin", "pw") as controller:
        controller.respond_with("list_accounts", body)
        with pytest.raises(gen.CorvaneError) as err:
            gen.get_account_list(SimpleNamespace(controller=SimpleNamespace(ip=controller.address, username="admin")))
    assert str(err.value) == (
        f"the controller at {controller.address} answered the account list without a list of accounts "
        f"(results.account_list, each with account_number and account_name){message}"
    )


@pytest.mark.slow
def test_stalled_controller_through_the_console_script(tmp_path):
    """The configured time-out holds end to end: one line on standard error, status 1, nothing written."""
    with start(ACCOUNTS, "admin", "pw") as controller:
        controller.misbehave("stall")
        (tmp_path / "config.yaml").write_text(yaml.safe_dump({
            "account_ids": list(ACCOUNTS),
            "controller": {"ip": controller.address, "username": "admin", "timeout": 1},
            "defaults": {"role_name": "r"},
        }))
        began = time.monotonic()
        done = subprocess.run(
            [GENERATE, "-c", "config.yaml", "-e", "out.xlsx"], cwd=tmp_path, capture_output=True, text=True,
            timeout=60, stdin=subprocess.DEVNULL, env={**os.environ, "CORVANE_PASSWORD": "pw"},
        )
    assert time.monotonic() - began < 30
    assert done.returncode == 1 and done.stdout == ""
    assert done.stderr.splitlines()[-1] == (
        f"generate: error: cannot reach the controller at {controller.address} for the login: no answer" + TIMEOUT
    )
    assert sorted(p.name for p in tmp_path.iterdir()) == ["config.yaml"]
