"""A synthetic AWS on 127.0.0.1 for walks over large estates: STS and EC2 answered from a
generated estate at a chosen latency, at negligible CPU per request (moto spends about 20 ms).

    with start(Estate.generated(1000), latency_ms=100) as aws:
        subprocess.run([...], env={**os.environ, **aws.env()})
        aws.counts()      # {"AssumeRole": 1000, "DescribeRegions": 1000, ...}
        aws.requests()    # [(action, region, account whose key signed it), ...] with log=True

What it serves (AWS's query protocol, as boto3 sends and parses it):
- STS AssumeRole: credentials of the role's account, lasting `expiry_s` seconds (default an
  hour; DurationSeconds may ask for less). The access key holds the account number
  ("ASIA" + account + counter), so a request shows whose key signed it. GetCallerIdentity.
- EC2 DescribeRegions (the regions of the signing account), DescribeVpcs and DescribeSubnets
  with paging (MaxResults, NextToken) and the filters vpc-id, is-default, cidr-block /
  cidr (VPCs), vpc-id, subnet-id (subnets) and the id lists VpcId.N, SubnetId.N.

Every request's SigV4 signature is checked against the secret of the key that signed it, and
an assumed-role request must carry that key's own session token: credentials mixed between
accounts, expired or unknown are refused as AWS refuses them (RequestExpired / ExpiredToken,
AuthFailure / InvalidClientTokenId). Base credentials are the fake key of `client_env`.

Estates: `Estate.generated(accounts)` gives each account every region of REGIONS, a default VPC
(172.31.0.0/16 with one /20 subnet in each of three zones) in every region, and `extra_vpcs`
more VPCs (10.n.0.0/16 with four /24 subnets, every other one named) in two regions of each
account; `Estate.explicit({account: {region: [{"cidr", "name", "subnets"}]}})` is exactly what
it says (an account's regions are the ones listed for it).

Control (HTTP on the same port, no latency): GET/DELETE /_synthetic/requests (counts by
action; with ?log=1 every request), PUT /_synthetic/latency (milliseconds), PUT
/_synthetic/faults {"delay": [{account, region, action, ms}], "fail": [{account, region,
action, code, status}]}: a matching request is answered that much later, or with that error.

From a terminal:

    python -m sandbox.synthetic_aws --accounts 1000 [--latency-ms 100] [--port N] [--expiry-s 3600]
"""

import argparse
import asyncio
import base64
import hashlib
import hmac
import itertools
import json
import os
import signal
import subprocess
import sys
import threading
import time
import urllib.request
from collections import Counter
from datetime import datetime, timezone
from pathlib import Path
from urllib.parse import parse_qsl, quote

from sandbox.aws import stop_process

__all__ = ["Estate", "SyntheticAws", "start", "client_env", "REGIONS", "BASE_ACCESS_KEY_ID", "BASE_SECRET_ACCESS_KEY"]

BASE_ACCESS_KEY_ID = "AKIASYNTHETICBASE001"
BASE_SECRET_ACCESS_KEY = "synthetic-base-secret"
REGIONS = ["us-east-1", "us-east-2", "us-west-1", "us-west-2", "ca-central-1", "sa-east-1", "eu-west-1", "eu-west-2",
           "eu-west-3", "eu-central-1", "eu-north-1", "ap-south-1", "ap-northeast-1", "ap-northeast-2",
           "ap-northeast-3", "ap-southeast-1", "ap-southeast-2"]
_CONTROL = "/_synthetic/"
_EC2_NS = "http://ec2.amazonaws.com/doc/2016-11-15/"
_STS_NS = "https://sts.amazonaws.com/doc/2011-06-15/"
_ZONES = "abc"


def client_env(endpoint):
    """Environment variables that point an AWS SDK at the synthetic AWS, with its base credentials
    and no profile of the user's."""
    return {
        "AWS_ACCESS_KEY_ID": BASE_ACCESS_KEY_ID,
        "AWS_SECRET_ACCESS_KEY": BASE_SECRET_ACCESS_KEY,
        "AWS_DEFAULT_REGION": "us-east-1",
        "AWS_ENDPOINT_URL": endpoint,
        "AWS_CONFIG_FILE": os.devnull,
        "AWS_SHARED_CREDENTIALS_FILE": os.devnull,
    }


