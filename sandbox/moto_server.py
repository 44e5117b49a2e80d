"""moto's AWS server with a request counter, run by sandbox.aws as a process of its own.

    python sandbox/moto_server.py [--port N] [--latency-ms MS] [--keep-default-vpcs] [--until-stdin-closes]

Prints the port it listens on (127.0.0.1) as its first line of standard
output, then serves until SIGTERM or SIGINT (or, with --until-stdin-closes,
until its standard input reaches its end: sandbox.aws keeps the other end of
that pipe, so the server ends with its owner however the owner ends). Besides moto's API it answers
GET /_sandbox/requests with the number of requests received so far per
service and action, as JSON {"ec2": {"DescribeVpcs": 3}, ...}, and DELETE
/_sandbox/requests by setting the counts back to zero.

Latency: every AWS request is answered MS milliseconds late (--latency-ms, or
the environment variable SANDBOX_AWS_LATENCY_MS; default 0), as a distant
AWS region would answer. GET /_sandbox/latency tells the current value, PUT
/_sandbox/latency with a number of milliseconds as its body changes it (so an
estate can be seeded fast and then walked slowly). Requests are served on
threads of their own, so concurrent requests wait concurrently.

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
import sys
import threading
import time
from collections import defaultdict
from urllib.parse import parse_qs

COUNTS_PATH = "/_sandbox/requests"
LATENCY_PATH = "/_sandbox/latency"
LATENCY_VARIABLE = "SANDBOX_AWS_LATENCY_MS"
_FORM = "application/x-www-form-urlencoded"


def _service(environ):
    # SigV4: "AWS4-HMAC-SHA256 Credential=KEY/DATE/REGION/SERVICE/aws4_request, ..."
    auth = environ.get("HTTP_AUTHORIZATION", "")
    for part in auth.replace(",", " ").split():
        if part.startswith("Credential="):
            scope = part[len("Credential="):].split("/")
            if len(scope) == 5:
                return scope[3]
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
        return self.app(environ, start_response)


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

    from moto.moto_server.werkzeug_app import DomainDispatcherApplication, MotoRequestHandler, create_backend_app
    from werkzeug.serving import make_server

    if not args.keep_default_vpcs:
        _leave_out_default_vpcs()
    logging.getLogger("werkzeug").setLevel(logging.WARNING)

    app = CountingMiddleware(DomainDispatcherApplication(create_backend_app), latency_ms)
    server = make_server("127.0.0.1", args.port, app, threaded=True, request_handler=MotoRequestHandler)
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
