"""moto's AWS server with a request counter, run by sandbox.aws as a process of its own.

    python sandbox/moto_server.py [--port N] [--latency-ms MS] [--keep-default-vpcs] [--until-stdin-closes]

Prints the port it listens on (127.0.0.1) as its first line of standard
output, then serves until SIGTERM or SIGINT (or, with --until-stdin-closes,
until its standard input reaches its end: sandbox.aws keeps the other end of
that pipe, so the server ends with its owner however the owner ends). Besides moto's API it answers
GET /_sandbox/requests with the number of requests received so far per
service and action, as JSON {"ec2": {"DescribeVpcs": 3}, ...}, and DELETE
/_sandbox/requests by setting the counts back to zero.

Shared VPCs: PUT /_sandbox/shares with JSON [{"owner", "region", "vpc_id",
"participant", "subnet_ids"}] shares those subnets of the owner's VPC with
the participant account, as AWS RAM does (see sharing.py); GET lists the shares.

Latency: every AWS request is answered MS milliseconds late (--latency-ms, or
the environment variable SANDBOX_AWS_LATENCY_MS; default 0), as a distant
AWS region would answer. GET /_sandbox/latency tells the current value, PUT
/_sandbox/latency with a number of milliseconds as its body changes it (so an
estate can be seeded fast and then walked slowly). Requests are served on
threads of their own, so concurrent requests wait concurrently.

Faults: PUT /_sandbox/faults with JSON {"fail": [{"account": ID, "region":
NAME, "action": NAME, "code": AWS_CODE, "message": TEXT, "status": 403}],
"throttle": SHARE} makes the requests of the given account/region/action (any
that is left out matches everything) fail with that AWS error, and SHARE (0 to
1) of all other AWS requests fail with throttling (EC2: RequestLimitExceeded,
STS: Throttling), evenly spread: with 0.2, every fifth request. GET
/_sandbox/faults tells the faults and how many requests were failed and
throttled so far. A request's account is the one of its role (AssumeRole) or of
the assumed-role credentials it is signed with.

AWS creates a default VPC (172.31.0.0/16, one subnet per zone) in every
region of an account, and so does moto, the first time a region of an
account is used. Unless --keep-default-vpcs is given they are left out, so a
seeded estate is exactly what it says, in the seeded regions and elsewhere.

Authentication is moto's: with INITIAL_NO_AUTH_ACTION_COUNT=0 in the
environment every request must be signed with credentials moto knows.
"""

import argparse
import io
import json
import logging
import os
import signal
import re
import sys
import threading
import time
from collections import defaultdict
from html import escape
from http import HTTPStatus
from urllib.parse import parse_qs

import sharing  # beside this script, which runs with its own folder first on the path

COUNTS_PATH = "/_sandbox/requests"
LATENCY_PATH = "/_sandbox/latency"
FAULTS_PATH = "/_sandbox/faults"
SHARES_PATH = "/_sandbox/shares"
_ERROR_XML = {
    "sts": ('<ErrorResponse xmlns="https://sts.amazonaws.com/doc/2011-06-15/"><Error><Type>Sender</Type>'
            '<Code>{code}</Code><Message>{message}</Message></Error><RequestId>sandbox</RequestId></ErrorResponse>'),
    "ec2": ('<?xml version="1.0" encoding="UTF-8"?><Response><Errors><Error><Code>{code}</Code>'
            '<Message>{message}</Message></Error></Errors><RequestID>sandbox</RequestID></Response>'),
}
_THROTTLING = {"sts": ("Throttling", 400), "ec2": ("RequestLimitExceeded", 503)}
LATENCY_VARIABLE = "SANDBOX_AWS_LATENCY_MS"
_FORM = "application/x-www-form-urlencoded"


def _service(environ):
    # SigV4: "AWS4-HMAC-SHA256 Credential=KEY/DATE/REGION/SERVICE/aws4_request, ..."
    service = _credential_scope(environ)[3]
    if service:
        return service
    target = environ.get("HTTP_X_AMZ_TARGET", "")
    if "." in target:
        return target.split(".", 1)[0]
    host = environ.get("HTTP_HOST", "")
    return host.split(".", 1)[0] if host.endswith("amazonaws.com") else "unknown"


def _action(environ, body):
    query = parse_qs(environ.get("QUERY_STRING", ""))
    if "Action" in query:
        return query["Action"][0]
    if body and environ.get("CONTENT_TYPE", "").startswith(_FORM):
        form = parse_qs(body.decode("utf-8", "replace"))
        if "Action" in form:
            return form["Action"][0]
    target = environ.get("HTTP_X_AMZ_TARGET", "")
    if target:
        return target.rsplit(".", 1)[-1]
    return f"{environ.get('REQUEST_METHOD', '?')} {environ.get('PATH_INFO', '')}"


