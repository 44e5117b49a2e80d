"""The substitute Corvane Controller, spoken to over real HTTPS on 127.0.0.1."""

import os
import signal
import subprocess
import sys
from pathlib import Path

import pytest
import requests
import urllib3

from sandbox import controller

pytestmark = pytest.mark.filterwarnings("ignore::urllib3.exceptions.InsecureRequestWarning")

ACCOUNTS = {"111111111111": "prod", "012345678901": "dev"}
ROOT = Path(__file__).resolve().parent.parent


@pytest.fixture
def server():
    with controller.start(ACCOUNTS, "admin", "s3cret&=") as running:
        yield running


def post(server, **form):
    return requests.post(server.url, data=form, verify=False, timeout=10)


def login(server, username="admin", password="s3cret&="):
    return post(server, action="login", username=username, password=password).json()


def test_address_and_url(server):
    host, port = server.address.split(":")
    assert host == "127.0.0.1" and int(port) > 0
    assert server.url == f"https://127.0.0.1:{port}/v1/api"


def test_certificate_is_self_signed(server):
    with pytest.raises(requests.exceptions.SSLError):
        requests.post(server.url, data={"action": "login"}, timeout=10)
    assert login(server)["return"] is True  # the server still answers afterwards


def test_login_then_list_accounts(server):
    first, second = login(server), login(server)
    assert first["return"] is True and first["CID"] and first["CID"] != second["CID"]
    body = post(server, action="list_accounts", CID=first["CID"], aws_iam_role_based=True).json()
    assert body["return"] is True
    records = body["results"]["account_list"]
    assert [(r["account_number"], r["account_name"]) for r in records] == list(ACCOUNTS.items())
    assert records[0]["aws_role_arn"] == "arn:aws:iam::111111111111:role/corvane-role-app"
    assert {"cloud_type", "aws_role_arn"} <= set(records[1])


def test_requests_record_the_exact_forms(server):
    cid = login(server)["CID"]
    post(server, action="list_accounts", CID=cid, aws_iam_role_based=True)
    assert server.requests == [
        {"action": "login", "username": "admin", "password": "s3cret&="},
        {"action": "list_accounts", "CID": cid, "aws_iam_role_based": "True"},
    ]
    assert list(server.requests[0]) == ["action", "username", "password"]


@pytest.mark.parametrize(
    "form",
    [
        {"action": "login", "username": "admin", "password": "wrong"},
        {"action": "login", "username": "Admin", "password": "s3cret&="},
        {"action": "login", "username": "admin"},
        {"action": "login"},
    ],
)
def test_refused_login_has_no_cid(server, form):
    body = post(server, **form).json()
    assert body["return"] is False and body["reason"]
    assert "CID" not in body


@pytest.mark.parametrize("cid", [None, "", "forged"])
def test_list_accounts_needs_a_valid_cid(server, cid):
    form = {"action": "list_accounts"} if cid is None else {"action": "list_accounts", "CID": cid}
    body = post(server, **form).json()
    assert body == {"return": False, "reason": body["reason"]}
    assert "results" not in body


@pytest.mark.parametrize("form", [{"action": "logout"}, {}, {"action": ["login", "login"]}])
def test_other_actions_get_a_json_error(server, form):
    response = post(server, **form)
    assert response.status_code == 200
    assert response.json()["return"] is False


@pytest.mark.parametrize(
    "method, path, status",
    [("get", "/v1/api", 405), ("post", "/v2/api", 404), ("post", "/", 404)],
)
def test_wrong_method_or_path(server, method, path, status):
    response = requests.request(method, f"https://{server.address}{path}", data={"action": "login"},
                                verify=False, timeout=10)
    assert response.status_code == status
    assert response.json()["return"] is False


def test_canned_answers(server):
    server.respond_with("login", '{"return": false}')
    assert login(server) == {"return": False}
    server.respond_with("login", "<html>maintenance</html>", status=503, content_type="text/html")
    response = post(server, action="login", username="admin", password="s3cret&=")
    assert (response.status_code, response.text) == (503, "<html>maintenance</html>")
    server.respond_with("login", None)
    assert login(server)["return"] is True


def test_stop_closes_the_port():
    running = controller.start({}, "u", "p")
    url = running.url
    assert post(running, action="login", username="u", password="p").json()["return"] is True
    running.stop()
    with pytest.raises(requests.exceptions.ConnectionError):
        requests.post(url, data={"action": "login"}, verify=False, timeout=5)


@pytest.mark.slow
def test_command_line_serves_until_interrupted(tmp_path):
    pem = tmp_path / "controller.pem"
    with subprocess.Popen(
        [sys.executable, "-m", "sandbox.controller", "--username", "ops", "--password", "pw",
         "--account", "222222222222=shared services", "--account", "333333333333=a=b", "--certificate-out", pem],
        cwd=ROOT, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
    ) as process:
        try:
            address = process.stdout.readline().strip()
            url = f"https://{address}/v1/api"
            # The certificate it hands out is the one it presents, for its address.
            cid = requests.post(url, data={"action": "login", "username": "ops", "password": "pw"},
                                verify=str(pem), timeout=10).json()["CID"]
            records = requests.post(url, data={"action": "list_accounts", "CID": cid},
                                    verify=str(pem), timeout=10).json()["results"]["account_list"]
            assert [(r["account_number"], r["account_name"]) for r in records] == [
                ("222222222222", "shared services"), ("333333333333", "a=b")]
        finally:
            process.send_signal(signal.SIGINT)
            assert process.wait(timeout=10) == 0


@pytest.mark.slow
def test_command_line_refuses_a_bad_account():
    result = subprocess.run([sys.executable, "-m", "sandbox.controller", "--username", "u",
                             "--password", "p", "--account", "222222222222"],
                            cwd=ROOT, capture_output=True, text=True, timeout=30)
    assert result.returncode == 2
    assert "NUMBER=NAME" in result.stderr
