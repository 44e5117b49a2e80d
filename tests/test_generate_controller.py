"""The controller conversation, over real HTTPS to the substitute controller."""
import getpass
import json
import logging
import socket
import sys
from types import SimpleNamespace

import pytest
import requests

import generator.generate as gen
from sandbox.controller import start

LOGGER = "generator.generate"
# The module switches these off when it loads; pytest restores the warning filters around each test.
pytestmark = pytest.mark.filterwarnings("ignore::urllib3.exceptions.InsecureRequestWarning")
ACCOUNTS = {"111111111111": "prod", "222222222222": "shared services"}


def config_for(address, username="admin"):
    return SimpleNamespace(controller=SimpleNamespace(ip=address, username=username))


@pytest.fixture
def controller():
    with start(ACCOUNTS, "admin", "s3cret pass") as server:
        yield server


@pytest.fixture
def typed(monkeypatch):
    """The password typed at the prompt; records how getpass was called."""
    calls = []

    def fake_getpass(*args, **kwargs):
        calls.append((args, kwargs))
        return typed.password

    typed.password = "s3cret pass"
    typed.calls = calls
    monkeypatch.setattr(getpass, "getpass", fake_getpass)
    return typed


def test_login_and_account_list(controller, typed):
    accounts = gen.get_account_list(config_for(controller.address))

    assert typed.calls == [((), {"prompt": f"Corvane Controller admin@{controller.address}'s password:"})]
    login, listing = controller.requests
    assert list(login.items()) == [("action", "login"), ("username", "admin"), ("password", "s3cret pass")]
    assert list(listing) == ["action", "CID", "aws_iam_role_based"]
    assert listing["action"] == "list_accounts"
    assert listing["aws_iam_role_based"] == "True"
    assert listing["CID"]
    assert [(a["account_number"], a["account_name"]) for a in accounts] == list(ACCOUNTS.items())
    assert all(a["aws_iam"] is True for a in accounts)  # other members pass through untouched


def test_wrong_password_raises_corvane_error(controller, typed, caplog):
    typed.password = "wrong"
    caplog.set_level(logging.INFO, logger=LOGGER)
    with pytest.raises(gen.CorvaneError) as err:
        gen.get_account_list(config_for(controller.address))

    assert str(err.value) == f"Failed to login to controller.\nUsername: admin\nController IP: {controller.address}"
    assert type(err.value).__mro__[1] is Exception
    assert err.value.__cause__ is None
    assert [r["action"] for r in controller.requests] == ["login"]  # the account list is not asked for
    [failure] = [r for r in caplog.records if r.levelno == logging.ERROR]
    assert failure.getMessage() == "Login failed. Please check Corvane Controller IP, username and password."
    assert failure.funcName == "get_account_list"
    assert failure.exc_info is None and "KeyError" not in caplog.text  # the missing key is no news
    caplog.clear()
    caplog.set_level(logging.DEBUG, logger=LOGGER)
    with pytest.raises(gen.CorvaneError) as err:
        gen.get_account_list(config_for(controller.address))
    [failure] = [r for r in caplog.records if r.levelno == logging.ERROR]
    assert failure.exc_info[0] is KeyError and failure.exc_info[1] is err.value.__context__  # in the debug log


@pytest.mark.parametrize("body", ["[1, 2]", '{"return": true}', '"CID"'])
def test_login_body_without_session_id(controller, typed, body):
    controller.respond_with("login", body)
    with pytest.raises(gen.CorvaneError):
        gen.get_account_list(config_for(controller.address))


@pytest.mark.parametrize("action", ["login", "list_accounts"])
@pytest.mark.parametrize("level", [logging.INFO, logging.DEBUG])
def test_body_not_json_propagates_decoder_error_saying_whose(controller, typed, caplog, action, level):
    caplog.set_level(level, logger=LOGGER)
    controller.respond_with(action, "<html>maintenance</html>", content_type="text/html")
    with pytest.raises(requests.exceptions.JSONDecodeError) as err:
        gen.get_account_list(config_for(controller.address))
    assert not [r for r in caplog.records if r.levelno == logging.ERROR]
    assert [r["action"] for r in controller.requests][-1] == action  # nothing sent after the bad answer
    if sys.version_info >= (3, 11):
        assert err.value.__notes__ == [
            f"the controller's answer to {action} at https://{controller.address}/v1/api is not JSON"
        ]