# ------------------------------------------------------------------------------------ estate

def _hex_id(*parts, length=17):
    return hashlib.blake2b("/".join(map(str, parts)).encode(), digest_size=16).hexdigest()[:length]


class Estate:
    """Accounts, their regions, and each region's VPCs with their subnets; built lazily per
    (account, region), so a thousand accounts cost nothing until asked."""

    def __init__(self, accounts, regions_of, vpcs_of):
        self.accounts = list(accounts)
        self._known = set(self.accounts)
        self._regions_of = regions_of
        self._vpcs_of = vpcs_of
        self._cache = {}

    def __contains__(self, account):
        return account in self._known

    def regions(self, account):
        return self._regions_of(account)

    def vpcs(self, account, region):
        """[(vpc, [subnet, ...]), ...] as dicts of the fields served."""
        key = (account, region)
        found = self._cache.get(key)
        if found is None:
            found = self._cache[key] = [
                _vpc(account, region, n, recipe) for n, recipe in enumerate(self._vpcs_of(account, region))
            ]
            if len(self._cache) > 4096:  # bounded: the walk asks each pair once or twice
                self._cache.pop(next(iter(self._cache)))
        return found

    def pairs(self):
        return [(a, r) for a in self.accounts for r in self.regions(a)]

    @classmethod
    def generated(cls, accounts, regions=None, extra_vpcs=3, extra_regions=2, first_account=100000000000):
        regions = list(regions or REGIONS)
        ids = [f"{first_account + n:012d}" for n in range(accounts)]
        index = {a: n for n, a in enumerate(ids)}
        default = {"cidr": "172.31.0.0/16", "default": True,
                   "subnets": [f"172.31.{16 * z}.0/20" for z in range(len(_ZONES))]}
        extra = [{"cidr": f"10.{n}.0.0/16", "name": f"workload {n}" if n % 2 == 0 else None,
                  "subnets": [f"10.{n}.{s}.0/24" for s in range(4)]} for n in range(extra_vpcs)]

        def vpcs_of(account, region):
            n = index[account]
            busy = {regions[(n + k) % len(regions)] for k in range(min(extra_regions, len(regions)))}
            return [default, *extra] if region in busy else [default]

        estate = cls(ids, lambda account: regions, vpcs_of)
        estate.recipe = {"generated": {"accounts": accounts, "regions": regions, "extra_vpcs": extra_vpcs,
                                     "extra_regions": extra_regions, "first_account": first_account}}
        return estate

    @classmethod
    def explicit(cls, estate):
        for account, regions in estate.items():
            if not (isinstance(account, str) and len(account) == 12 and account.isdigit()):
                raise ValueError(f"estate: {account!r} is not a 12-digit account ID")
            for region, vpcs in regions.items():
                for vpc in vpcs:
                    if not isinstance(vpc, dict) or not isinstance(vpc.get("cidr"), str):
                        raise ValueError(f"estate: {account}/{region}: each VPC needs a \"cidr\" text")
        made = cls(estate, lambda account: list(estate[account]), lambda account, region: estate[account][region])
        made.recipe = {"explicit": estate}
        return made

    def total_vpcs(self):
        return sum(len(self._vpcs_of(a, r)) for a, r in self.pairs())


def _vpc(account, region, n, recipe):
    vpc_id = f"vpc-{_hex_id(account, region, n)}"
    vpc = {"id": vpc_id, "owner": account, "cidr": recipe["cidr"], "default": bool(recipe.get("default")),
           "name": recipe.get("name"), "assoc": f"vpc-cidr-assoc-{_hex_id(vpc_id, 'a')}"}
    subnets = []
    for s, cidr in enumerate(recipe.get("subnets", [])):
        subnet_id = f"subnet-{_hex_id(vpc_id, s)}"
        subnets.append({"id": subnet_id, "vpc": vpc_id, "owner": account, "cidr": cidr, "region": region,
                        "zone": f"{region}{_ZONES[s % len(_ZONES)]}", "default": vpc["default"]})
    return vpc, subnets


