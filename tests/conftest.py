"""Fixtures shared by several test files: moto's in-process AWS, and the same AWS
with every call a boto3 session makes recorded (or answered in AWS's place)."""
import logging
import threading
import time
from types import SimpleNamespace

import boto3
import pytest
from moto import mock_aws

from sandbox import sharing


@pytest.fixture(autouse=True)
def tool_log_level():
    """main sets the tool's log level from -q/-v: each test starts from the level the session began
    with, set back through setLevel so that the loggers below forget the levels they cached."""
    logger = logging.getLogger("generator")
    level = logger.level
    yield
    logger.setLevel(level)


@pytest.fixture
def aws(monkeypatch):
    """In-process AWS with fake base credentials; nothing leaves the process."""
    for name in ("AWS_ENDPOINT_URL", "AWS_PROFILE", "AWS_SESSION_TOKEN"):
        monkeypatch.delenv(name, raising=False)
    monkeypatch.setenv("AWS_ACCESS_KEY_ID", "testing")
    monkeypatch.setenv("AWS_SECRET_ACCESS_KEY", "testing")
    monkeypatch.setenv("AWS_DEFAULT_REGION", "us-east-1")
    # No test asks for machine images; loading moto's catalogue of them costs most of each region's set-up.
    monkeypatch.setenv("MOTO_EC2_LOAD_DEFAULT_AMIS", "false")
    with mock_aws():
        try:
            yield
        finally:
            sharing.forget()  # before moto's reset, which lists the subnets of the backends it renews


class AwsCalls:
    """What the walk asks of AWS, seen through botocore's events of every session it makes:
    the calls in order, the clients, and answers or refusals given in AWS's place."""

    def __init__(self):
        self.calls = []  # (account, region, operation)
        self.requests = []  # (operation, parameters as sent)
        self.clients = []
        self._answers = []
        self._accounts = {}  # access key of assumed-role credentials -> account
        self._lock = threading.Lock()

    def answer(self, operation, parsed=None, code=None, account=None, region=None, delay=0.0, error=None):
        """Answer `operation` (in `account`/`region`, or anywhere) with `parsed`, refuse it with `code`,
        or fail it with `error` (a time-out, say)."""
        self._answers.append((operation, account, region, parsed, code, delay, error))

    def operations(self, operation=None):
        return [call for call in self.calls if operation is None or call[2] == operation]

    def _account_of(self, params, request_signer):
        body = params.get("body")  # the request as it will be sent
        if isinstance(body, dict) and "RoleArn" in body:
            return body["RoleArn"].split(":")[4]
        key = request_signer._credentials.access_key if request_signer._credentials else None
        return self._accounts.get(key)

    def _before_call(self, model, params, request_signer, context, **kwargs):
        account, region = self._account_of(params, request_signer), context.get("client_region")
        with self._lock:
            self.calls.append((account, region, model.name))
            self.requests.append((model.name, params.get("body")))
        context["sandbox_account"] = account
        for operation, want_account, want_region, parsed, code, delay, error in self._answers:
            if operation == model.name and want_account in (None, account) and want_region in (None, region):
                time.sleep(delay)
                if error is not None:
                    raise error
                if code is not None:
                    parsed = {"Error": {"Code": code, "Message": f"{model.name} refused in {region}"},
                              "ResponseMetadata": {"HTTPStatusCode": 403}}
                return SimpleNamespace(status_code=403 if code else 200, headers={}), parsed
        return None

    def _after_assume(self, parsed, context, **kwargs):
        if "Credentials" in parsed:
            self._accounts[parsed["Credentials"]["AccessKeyId"]] = context.get("sandbox_account")


@pytest.fixture
def aws_calls(aws, monkeypatch):
    """In-process AWS whose every boto3 session (as the walk makes them) reports to an AwsCalls."""
    seen = AwsCalls()
    base = boto3.session.Session

    class Session(base):
        def __init__(self, *args, **kwargs):
            super().__init__(*args, **kwargs)
            self.events.register("before-call", seen._before_call)
            self.events.register("after-call.sts.AssumeRole", seen._after_assume)

        def client(self, *args, **kwargs):
            client = super().client(*args, **kwargs)
            seen.clients.append(client)
            return client

    monkeypatch.setattr(boto3.session, "Session", Session)
    return seen