def test_empty_session_id_is_sent_and_refused_listing_names_the_step(controller, typed):
    controller.respond_with("login", json.dumps({"CID": ""}))
    with pytest.raises(gen.CorvaneError) as err:
        gen.get_account_list(config_for(controller.address))
    assert controller.requests[1]["CID"] == ""
    assert str(err.value) == (
        f"the controller at {controller.address} answered the account list without a list of accounts "
        "(results.account_list, each with account_number and account_name): CID is invalid or expired."
    )


def test_each_call_prompts_and_logs_in(controller, typed):
    gen.get_account_list(config_for(controller.address))
    gen.get_account_list(config_for(controller.address))
    assert len(typed.calls) == 2
    assert [r["action"] for r in controller.requests] == ["login", "list_accounts"] * 2


def test_debug_records(controller, typed, caplog):
    caplog.set_level(logging.DEBUG, logger=LOGGER)
    accounts = gen.get_account_list(config_for(controller.address))
    messages = [(r.levelname, r.msg) for r in caplog.records]
    assert messages == [
        ("DEBUG", "Controller IP: '%s'"),
        ("DEBUG", "Username: '%s'"),
        ("DEBUG", "Controller API URL: '%s'"),
        ("INFO", "Logging in as %s"),
        ("DEBUG", "login response: \n%s"),
        ("INFO", "Getting list of accounts on controller."),
        ("DEBUG", "list_accounts response:\n%s"),
        ("DEBUG", "Account List:\n%s"),
    ]
    assert {r.funcName for r in caplog.records} == {"get_account_list"}
    assert caplog.records[2].getMessage() == f"Controller API URL: 'https://{controller.address}/v1/api'"
    assert caplog.records[-1].args == (gen.pformat(accounts),)
    assert "s3cret pass" not in caplog.text


@pytest.mark.parametrize("verify, sent", [(None, False), ("/site/ca.pem", "/site/ca.pem"), (True, True)])
def test_both_requests_carry_the_certificate_check(monkeypatch, typed, verify, sent):
    posted = []

    class Response:
        def json(self):
            return {"CID": "abc", "results": {"account_list": []}}

    monkeypatch.setattr(requests, "post", lambda *args, **kwargs: posted.append(kwargs) or Response())
    config = config_for("ctrl")
    config.controller.verify = verify  # None, as a hand-made configuration may hold, means no check
    gen.get_account_list(config)
    assert [p["verify"] for p in posted] == [sent, sent]


def test_address_and_user_through_their_text_form(monkeypatch, typed):
    posted = []

    class Response:
        def json(self):
            return {"CID": "abc", "results": {"account_list": []}}

    def fake_post(*args, **kwargs):
        posted.append((args, kwargs))
        return Response()

    monkeypatch.setattr(requests, "post", fake_post)
    assert gen.get_account_list(config_for(1234, username=42)) == []
    assert typed.calls[0][1]["prompt"] == "Corvane Controller 42@1234's password:"
    assert [p[0] for p in posted] == [("https://1234/v1/api",)] * 2
    assert [sorted(p[1]) for p in posted] == [["data", "timeout", "verify"]] * 2
    assert all(p[1]["timeout"] == (30, 30) for p in posted)
    assert all(p[1]["verify"] is False for p in posted)
    assert posted[1][1]["data"] == {"action": "list_accounts", "CID": "abc", "aws_iam_role_based": True}


NAN = float("nan")  # unequal to itself, even as the very same object


@pytest.mark.parametrize(
    "account_id, account_list, expected",
    [
        (NAN, [{"account_number": NAN, "account_name": "a"}], None),  # the host's ==, no identity shortcut
        ("111", [{"account_number": "111", "account_name": "a"}], "a"),
        ("222", [{"account_number": "111", "account_name": "a"}], None),
        ("111", [], None),
        (111, [{"account_number": "111", "account_name": "a"}], None),  # no conversion either side
        ("111", [{"account_number": "111", "account_name": "first"}, {"account_number": "111", "account_name": "second"}],
         "first"),
        ("111", [{"account_number": "111", "account_name": "a"}, {"other": 1}], "a"),  # later records unread
    ],
)
def test_get_acct_name(account_id, account_list, expected):
    assert gen.get_acct_name(account_id, account_list) == expected


@pytest.mark.parametrize(
    "account_list", [[{"account_name": "a"}, {"account_number": "111", "account_name": "b"}], [{"account_number": "111"}]]
)
def test_get_acct_name_missing_members(account_list):
    with pytest.raises(KeyError):
        gen.get_acct_name("111", account_list)