# -------------------------------------------------------------------------------- responses

def _esc(text):
    return str(text).replace("&", "&amp;").replace("<", "&lt;").replace(">", "&gt;")


def _vpc_xml(vpc):
    tags = (f"<tagSet><item><key>Name</key><value>{_esc(vpc['name'])}</value></item></tagSet>"
            if vpc["name"] is not None else "")
    return (f"<item><vpcId>{vpc['id']}</vpcId><ownerId>{vpc['owner']}</ownerId><state>available</state>"
            f"<cidrBlock>{vpc['cidr']}</cidrBlock><cidrBlockAssociationSet><item><cidrBlock>{vpc['cidr']}</cidrBlock>"
            f"<associationId>{vpc['assoc']}</associationId><cidrBlockState><state>associated</state>"
            f"</cidrBlockState></item></cidrBlockAssociationSet><dhcpOptionsId>dopt-0synthetic</dhcpOptionsId>"
            f"{tags}<instanceTenancy>default</instanceTenancy><isDefault>{str(vpc['default']).lower()}</isDefault>"
            f"</item>")


def _subnet_xml(subnet):
    return (f"<item><subnetId>{subnet['id']}</subnetId><subnetArn>arn:aws:ec2:{subnet['region']}:{subnet['owner']}"
            f":subnet/{subnet['id']}</subnetArn><state>available</state><ownerId>{subnet['owner']}</ownerId>"
            f"<vpcId>{subnet['vpc']}</vpcId><cidrBlock>{subnet['cidr']}</cidrBlock>"
            f"<availableIpAddressCount>250</availableIpAddressCount><availabilityZone>{subnet['zone']}"
            f"</availabilityZone><defaultForAz>{str(subnet['default']).lower()}</defaultForAz>"
            f"<mapPublicIpOnLaunch>false</mapPublicIpOnLaunch></item>")


def _page(items, params, limit_low, limit_high):
    """The page of `items` that MaxResults and NextToken ask for, and the next token or None."""
    start = int(params.get("NextToken", "0") or 0)
    if "MaxResults" in params:
        size = int(params["MaxResults"])
        if not limit_low <= size <= limit_high:
            raise _AwsError("InvalidParameterValue", f"MaxResults must be between {limit_low} and {limit_high}")
    else:
        size = len(items)
    end = start + size
    return items[start:end], (str(end) if end < len(items) else None)


def _filters(params):
    """{name: set of values} of Filter.N.Name / Filter.N.Value.M."""
    names = {}
    values = {}
    for key, value in params.items():
        parts = key.split(".")
        if parts[0] == "Filter" and len(parts) == 3 and parts[2] == "Name":
            names[parts[1]] = value
        elif parts[0] == "Filter" and len(parts) == 4 and parts[2] == "Value":
            values.setdefault(parts[1], set()).add(value)
    return {name: values.get(n, set()) for n, name in names.items()}


def _id_list(params, prefix):
    return {value for key, value in params.items() if key.startswith(prefix + ".")}


class _AwsError(Exception):
    def __init__(self, code, message, status=400):
        super().__init__(message)
        self.code, self.message, self.status = code, message, status


# ----------------------------------------------------------------------------------- signing

def _signing_key(secret, date, region, service):
    key = ("AWS4" + secret).encode()
    for part in (date, region, service, "aws4_request"):
        key = hmac.new(key, part.encode(), hashlib.sha256).digest()
    return key


def _signature_ok(method, path, query, headers, body, authorization, secret):
    """Whether `authorization` is the SigV4 signature of this request made with `secret`."""
    fields = dict(part.strip().split("=", 1) for part in authorization.split(" ", 1)[1].split(","))
    access_key, date, region, service, _ = fields["Credential"].split("/")
    signed = fields["SignedHeaders"].split(";")
    canonical_query = "&".join(
        f"{quote(k, safe='-_.~')}={quote(v, safe='-_.~')}" for k, v in sorted(parse_qsl(query, keep_blank_values=True)))
    canonical_headers = "".join(f"{name}:{' '.join(headers.get(name, '').split())}\n" for name in signed)
    canonical = "\n".join([method, quote(path or "/", safe="/-_.~"), canonical_query, canonical_headers,
                           fields["SignedHeaders"], hashlib.sha256(body).hexdigest()])
    scope = f"{date}/{region}/{service}/aws4_request"
    to_sign = "\n".join(["AWS4-HMAC-SHA256", headers.get("x-amz-date", ""), scope,
                         hashlib.sha256(canonical.encode()).hexdigest()])
    expected = hmac.new(_signing_key(secret, date, region, service), to_sign.encode(), hashlib.sha256).hexdigest()
    return hmac.compare_digest(expected, fields["Signature"])