class CountingMiddleware:
    """Counts the AWS requests that reach the wrapped WSGI application."""

    def __init__(self, app, latency_ms=0.0):
        self.app = app
        self.latency_ms = latency_ms
        self._faults = {"fail": [], "throttle": 0.0}
        self._served = 0  # AWS requests not failed on purpose, for spreading the throttling
        self._failed = self._throttled = 0
        self._accounts = {}  # access key of assumed-role credentials -> account
        self._lock = threading.Lock()
        self._counts = defaultdict(lambda: defaultdict(int))

    def counts(self):
        with self._lock:
            return {service: dict(actions) for service, actions in self._counts.items()}

    def reset(self):
        with self._lock:
            self._counts.clear()

    def _reply(self, start_response, status, payload):
        data = json.dumps(payload).encode("utf-8")
        start_response(status, [("Content-Type", "application/json"), ("Content-Length", str(len(data)))])
        return [data]

    def __call__(self, environ, start_response):
        path = environ.get("PATH_INFO", "")
        method = environ.get("REQUEST_METHOD", "")
        if path == COUNTS_PATH:
            if method == "GET":
                return self._reply(start_response, "200 OK", self.counts())
            if method == "DELETE":
                self.reset()
                return self._reply(start_response, "200 OK", {})
            return self._reply(start_response, "405 Method Not Allowed", {"error": "GET or DELETE"})
        if path == FAULTS_PATH:
            if method == "PUT":
                length = int(environ.get("CONTENT_LENGTH") or 0)
                try:
                    self._set_faults(json.loads(environ["wsgi.input"].read(length) or b"{}"))
                except (ValueError, TypeError, AttributeError) as err:
                    return self._reply(start_response, "400 Bad Request", {"error": str(err)})
            with self._lock:
                state = {**self._faults, "failed": self._failed, "throttled": self._throttled}
            return self._reply(start_response, "200 OK", state)
        if path == SHARES_PATH:
            if method == "PUT":
                length = int(environ.get("CONTENT_LENGTH") or 0)
                try:
                    for entry in json.loads(environ["wsgi.input"].read(length) or b"[]"):
                        sharing.share(entry["owner"], entry["region"], entry["vpc_id"], entry["participant"],
                                      entry["subnet_ids"])
                except (ValueError, TypeError, KeyError) as err:
                    return self._reply(start_response, "400 Bad Request", {"error": str(err)})
            return self._reply(start_response, "200 OK", sharing.shares())
        if path == LATENCY_PATH:
            if method == "PUT":
                length = int(environ.get("CONTENT_LENGTH") or 0)
                try:
                    self.latency_ms = _milliseconds(environ["wsgi.input"].read(length).decode("utf-8"))
                except ValueError as err:
                    return self._reply(start_response, "400 Bad Request", {"error": str(err)})
            return self._reply(start_response, "200 OK", self.latency_ms)
        if not path.startswith("/moto-api"):
            body = b""
            if environ.get("CONTENT_TYPE", "").startswith(_FORM):
                try:
                    length = int(environ.get("CONTENT_LENGTH") or 0)
                except ValueError:
                    length = 0
                body = environ["wsgi.input"].read(length) if length > 0 else b""
                environ["wsgi.input"] = io.BytesIO(body)
            service, action = _service(environ), _action(environ, body)
            with self._lock:
                self._counts[service][action] += 1
            if self.latency_ms:
                time.sleep(self.latency_ms / 1000)
            fault = self._fault(service, action, self._account(environ, body), _region(environ))
            if fault is not None:
                return self._aws_error(start_response, service, *fault)
            if action == "AssumeRole":
                return self._remember_credentials(environ, body, start_response)
        return self.app(environ, start_response)

    def _set_faults(self, faults):
        unknown = set(faults) - {"fail", "throttle"}
        if unknown:
            raise ValueError(f"unknown keys {sorted(unknown)}")
        rules = [dict(rule) for rule in faults.get("fail", [])]
        for rule in rules:
            if not isinstance(rule.get("code"), str) or set(rule) - {"account", "region", "action", "code", "message",
                                                                       "status"}:
                raise ValueError(f"a fault needs a code, and only account, region, action, message, status: {rule}")
        share = float(faults.get("throttle", 0.0))
        if not 0.0 <= share <= 1.0:
            raise ValueError(f"throttle is a share from 0 to 1, not {share}")
        with self._lock:
            self._faults = {"fail": rules, "throttle": share}
            self._served = self._failed = self._throttled = 0

    def _fault(self, service, action, account, region):
        """(code, message, status) of the error this request gets, if any."""
        with self._lock:
            for rule in self._faults["fail"]:
                if all(rule.get(key) in (None, value) for key, value in
                       (("account", account), ("region", region), ("action", action))):
                    self._failed += 1
                    message = rule.get("message") or f"{action} refused by the sandbox in {region}"
                    return rule["code"], message, int(rule.get("status", 403))
            share = self._faults["throttle"]
            before, self._served = self._served, self._served + 1
            if share and int(self._served * share) > int(before * share) and service in _THROTTLING:
                self._throttled += 1
                code, status = _THROTTLING[service]
                return code, "Rate exceeded (sandbox throttling)", status
        return None

    def _account(self, environ, body):
        if body:
            role = parse_qs(body.decode("utf-8", "replace")).get("RoleArn", [""])[0]
            if role.count(":") >= 4:
                return role.split(":")[4]
        key = _credential_scope(environ)[0]
        with self._lock:
            return self._accounts.get(key)

    def _aws_error(self, start_response, service, code, message, status):
        data = _ERROR_XML.get(service, _ERROR_XML["ec2"]).format(code=escape(code), message=escape(message))
        start_response(f"{status} {HTTPStatus(status).phrase}",
                       [("Content-Type", "text/xml"), ("Content-Length", str(len(data.encode())))])
        return [data.encode()]

    def _remember_credentials(self, environ, body, start_response):
        account = self._account(environ, body)
        chunks = list(self.app(environ, start_response))
        found = re.search(rb"<AccessKeyId>([^<]+)</AccessKeyId>", b"".join(chunks))
        if found and account:
            with self._lock:
                self._accounts[found.group(1).decode()] = account
        return chunks


