"""A substitute Corvane Controller for tests and the demo.

It serves the controller's HTTPS API on 127.0.0.1, with a self-signed
certificate made at start-up for 127.0.0.1 and localhost (which it hands out
for pinning) or with one the caller gives: POST /v1/api with a form-encoded
body whose "action" is "login" (fields username, password) or "list_accounts"
(field CID, the session identifier that login returned). Answers are JSON
objects with "return" true or false, as the real controller gives them.

In a test:

    with start({"111111111111": "prod"}, "admin", "secret") as server:
        requests.post(server.url, data={...}, verify=False)
        server.requests   # the decoded forms received, in order
        server.write_certificate(path)   # its certificate as a PEM file

To try how a client copes with a faulty controller: `server.misbehave("stall")`
reads each request and never answers, `server.misbehave("close")` hangs up
without answering, `start(..., tls=False)` speaks plain HTTP, and
`respond_with` gives answers of any shape.

From a terminal:

    python -m sandbox.controller --username admin --password secret \\
        --account 111111111111=prod [--port N] [--certificate-out controller.pem] \\
        [--misbehave stall|close] [--plain-http]
"""

import argparse
import datetime
import hmac
import ipaddress
import json
import secrets
import ssl
import sys
import tempfile
import threading
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from pathlib import Path
from urllib.parse import parse_qsl

__all__ = ["ControllerServer", "start", "main"]

API_PATH = "/v1/api"
_MAX_BODY = 1 << 20


def _self_signed():
    """A fresh self-signed certificate for 127.0.0.1 and localhost: (certificate PEM, key PEM)."""
    from cryptography import x509
    from cryptography.hazmat.primitives import hashes, serialization
    from cryptography.hazmat.primitives.asymmetric import ec
    from cryptography.x509.oid import NameOID

    key = ec.generate_private_key(ec.SECP256R1())
    name = x509.Name([x509.NameAttribute(NameOID.COMMON_NAME, "Corvane Controller sandbox")])
    now = datetime.datetime.now(datetime.timezone.utc)
    certificate = (
        x509.CertificateBuilder()
        .subject_name(name)
        .issuer_name(name)
        .public_key(key.public_key())
        .serial_number(x509.random_serial_number())
        .not_valid_before(now - datetime.timedelta(minutes=5))
        .not_valid_after(now + datetime.timedelta(days=1))
        .add_extension(
            x509.SubjectAlternativeName(
                [x509.DNSName("localhost"), x509.IPAddress(ipaddress.IPv4Address("127.0.0.1"))]
            ),
            critical=False,
        )
        .sign(key, hashes.SHA256())
    )
    key_pem = key.private_bytes(
        serialization.Encoding.PEM, serialization.PrivateFormat.PKCS8, serialization.NoEncryption()
    )
    return certificate.public_bytes(serialization.Encoding.PEM), key_pem


def _tls_context(certificate_pem: bytes, key_pem: bytes) -> ssl.SSLContext:
    """A server context presenting the certificate (chain) with its key."""
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    with tempfile.TemporaryDirectory(prefix="corvane-sandbox-") as folder:
        cert_file = Path(folder) / "cert.pem"
        key_file = Path(folder) / "key.pem"
        cert_file.write_bytes(certificate_pem)
        key_file.write_bytes(key_pem)
        context.load_cert_chain(cert_file, key_file)
    return context


class _Server(ThreadingHTTPServer):
    daemon_threads = True

    def handle_error(self, request, client_address):
        # A client that gives up on the self-signed certificate or hangs up is
        # not the controller's fault; anything else is worth a traceback.
        if not isinstance(sys.exc_info()[1], (ssl.SSLError, ConnectionError, TimeoutError)):
            super().handle_error(request, client_address)