# ------------------------------------------------------------------------------------ server

class _Service:
    def __init__(self, estate, latency_ms, expiry_s, log):
        self.estate = estate
        self.latency = latency_ms / 1000
        self.expiry_s = expiry_s
        self.keep_log = log
        self.counts = Counter()
        self.log = []
        self.faults = {"delay": [], "fail": []}
        self.keys = {BASE_ACCESS_KEY_ID: (None, BASE_SECRET_ACCESS_KEY, None, None)}  # key -> account, secret, token, expiry
        self._serial = itertools.count(1)
        self._secret = os.urandom(16)

    # -- control
    def control(self, method, path, query, body):
        name = path[len(_CONTROL):]
        if name == "requests":
            if method == "DELETE":
                self.counts.clear()
                self.log.clear()
                return {}
            return {"counts": dict(self.counts), "log": self.log} if query == "log=1" else dict(self.counts)
        if name == "latency":
            if method == "PUT":
                self.latency = float(body or 0) / 1000
            return self.latency * 1000
        if name == "faults":
            if method == "PUT":
                faults = json.loads(body or b"{}")
                self.faults = {"delay": list(faults.get("delay", [])), "fail": list(faults.get("fail", []))}
            return self.faults
        if name == "estate":
            return {"accounts": len(self.estate.accounts)}
        raise KeyError(name)

    def _matching(self, kind, action, region, account):
        for rule in self.faults[kind]:
            if all(rule.get(k) in (None, v) for k, v in (("action", action), ("region", region), ("account", account))):
                return rule
        return None

    # -- AWS
    async def answer(self, method, path, query, headers, body):
        params = dict(parse_qsl(query, keep_blank_values=True))
        if body:
            params.update(parse_qsl(body.decode(), keep_blank_values=True))
        action = params.get("Action", "?")
        self.counts[action] += 1
        service = "sts" if action in ("AssumeRole", "GetCallerIdentity") else "ec2"
        try:
            account, region = self._authenticate(method, path, query, headers, body, service)
        except _AwsError as err:
            if self.keep_log:
                self.log.append([action, None, None, err.code])
            return self._error(service, err)
        if action == "AssumeRole":
            role = params.get("RoleArn", "")
            account = role.split(":")[4] if role.count(":") >= 5 else None
        if self.keep_log:
            self.log.append([action, region, account, None])
        delay = self.latency
        rule = self._matching("delay", action, region, account)
        if rule:
            delay += rule.get("ms", 0) / 1000
        if delay:
            await asyncio.sleep(delay)
        rule = self._matching("fail", action, region, account)
        if rule:
            return self._error(service, _AwsError(rule["code"], rule.get("message", f"{action} refused"),
                                                  int(rule.get("status", 403))))
        try:
            handler = getattr(self, "_" + action)
        except AttributeError:
            return self._error(service, _AwsError("InvalidAction", f"The action {action} is not valid"))
        try:
            return 200, handler(params, account, region)
        except _AwsError as err:
            return self._error(service, err)

    def _authenticate(self, method, path, query, headers, body, service):
        authorization = headers.get("authorization", "")
        try:
            scope = authorization.split("Credential=", 1)[1].split(",", 1)[0].split("/")
            key, region = scope[0], scope[2]
        except IndexError:
            raise _AwsError("MissingAuthenticationToken", "Request is missing Authentication Token", 403) from None
        known = self.keys.get(key)
        if known is None:
            code = "InvalidClientTokenId" if service == "sts" else "AuthFailure"
            raise _AwsError(code, "The security token included in the request is invalid", 403)
        account, secret, token, expiry = known
        if token is not None and headers.get("x-amz-security-token") != token:
            raise _AwsError("InvalidClientTokenId" if service == "sts" else "AuthFailure",
                            "The session token does not belong to the access key", 403)
        if expiry is not None and time.time() >= expiry:
            if service == "sts":
                raise _AwsError("ExpiredToken", "The security token included in the request is expired", 400)
            raise _AwsError("RequestExpired", "Request has expired.", 400)
        if not _signature_ok(method, path, query, headers, body, authorization, secret):
            raise _AwsError("SignatureDoesNotMatch", "The request signature we calculated does not match", 403)
        return account, region

    def _error(self, service, err):
        if service == "sts":
            xml = (f'<ErrorResponse xmlns="{_STS_NS}"><Error><Type>Sender</Type><Code>{err.code}</Code>'
                   f"<Message>{_esc(err.message)}</Message></Error><RequestId>synthetic</RequestId></ErrorResponse>")
        else:
            xml = (f'<?xml version="1.0" encoding="UTF-8"?><Response><Errors><Error><Code>{err.code}</Code>'
                   f"<Message>{_esc(err.message)}</Message></Error></Errors><RequestID>synthetic</RequestID></Response>")
        return err.status, xml

    def _AssumeRole(self, params, account, region):
        if account not in self.estate:
            raise _AwsError("AccessDenied", f"Not authorized to perform sts:AssumeRole on {params.get('RoleArn')}", 403)
        lifetime = min(self.expiry_s, int(params.get("DurationSeconds", 3600)))
        key = f"ASIA{account}{next(self._serial) % 0x10000:04X}"
        secret = base64.b64encode(hmac.new(self._secret, key.encode(), hashlib.sha256).digest()).decode()
        token = f"synthetic-{account}-{key}-" + hmac.new(self._secret, b"t" + key.encode(), hashlib.sha256).hexdigest()
        expiry = time.time() + lifetime
        self.keys[key] = (account, secret, token, expiry)
        stamp = datetime.fromtimestamp(expiry, timezone.utc).strftime("%Y-%m-%dT%H:%M:%SZ")
        session = params.get("RoleSessionName", "session")
        role_name = params["RoleArn"].split("/", 1)[-1]
        return (f'<AssumeRoleResponse xmlns="{_STS_NS}"><AssumeRoleResult><Credentials>'
                f"<AccessKeyId>{key}</AccessKeyId><SecretAccessKey>{secret}</SecretAccessKey>"
                f"<SessionToken>{token}</SessionToken><Expiration>{stamp}</Expiration></Credentials>"
                f"<AssumedRoleUser><Arn>arn:aws:sts::{account}:assumed-role/{_esc(role_name)}/{_esc(session)}</Arn>"
                f"<AssumedRoleId>AROA{account}:{_esc(session)}</AssumedRoleId></AssumedRoleUser></AssumeRoleResult>"
                f"<ResponseMetadata><RequestId>synthetic</RequestId></ResponseMetadata></AssumeRoleResponse>")

    def _GetCallerIdentity(self, params, account, region):
        who = account or "000000000000"
        return (f'<GetCallerIdentityResponse xmlns="{_STS_NS}"><GetCallerIdentityResult><Arn>arn:aws:iam::{who}:user/'
                f"synthetic</Arn><UserId>AIDASYNTHETIC</UserId><Account>{who}</Account></GetCallerIdentityResult>"
                f"<ResponseMetadata><RequestId>synthetic</RequestId></ResponseMetadata></GetCallerIdentityResponse>")

    def _own_account(self, account):
        if account is None or account not in self.estate:
            raise _AwsError("UnauthorizedOperation", "You are not authorized to perform this operation.", 403)

    def _DescribeRegions(self, params, account, region):
        self._own_account(account)
        items = "".join(f"<item><regionName>{r}</regionName><regionEndpoint>ec2.{r}.amazonaws.com</regionEndpoint>"
                        f"<optInStatus>opt-in-not-required</optInStatus></item>" for r in self.estate.regions(account))
        return (f'<DescribeRegionsResponse xmlns="{_EC2_NS}"><requestId>synthetic</requestId>'
                f"<regionInfo>{items}</regionInfo></DescribeRegionsResponse>")

    def _region_vpcs(self, account, region):
        self._own_account(account)
        if region not in self.estate.regions(account):
            raise _AwsError("AuthFailure", "AWS was not able to validate the provided access credentials", 401)
        return self.estate.vpcs(account, region)

    def _DescribeVpcs(self, params, account, region):
        wanted = _id_list(params, "VpcId")
        filters = _filters(params)
        vpcs = []
        for vpc, _ in self._region_vpcs(account, region):
            if wanted and vpc["id"] not in wanted:
                continue
            if "vpc-id" in filters and vpc["id"] not in filters["vpc-id"]:
                continue
            if "is-default" in filters and str(vpc["default"]).lower() not in filters["is-default"]:
                continue
            cidr = filters.get("cidr-block") or filters.get("cidr")
            if cidr and vpc["cidr"] not in cidr:
                continue
            vpcs.append(vpc)
        page, token = _page(vpcs, params, 5, 1000)
        nxt = f"<nextToken>{token}</nextToken>" if token else ""
        return (f'<DescribeVpcsResponse xmlns="{_EC2_NS}"><requestId>synthetic</requestId>'
                f"<vpcSet>{''.join(map(_vpc_xml, page))}</vpcSet>{nxt}</DescribeVpcsResponse>")

    def _DescribeSubnets(self, params, account, region):
        wanted = _id_list(params, "SubnetId")
        filters = _filters(params)
        subnets = []
        for _, region_subnets in self._region_vpcs(account, region):
            for subnet in region_subnets:
                if wanted and subnet["id"] not in wanted:
                    continue
                if "vpc-id" in filters and subnet["vpc"] not in filters["vpc-id"]:
                    continue
                if "subnet-id" in filters and subnet["id"] not in filters["subnet-id"]:
                    continue
                subnets.append(subnet)
        page, token = _page(subnets, params, 5, 1000)
        nxt = f"<nextToken>{token}</nextToken>" if token else ""
        return (f'<DescribeSubnetsResponse xmlns="{_EC2_NS}"><requestId>synthetic</requestId>'
                f"<subnetSet>{''.join(map(_subnet_xml, page))}</subnetSet>{nxt}</DescribeSubnetsResponse>")


