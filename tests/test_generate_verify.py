"""controller.verify: the password goes only to a controller whose certificate passes
the configured check. The generate command runs at a real terminal against the
substitute controller over HTTPS, with moto's server as AWS.

Test certificates come from trustme: a throw-away authority that issues leaf
certificates for a chosen address and validity, without hand-built X.509."""
import datetime
import os
import pathlib
import sys

import pytest
import trustme
import yaml

from sandbox import aws as aws_sandbox
from sandbox.controller import start as start_controller
from sandbox.terminal import run_with_password

pytestmark = pytest.mark.slow  # runs in other processes: console scripts, servers

GENERATE = str(pathlib.Path(sys.executable).parent / "generate")
ACCOUNT = "111111111111"
PASSWORD = "pa55 word"
NOW = datetime.datetime.now(datetime.timezone.utc)
DAY = datetime.timedelta(days=1)


@pytest.fixture(scope="module")
def aws():
    with aws_sandbox.start() as sandbox:
        aws_sandbox.seed(sandbox.endpoint, {ACCOUNT: {"us-east-1": [{"cidr": "10.0.0.0/24", "name": "web"}]}})
        yield sandbox


@pytest.fixture(scope="module")
def site_ca():
    return trustme.CA()


def served(leaf):
    return b"".join(blob.bytes() for blob in leaf.cert_chain_pems), leaf.private_key_pem.bytes()


# What the controller presents: None is its own self-signed certificate for 127.0.0.1.
CERTIFICATES = {
    "self-signed": lambda ca: None,
    "site CA": lambda ca: served(ca.issue_cert("127.0.0.1")),
    "other name": lambda ca: served(ca.issue_cert("ctrl.example.net")),
    "expired": lambda ca: served(ca.issue_cert("127.0.0.1", not_before=NOW - 30 * DAY, not_after=NOW - DAY)),
}


@pytest.mark.parametrize(
    "presented, verify, refusal",
    [
        ("self-signed", "absent", None),
        ("self-signed", False, None),
        ("self-signed", "its own PEM", None),
        ("site CA", "site CA PEM", None),
        ("self-signed", "site CA PEM", "unknown authority: its certificate does not chain to an authority in {ca}"
                                       " (self-signed certificate)"),
        ("self-signed", True, "unknown authority: its certificate does not chain to the trusted authorities"
                              " (self-signed certificate)"),
        ("other name", "site CA PEM", "name mismatch: its certificate is for another name or address"
                                      " (IP address mismatch, certificate is not valid for '127.0.0.1')"),
        ("expired", "site CA PEM", "expired: its certificate is past its end date (certificate has expired)"),
        ("self-signed", "missing PEM", "controller.verify: no such file {site}/absent.pem"),
        ("self-signed", "empty PEM", "controller.verify: {site}/empty.pem holds no certificate"),
    ],
)
def test_password_only_to_a_controller_that_passes_the_check(tmp_path, monkeypatch, aws, site_ca, presented,
                                                             verify, refusal):
    monkeypatch.delenv("REQUESTS_CA_BUNDLE", raising=False)  # true means the client's own list
    monkeypatch.delenv("CURL_CA_BUNDLE", raising=False)
    site = tmp_path / "site"  # the configuration's folder; the command runs elsewhere
    site.mkdir()
    site_ca.cert_pem.write_to_path(str(site / "site-ca.pem"))
    (site / "empty.pem").write_text("")
    with start_controller({ACCOUNT: "prod"}, "admin", PASSWORD, certificate=CERTIFICATES[presented](site_ca)) as ctl:
        ctl.write_certificate(site / "controller.pem")
        controller = {"ip": ctl.address, "username": "admin"}
        if verify != "absent":
            controller["verify"] = {"its own PEM": "controller.pem", "site CA PEM": "site-ca.pem",
                                    "missing PEM": "absent.pem", "empty PEM": "empty.pem"}.get(verify, verify)
        config = {"account_ids": [ACCOUNT], "aws_regions": ["us-east-1"], "controller": controller,
                  "defaults": {"role_name": "corvane-migration"}}
        (site / "config.yaml").write_text(yaml.safe_dump(config))
        env = {k: v for k, v in os.environ.items() if k not in ("AWS_PROFILE", "AWS_SESSION_TOKEN")}
        env.update(aws_sandbox.client_env(aws.endpoint))
        run = run_with_password([GENERATE, "-c", "site/config.yaml", "-d", "inventory.yaml"], PASSWORD, env=env,
                                cwd=tmp_path, timeout=120)

    if refusal is None:
        assert run.returncode == 0, run.stderr
        assert "Warning" not in run.stderr  # no complaint about an unchecked certificate
        assert [form["action"] for form in ctl.requests] == ["login", "list_accounts"]
        inventory = yaml.safe_load((tmp_path / "inventory.yaml").read_text())
        assert inventory["account_info"][0]["account_name"] == "prod"
        return
    assert run.returncode == 1
    message = refusal.format(ca=pathlib.Path("site", "site-ca.pem"), site=pathlib.Path("site"))  # as -c gave it
    if "controller.verify" in message:  # refused while the configuration is read: nothing asked, nothing sent
        assert run.prompts == 0
        assert message in run.stderr
    else:  # asked once, refused during the handshake: the controller never received a request
        assert run.prompts == 1
        assert "Traceback" not in run.stderr
        assert run.stderr.splitlines()[-1] == (
            f"generate: error: cannot trust the controller at {ctl.address}: {message}; the password was not sent"
        )
    assert ctl.requests == []
    assert not (tmp_path / "inventory.yaml").exists()