class _Handler(BaseHTTPRequestHandler):
    server_version = "CorvaneSandbox/1.0"
    protocol_version = "HTTP/1.1"
    timeout = 30

    def setup(self):
        super().setup()
        if self.server.controller.tls:
            self.request.do_handshake()

    def log_message(self, format, *args):  # keep test output clean
        pass

    def _answer(self, status, body, content_type="application/json"):
        data = body if isinstance(body, bytes) else json.dumps(body).encode("utf-8")
        self.send_response(status)
        self.send_header("Content-Type", content_type)
        self.send_header("Content-Length", str(len(data)))
        self.end_headers()
        self.wfile.write(data)

    def _refuse(self, status, reason):
        self._answer(status, {"return": False, "reason": reason})

    def do_GET(self):
        self._refuse(405, "the API answers POST requests only")

    do_PUT = do_DELETE = do_PATCH = do_GET

    def do_POST(self):
        if self.path.split("?", 1)[0] != API_PATH:
            self._refuse(404, f"no API at {self.path}; use {API_PATH}")
            return
        try:
            length = int(self.headers.get("Content-Length") or 0)
        except ValueError:
            length = -1
        if not 0 <= length <= _MAX_BODY:
            self._refuse(400, "missing or unacceptable Content-Length")
            return
        try:
            pairs = parse_qsl(self.rfile.read(length).decode("utf-8"), keep_blank_values=True,
                              strict_parsing=bool(length))
        except (UnicodeDecodeError, ValueError):
            self._refuse(400, "the body is not a form-encoded UTF-8 text")
            return
        form = {}
        for field, value in pairs:
            if field in form:  # a repeated field stays visible to the tests
                previous = form[field]
                form[field] = (previous if isinstance(previous, list) else [previous]) + [value]
            else:
                form[field] = value
        controller = self.server.controller
        mode = controller.mode_for(form.get("action"))
        if mode == "stall":  # never answer
            controller._stopping.wait()
        if mode is not None:  # hang up without an answer
            self.close_connection = True
            return
        status, body, content_type = controller.handle(form)
        self._answer(status, body, content_type)


class ControllerServer:
    """A running substitute controller (see `start`)."""

    MODES = (None, "stall", "close")

    def __init__(self, accounts, username, password, port=0, certificate=None, tls=True):
        self.accounts = dict(accounts)
        self.username = username
        self.password = password
        self.requests = []
        self._sessions = set()
        self._canned = {}
        self._lock = threading.Lock()
        self.tls = tls
        self._modes = {}
        self._stopping = threading.Event()
        certificate_pem, key_pem = certificate if certificate is not None else _self_signed()
        self.certificate_pem = bytes(certificate_pem)
        self._httpd = _Server(("127.0.0.1", port), _Handler)
        if tls:
            # The handshake runs in each request's thread, so a silent client
            # cannot hold up the others.
            self._httpd.socket = _tls_context(self.certificate_pem, bytes(key_pem)).wrap_socket(
                self._httpd.socket, server_side=True, do_handshake_on_connect=False
            )
        self._httpd.controller = self
        self._thread = None

    @property
    def address(self) -> str:
        """The controller address as a configuration gives it: "127.0.0.1:PORT"."""
        host, port = self._httpd.server_address[:2]
        return f"{host}:{port}"

    @property
    def port(self) -> int:
        return self._httpd.server_address[1]

    @property
    def url(self) -> str:
        return f"{'https' if self.tls else 'http'}://{self.address}{API_PATH}"

    def misbehave(self, mode, action=None):
        """From now on read each request (of `action`, or every request) and
        never answer ("stall"), hang up without answering ("close"), or behave
        again (None)."""
        if mode not in self.MODES:
            raise ValueError(f"unknown mode {mode!r}; one of {self.MODES}")
        with self._lock:
            self._modes[action] = mode

    def mode_for(self, action):
        with self._lock:
            return self._modes.get(action if isinstance(action, str) and action in self._modes else None)

    def write_certificate(self, path) -> Path:
        """Write the certificate the controller presents to `path` (PEM), for
        pinning it with the configuration's controller.verify."""
        path = Path(path)
        path.write_bytes(self.certificate_pem)
        return path

    def respond_with(self, action, body, status=200, content_type="application/json"):
        """Answer every later request of `action` with `body` (text or bytes, sent
        as is) instead of the normal answer, for example a login body without
        "CID" or one that is not JSON. `body=None` restores the normal answer."""
        with self._lock:
            if body is None:
                self._canned.pop(action, None)
            else:
                data = body.encode("utf-8") if isinstance(body, str) else bytes(body)
                self._canned[action] = (status, data, content_type)

    def handle(self, form):
        """Answer one decoded form: (status, body, content type)."""
        with self._lock:
            self.requests.append(form)
            action = form.get("action")
            if isinstance(action, str) and action in self._canned:
                return self._canned[action]
            if action == "login":
                return (200, self._login(form), "application/json")
            if action == "list_accounts":
                return (200, self._list_accounts(form), "application/json")
        return (200, {"return": False, "reason": f"unknown action {action!r}"}, "application/json")

    def _login(self, form):
        username = form.get("username")
        password = form.get("password")
        if not (isinstance(username, str) and isinstance(password, str)):
            return {"return": False, "reason": "username and password are required"}
        good_user = hmac.compare_digest(username.encode(), self.username.encode())
        good_password = hmac.compare_digest(password.encode(), self.password.encode())
        if not (good_user and good_password):
            return {"return": False, "reason": "Invalid username or password."}
        cid = secrets.token_urlsafe(24)
        self._sessions.add(cid)
        return {"return": True, "results": f"User {username} logged in.", "CID": cid}

    def _list_accounts(self, form):
        if form.get("CID") not in self._sessions:
            return {"return": False, "reason": "CID is invalid or expired."}
        return {
            "return": True,
            "results": {
                "account_list": [
                    {
                        "account_name": name,
                        "account_number": number,
                        "cloud_type": 1,
                        "aws_iam": True,
                        "aws_role_arn": f"arn:aws:iam::{number}:role/corvane-role-app",
                        "aws_role_ec2": f"arn:aws:iam::{number}:role/corvane-role-ec2",
                    }
                    for number, name in self.accounts.items()
                ]
            },
        }

    def serve_in_background(self):
        self._thread = threading.Thread(target=self._httpd.serve_forever, kwargs={"poll_interval": 0.05},
                                        name="corvane-sandbox", daemon=True)
        self._thread.start()
        return self

    def serve_forever(self):
        self._httpd.serve_forever()

    def stop(self):
        self._stopping.set()  # stalled requests end
        if self._thread is not None:
            self._httpd.shutdown()
            self._thread.join()
            self._thread = None
        self._httpd.server_close()

    def __enter__(self):
        return self

    def __exit__(self, *exc_info):
        self.stop()