async def _serve_connection(service, reader, writer):
    try:
        while True:
            head = await reader.readuntil(b"\r\n\r\n")
            lines = head.decode("latin-1").split("\r\n")
            method, target, _ = lines[0].split(" ", 2)
            headers = {}
            for line in lines[1:]:
                if line:
                    name, _, value = line.partition(":")
                    headers[name.strip().lower()] = value.strip()
            length = int(headers.get("content-length") or 0)
            body = await reader.readexactly(length) if length else b""
            path, _, query = target.partition("?")
            if path.startswith(_CONTROL):
                try:
                    status, payload = 200, json.dumps(service.control(method, path, query, body))
                except (KeyError, ValueError) as err:
                    status, payload = 400, json.dumps({"error": str(err)})
                content_type = "application/json"
            else:
                status, payload = await service.answer(method, path, query, headers, body)
                content_type = "text/xml"
            data = payload.encode()
            writer.write(f"HTTP/1.1 {status} {'OK' if status == 200 else 'Error'}\r\nContent-Type: {content_type}\r\n"
                         f"Content-Length: {len(data)}\r\nx-amzn-RequestId: synthetic\r\n\r\n".encode() + data)
            await writer.drain()
            if headers.get("connection", "").lower() == "close":
                break
    except (asyncio.IncompleteReadError, ConnectionError, asyncio.CancelledError):
        pass  # the client hung up, or the server stops
    finally:
        writer.close()