def _credential_scope(environ):
    """(access key, date, region, service) of a SigV4 signature, or empty texts."""
    auth = environ.get("HTTP_AUTHORIZATION", "")
    for part in auth.replace(",", " ").split():
        if part.startswith("Credential="):
            scope = part[len("Credential="):].split("/")
            if len(scope) == 5:
                return scope[0], scope[1], scope[2], scope[3]
    return "", "", "", ""


def _region(environ):
    return _credential_scope(environ)[2] or None


def _milliseconds(text):
    value = float(text)
    if not value >= 0:  # also refuses NaN
        raise ValueError(f"latency must be a number of milliseconds, 0 or more, not {text!r}")
    return value


def _leave_out_default_vpcs():
    from moto.ec2.models import EC2Backend

    original_init = EC2Backend.__init__

    def init_without_default_vpc(self, *args, **kwargs):
        # The backend creates its default VPC from __init__ only when it has
        # no VPC yet; shadow that one call for the time of __init__.
        self.create_default_vpc = lambda: None
        try:
            original_init(self, *args, **kwargs)
        finally:
            del self.create_default_vpc

    EC2Backend.__init__ = init_without_default_vpc


def _wait_for_end_of_input(stop):
    # The owner never writes; the end of input means it has gone, killed or not.
    while os.read(sys.stdin.fileno(), 4096):
        pass
    stop(None, None)


def main(argv=None):
    parser = argparse.ArgumentParser(description="moto server with request counts")
    parser.add_argument("--port", type=int, default=0)
    parser.add_argument("--latency-ms", type=_milliseconds, default=None,
                        help=f"delay of every AWS answer (default: ${LATENCY_VARIABLE}, else 0)")
    parser.add_argument("--keep-default-vpcs", action="store_true")
    parser.add_argument("--until-stdin-closes", action="store_true")
    args = parser.parse_args(argv)
    latency_ms = args.latency_ms
    if latency_ms is None:
        try:
            latency_ms = _milliseconds(os.environ.get(LATENCY_VARIABLE) or "0")
        except ValueError as err:
            parser.error(f"{LATENCY_VARIABLE}: {err}")

    from moto.moto_server import werkzeug_app
    from moto.moto_server.werkzeug_app import DomainDispatcherApplication, create_backend_app
    from werkzeug.serving import make_server

    # moto's own request handler came with moto 5.2, which needs Python 3.10; before it, werkzeug's.
    handler = getattr(werkzeug_app, "MotoRequestHandler", None)

    if not args.keep_default_vpcs:
        _leave_out_default_vpcs()
    logging.getLogger("werkzeug").setLevel(logging.WARNING)

    app = CountingMiddleware(DomainDispatcherApplication(create_backend_app), latency_ms)
    server = make_server("127.0.0.1", args.port, app, threaded=True, request_handler=handler)
    os.environ["MOTO_PORT"] = str(server.port)
    print(server.port, flush=True)
    # moto may print to standard output; nobody reads that pipe any more.
    os.dup2(sys.stderr.fileno(), sys.stdout.fileno())

    def stop(signum, frame):
        threading.Thread(target=server.shutdown, daemon=True).start()

    signal.signal(signal.SIGTERM, stop)
    signal.signal(signal.SIGINT, stop)
    if args.until_stdin_closes:
        threading.Thread(target=_wait_for_end_of_input, args=(stop,), daemon=True).start()
    server.serve_forever(poll_interval=0.1)
    server.server_close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