def start(accounts, username, password, port=0, certificate=None, tls=True) -> ControllerServer:
    """Start a substitute controller in a background thread.

    `accounts` maps account numbers (text, as the controller holds them) to
    names; `certificate`, a pair (certificate chain PEM, key PEM), replaces the
    self-signed certificate; `tls=False` serves plain HTTP. Returns the
    running server: `.address` ("127.0.0.1:PORT"), `.url`, `.requests`,
    `.certificate_pem`, `.write_certificate(path)`, `.respond_with(...)`,
    `.misbehave(...)`, `.stop()`; it is a context manager.
    """
    return ControllerServer(accounts, username, password, port, certificate, tls).serve_in_background()


def _account(text):
    number, sep, name = text.partition("=")
    if not sep or not number:
        raise argparse.ArgumentTypeError(f"{text!r} is not NUMBER=NAME")
    return number, name


def main(argv=None):
    parser = argparse.ArgumentParser(
        prog="python -m sandbox.controller",
        description="Serve a substitute Corvane Controller on 127.0.0.1 until interrupted.",
    )
    parser.add_argument("--username", required=True, help="the login name it accepts")
    parser.add_argument("--password", required=True, help="the password it accepts")
    parser.add_argument("--account", type=_account, action="append", default=[], metavar="NUMBER=NAME",
                        help="an account it knows (repeat for more)")
    parser.add_argument("--port", type=int, default=0, help="port to listen on (default: any free port)")
    parser.add_argument("--certificate-out", type=Path, metavar="FILE",
                        help="write the controller's self-signed certificate (PEM) to FILE, for controller.verify")
    parser.add_argument("--misbehave", choices=[m for m in ControllerServer.MODES if m],
                        help="stall: never answer; close: hang up without answering")
    parser.add_argument("--plain-http", action="store_true", help="serve plain HTTP instead of HTTPS")
    args = parser.parse_args(argv)
    server = ControllerServer(dict(args.account), args.username, args.password, args.port, tls=not args.plain_http)
    server.misbehave(args.misbehave)
    if args.certificate_out:
        server.write_certificate(args.certificate_out)
    print(server.address, flush=True)
    print(f"Corvane Controller sandbox serving {server.url}; Ctrl-C stops it", file=sys.stderr, flush=True)
    try:
        server.serve_forever()
    except KeyboardInterrupt:
        pass
    finally:
        server.stop()
    return 0


if __name__ == "__main__":
    sys.exit(main())