async def _serve(service, port, ready):
    server = await asyncio.start_server(lambda r, w: _serve_connection(service, r, w), "127.0.0.1", port,
                                        backlog=1024)
    ready(server.sockets[0].getsockname()[1])
    stop = asyncio.get_running_loop().create_future()
    for signum in (signal.SIGTERM, signal.SIGINT):
        asyncio.get_running_loop().add_signal_handler(signum, lambda: stop.done() or stop.set_result(None))

    if not os.isatty(0):  # the owner holds the other end: its end, killed or not, ends the server
        loop = asyncio.get_running_loop()
        threading.Thread(target=lambda: (_drain(0), loop.call_soon_threadsafe(
            lambda: stop.done() or stop.set_result(None))), daemon=True).start()
    async with server:
        await stop


def _drain(fd):
    try:
        while os.read(fd, 4096):
            pass
    except OSError:
        pass


# ----------------------------------------------------------------------------------- client

class SyntheticAws:
    """A running synthetic AWS (see `start`)."""

    def __init__(self, process, port):
        self.process = process
        self.port = port
        self.endpoint = f"http://127.0.0.1:{port}"

    def _call(self, method, name, data=None):
        request = urllib.request.Request(f"{self.endpoint}{_CONTROL}{name}", data=data, method=method)
        with urllib.request.urlopen(request, timeout=30) as response:
            return json.loads(response.read() or b"null")

    def counts(self):
        """Requests by action since start or the last reset."""
        return self._call("GET", "requests")

    def requests(self):
        """Every request since the last reset (start with log=True): [action, region, account of the key
        that signed it (of the role, for AssumeRole), error code or None]."""
        return self._call("GET", "requests?log=1")["log"]

    def reset(self):
        self._call("DELETE", "requests")

    def set_latency(self, milliseconds):
        return self._call("PUT", "latency", str(milliseconds).encode())

    def set_faults(self, delay=(), fail=()):
        return self._call("PUT", "faults", json.dumps({"delay": list(delay), "fail": list(fail)}).encode())

    def env(self):
        return client_env(self.endpoint)

    def stop(self):
        stop_process(self.process, timeout=10)

    def __enter__(self):
        return self

    def __exit__(self, *exc_info):
        self.stop()


def start(estate, latency_ms=0, expiry_s=3600, log=False, port=0):
    """Serve `estate` (an Estate, or {account: {region: [VPC, ...]}}) in a process of its own;
    `log`: keep every request for `requests()`."""
    recipe = Estate.explicit(estate).recipe if isinstance(estate, dict) else estate.recipe
    command = [sys.executable, "-m", "sandbox.synthetic_aws", "--recipe", json.dumps(recipe), "--port", str(port),
               "--latency-ms", str(latency_ms), "--expiry-s", str(expiry_s)] + (["--log"] if log else [])
    process = subprocess.Popen(command, stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True,
                               cwd=str(Path(__file__).resolve().parents[1]))
    line = process.stdout.readline().strip()
    if not line.isdigit():
        process.kill()
        process.wait()
        raise RuntimeError(f"the synthetic AWS did not start: {line!r}")
    return SyntheticAws(process, int(line))


def _estate_from_recipe(recipe):
    if "explicit" in recipe:
        return Estate.explicit(recipe["explicit"])
    return Estate.generated(**recipe["generated"])


def main(argv=None):
    parser = argparse.ArgumentParser(prog="python -m sandbox.synthetic_aws", description=__doc__.splitlines()[0])
    parser.add_argument("--accounts", type=int, help="a generated estate of that many accounts")
    parser.add_argument("--recipe", help=argparse.SUPPRESS)
    parser.add_argument("--port", type=int, default=0)
    parser.add_argument("--latency-ms", type=float, default=0.0)
    parser.add_argument("--expiry-s", type=float, default=3600.0, help="lifetime of assumed-role credentials")
    parser.add_argument("--log", action="store_true", help="keep every request (for requests?log=1)")
    args = parser.parse_args(argv)
    if args.recipe:
        estate = _estate_from_recipe(json.loads(args.recipe))
    elif args.accounts is not None:
        estate = Estate.generated(args.accounts)
    else:
        parser.error("--accounts is needed")
    service = _Service(estate, args.latency_ms, args.expiry_s, args.log)

    def ready(port):
        print(port, flush=True)
        if sys.stdin.isatty():  # run by hand
            print(f"synthetic AWS: http://127.0.0.1:{port}, {len(estate.accounts)} accounts; Ctrl-C stops it",
                  file=sys.stderr, flush=True)

    asyncio.run(_serve(service, args.port, ready))
    return 0


if __name__ == "__main__":
    sys.exit(main())
