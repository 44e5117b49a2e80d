"""A seeded AWS on 127.0.0.1: moto's server as a subprocess, filled with VPCs.

    with start() as aws:
        ids = seed(aws.endpoint, {"111111111111": {"us-east-1": [
            {"cidr": "10.0.0.0/16", "name": "prod web", "subnets": ["10.0.0.0/24"]},
        ]}})
        subprocess.run([...], env={**os.environ, **client_env(aws.endpoint)})
        aws.request_counts()["ec2"]["DescribeVpcs"]

An estate maps account IDs to regions to lists of VPCs; `seed` assumes a role
in each account, so that the VPCs land in that account, as the generate
command later finds them through its own assumed role.

Default VPCs: moto, like AWS, gives every region of every account a default
VPC (172.31.0.0/16 with one subnet per zone). The server started here leaves
them out (unless `keep_default_vpcs=True`), and `seed` removes any it finds
in the regions it seeds, so an estate is exactly what it says.

At scale: `generated_estate(accounts, regions, vpcs, subnets)` makes an estate
of that shape, and `start(latency_ms=40)` (or `set_latency`) makes every AWS
request answer that much later, as a distant region would.

From a terminal:

    python -m sandbox.aws --estate estate.json [--port N] [--latency-ms MS] [--enforce-auth]
    python -m sandbox.aws --generate 10x3x20x4 [--latency-ms 40]
"""

import argparse
import concurrent.futures
import json
import os
import re
import selectors
import signal
import subprocess
import sys
import tempfile
import time
import urllib.error
import urllib.request
from pathlib import Path

from sandbox import sharing

__all__ = ["AwsSandbox", "client_env", "generated_estate", "seed", "start", "main", "FAKE_ACCESS_KEY_ID",
           "FAKE_SECRET_ACCESS_KEY"]

FAKE_ACCESS_KEY_ID = "testing"
FAKE_SECRET_ACCESS_KEY = "testing"
DEFAULT_REGION = "us-east-1"
SEED_ROLE = "sandbox-seed"
_SERVER_SCRIPT = Path(__file__).with_name("moto_server.py")
_COUNTS_PATH = "/_sandbox/requests"
_LATENCY_PATH = "/_sandbox/latency"
_FAULTS_PATH = "/_sandbox/faults"
_SHARES_PATH = "/_sandbox/shares"
# Regions of a generated estate, in this order.
_REGIONS = ["us-east-1", "eu-west-1", "us-west-2", "eu-central-1", "ap-southeast-2", "ap-northeast-1", "us-east-2",
            "eu-west-2", "ca-central-1", "sa-east-1", "ap-south-1", "eu-north-1", "us-west-1", "ap-southeast-1",
            "eu-west-3", "ap-northeast-2", "ap-northeast-3"]
_ACCOUNT_ID = re.compile(r"[0-9]{12}")


def client_env(endpoint):
    """Environment variables that point an AWS SDK client at the sandbox.

    Merge them into a subprocess's environment. The shared config and
    credentials files are switched off so that no real profile is used; a
    caller that copies os.environ should also drop AWS_PROFILE and
    AWS_SESSION_TOKEN.
    """
    return {
        "AWS_ACCESS_KEY_ID": FAKE_ACCESS_KEY_ID,
        "AWS_SECRET_ACCESS_KEY": FAKE_SECRET_ACCESS_KEY,
        "AWS_DEFAULT_REGION": DEFAULT_REGION,
        "AWS_ENDPOINT_URL": endpoint,
        "AWS_CONFIG_FILE": os.devnull,
        "AWS_SHARED_CREDENTIALS_FILE": os.devnull,
    }


def stop_process(process, timeout):
    """End a sandbox server: SIGTERM, then SIGKILL after `timeout` seconds; its pipes closed."""
    if process.poll() is None:
        process.send_signal(signal.SIGTERM)
        try:
            process.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()
    for stream in (process.stdin, process.stdout):
        if stream:
            stream.close()


class AwsSandbox:
    """A running moto server (see `start`)."""

    def __init__(self, process, port, log_file):
        self.process = process
        self.port = port
        self.endpoint = f"http://127.0.0.1:{port}"
        self._log_file = log_file

    def _call(self, method, path, data=None):
        # text/plain: moto reads the raw body, which a form content type would consume
        request = urllib.request.Request(self.endpoint + path, data=data, method=method,
                                         headers={"Content-Type": "text/plain"})
        with urllib.request.urlopen(request, timeout=30) as response:
            return json.loads(response.read() or b"null")

    def request_counts(self):
        """Requests received since start or the last reset: {service: {action: count}},
        for example {"sts": {"AssumeRole": 2}, "ec2": {"DescribeVpcs": 4}}."""
        return self._call("GET", _COUNTS_PATH)

    def count(self, service, action=None):
        """Requests received for one service, or for one action of it."""
        actions = self.request_counts().get(service, {})
        return sum(actions.values()) if action is None else actions.get(action, 0)

    def reset_counts(self):
        self._call("DELETE", _COUNTS_PATH)

    def set_latency(self, milliseconds):
        """From now on answer every AWS request `milliseconds` late (0: at once)."""
        return self._call("PUT", _LATENCY_PATH, data=str(milliseconds).encode())

    def set_faults(self, fail=(), throttle=0.0):
        """From now on fail the requests that match a rule of `fail` ({"account", "region", "action":
        any left out matches all; "code", "message", "status"}) with that AWS error, and a share
        `throttle` of the others with throttling. Returns the faults and the counts so far."""
        body = json.dumps({"fail": list(fail), "throttle": throttle}).encode()
        return self._call("PUT", _FAULTS_PATH, data=body)

    def faults(self):
        """The faults and how many requests were failed and throttled since they were set."""
        return self._call("GET", _FAULTS_PATH)

    def enforce_auth(self):
        """From now on refuse every request not signed with credentials that
        moto knows: the fake base credentials then fail, AssumeRole included."""
        self._call("POST", "/moto-api/reset-auth", data=b"0")

    def env(self):
        """`client_env` of this sandbox."""
        return client_env(self.endpoint)

    def log(self):
        """What the server wrote to its standard error."""
        self._log_file.flush()
        return Path(self._log_file.name).read_text(encoding="utf-8", errors="replace")

    def stop(self):
        stop_process(self.process, timeout=15)
        if not self._log_file.closed:
            self._log_file.close()
            Path(self._log_file.name).unlink(missing_ok=True)

    def __enter__(self):
        return self

    def __exit__(self, *exc_info):
        self.stop()


def start(port=0, enforce_auth=False, keep_default_vpcs=False, timeout=120, latency_ms=None):
    """Start moto's server on 127.0.0.1 (port 0: any free port) and wait until it answers.

    `latency_ms`: every AWS request is answered that many milliseconds late (None: as
    SANDBOX_AWS_LATENCY_MS of the environment says, else at once).

    With `enforce_auth` the server refuses unsigned or unknown credentials from
    its first request on (moto's INITIAL_NO_AUTH_ACTION_COUNT=0); such a
    server cannot be seeded: seed first, then call `enforce_auth()`.
    Returns an `AwsSandbox`.
    """
    env = dict(os.environ)
    env.pop("AWS_ENDPOINT_URL", None)
    # Nothing here asks for machine images; moto's catalogue of them slows every region's set-up.
    env.setdefault("MOTO_EC2_LOAD_DEFAULT_AMIS", "false")
    if enforce_auth:
        env["INITIAL_NO_AUTH_ACTION_COUNT"] = "0"
    else:
        env.pop("INITIAL_NO_AUTH_ACTION_COUNT", None)
    # The server watches its standard input, whose other end only this process holds: it
    # stops when this process ends, even if killed before it could stop the server.
    command = [sys.executable, str(_SERVER_SCRIPT), "--port", str(port), "--until-stdin-closes"]
    if latency_ms is not None:
        command += ["--latency-ms", str(latency_ms)]
    if keep_default_vpcs:
        command.append("--keep-default-vpcs")
    log_file = tempfile.NamedTemporaryFile("w+", prefix="moto-sandbox-", suffix=".log", delete=False)
    process = subprocess.Popen(command, stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=log_file, env=env,
                               text=True)
    sandbox = None
    try:
        bound_port = _read_port(process, timeout)
        sandbox = AwsSandbox(process, bound_port, log_file)
        _wait_until_answering(sandbox, timeout)
        return sandbox
    except BaseException as err:
        log_file.flush()
        detail = Path(log_file.name).read_text(errors="replace")[-2000:]
        if sandbox is None:
            sandbox = AwsSandbox(process, 0, log_file)
        sandbox.stop()
        if isinstance(err, Exception):
            raise RuntimeError(f"the moto server did not start: {err}\n{detail}") from err
        raise


def _read_port(process, timeout):
    selector = selectors.DefaultSelector()
    selector.register(process.stdout, selectors.EVENT_READ)
    try:
        if not selector.select(timeout):
            raise TimeoutError(f"no port announced within {timeout} s")
    finally:
        selector.close()
    line = process.stdout.readline().strip()
    if not line.isdigit():
        raise RuntimeError(f"exited with status {process.wait()}" if not line else f"said {line!r}")
    return int(line)


def _wait_until_answering(sandbox, timeout):
    deadline = time.monotonic() + timeout
    while True:
        try:
            sandbox.request_counts()
            return
        except (urllib.error.URLError, ConnectionError):
            if sandbox.process.poll() is not None or time.monotonic() > deadline:
                raise
            time.sleep(0.05)


def _client(service, endpoint, region, credentials=None, session=False):
    import boto3
    import boto3.session

    keys = {"aws_access_key_id": FAKE_ACCESS_KEY_ID, "aws_secret_access_key": FAKE_SECRET_ACCESS_KEY}
    if credentials is not None:
        keys = {
            "aws_access_key_id": credentials["AccessKeyId"],
            "aws_secret_access_key": credentials["SecretAccessKey"],
            "aws_session_token": credentials["SessionToken"],
        }
    # A session of its own for a client made on a worker thread: the default one is not thread-safe.
    maker = boto3.session.Session() if session else boto3
    return maker.client(service, endpoint_url=endpoint, region_name=region, **keys)


def _remove_default_vpcs(ec2):
    vpcs = ec2.describe_vpcs(Filters=[{"Name": "is-default", "Values": ["true"]}])["Vpcs"]
    for vpc in vpcs:
        subnets = ec2.describe_subnets(Filters=[{"Name": "vpc-id", "Values": [vpc["VpcId"]]}])["Subnets"]
        for subnet in subnets:
            ec2.delete_subnet(SubnetId=subnet["SubnetId"])
        ec2.delete_vpc(VpcId=vpc["VpcId"])


def _check_estate(estate):
    if not isinstance(estate, dict):
        raise ValueError("an estate maps account IDs to regions to lists of VPCs")
    for account_id, regions in estate.items():
        if not (isinstance(account_id, str) and _ACCOUNT_ID.fullmatch(account_id)):
            raise ValueError(f"estate: {account_id!r} is not a 12-digit account ID")
        if not isinstance(regions, dict):
            raise ValueError(f"estate: account {account_id} must map regions to lists of VPCs")
        for region, vpcs in regions.items():
            if not isinstance(vpcs, list):
                raise ValueError(f"estate: {account_id}/{region} must be a list of VPCs")
            for number, vpc in enumerate(vpcs):
                where = f"estate: {account_id}/{region} VPC {number}"
                if not isinstance(vpc, dict) or not isinstance(vpc.get("cidr"), str):
                    raise ValueError(f"{where} needs a \"cidr\" text")
                unknown = set(vpc) - {"cidr", "name", "subnets", "secondary", "disassociated", "shared_with"}
                if unknown:
                    raise ValueError(f"{where} has unknown keys {sorted(unknown)}")
                for key in ("subnets", "secondary", "disassociated"):
                    if not isinstance(vpc.get(key, []), list):
                        raise ValueError(f"{where}: \"{key}\" must be a list of CIDR texts")
                for participant, shared in vpc.get("shared_with", {}).items():
                    if participant not in estate or not set(shared) <= set(vpc.get("subnets", [])):
                        raise ValueError(f"{where}: \"shared_with\" maps accounts of the estate to some of "
                                         f"the VPC's subnets")


def generated_estate(accounts, regions, vpcs, subnets):
    """An estate of `accounts` accounts, each with the same `regions` regions, each with `vpcs`
    VPCs (10.<n>.0.0/16, every other one named) of `subnets` /24 subnets each."""
    if not 1 <= regions <= len(_REGIONS):
        raise ValueError(f"a generated estate has 1 to {len(_REGIONS)} regions")
    if not (0 <= vpcs <= 256 and 0 <= subnets <= 256 and accounts >= 0):
        raise ValueError("a generated estate has at most 256 VPCs per region and 256 subnets per VPC")
    region_vpcs = [
        {"cidr": f"10.{n}.0.0/16", "name": f"vpc {n}" if n % 2 else None,
         "subnets": [f"10.{n}.{s}.0/24" for s in range(subnets)]}
        for n in range(vpcs)
    ]
    return {f"{100000000000 + a:012d}": {region: region_vpcs for region in _REGIONS[:regions]}
            for a in range(accounts)}


def seed(endpoint, estate, role_name=SEED_ROLE, jobs=8):
    """Create the VPCs of `estate` in their accounts and regions.

    `estate`: {account_id: {region: [{"cidr": "10.0.0.0/16", "name": "prod web"
    or None, "subnets": ["10.0.0.0/24", ...]}, ...]}}. "name" None (or absent)
    gives no tags; any text, the empty text included, a "Name" tag. Optional:
    "secondary": more IPv4 blocks associated with the VPC, in this order;
    "disassociated": blocks associated and then disassociated (AWS lists them
    in state "disassociated" for a while); "shared_with": {participant account:
    [subnet CIDRs]}, those subnets shared with that account of the estate as
    AWS RAM shares them (see sandbox.sharing). For each
    account it assumes arn:aws:iam::<account>:role/<role_name> with the fake
    base credentials, and works with the credentials returned, so the VPCs
    belong to that account. `endpoint` None uses boto3's own endpoints (for
    moto's in-process mock). Default VPCs of the seeded regions are removed.
    Regions are seeded `jobs` at a time.

    Returns {account_id: {region: [vpc_id, ...]}} in creation order.
    """
    _check_estate(estate)
    sts = _client("sts", endpoint, DEFAULT_REGION)
    credentials = {
        account_id: sts.assume_role(
            RoleArn=f"arn:aws:iam::{account_id}:role/{role_name}", RoleSessionName="sandbox-seed"
        )["Credentials"]
        for account_id in estate
    }

    def seed_region(account_id, region, vpcs):
        ec2 = _client("ec2", endpoint, region, credentials[account_id], session=True)
        _remove_default_vpcs(ec2)
        ids = []
        for vpc in vpcs:
            request = {"CidrBlock": vpc["cidr"]}
            if vpc.get("name") is not None:
                request["TagSpecifications"] = [
                    {"ResourceType": "vpc", "Tags": [{"Key": "Name", "Value": vpc["name"]}]}
                ]
            vpc_id = ec2.create_vpc(**request)["Vpc"]["VpcId"]
            gone = [ec2.associate_vpc_cidr_block(VpcId=vpc_id, CidrBlock=block)["CidrBlockAssociation"]
                    for block in vpc.get("disassociated", [])]
            for block in vpc.get("secondary", []):
                ec2.associate_vpc_cidr_block(VpcId=vpc_id, CidrBlock=block)
            for association in gone:
                ec2.disassociate_vpc_cidr_block(AssociationId=association["AssociationId"])
            subnet_ids = {}
            for subnet in vpc.get("subnets", []):
                subnet_ids[subnet] = ec2.create_subnet(VpcId=vpc_id, CidrBlock=subnet)["Subnet"]["SubnetId"]
            for participant, shared in vpc.get("shared_with", {}).items():
                shares.append({"owner": account_id, "region": region, "vpc_id": vpc_id, "participant": participant,
                               "subnet_ids": [subnet_ids[subnet] for subnet in shared]})
            ids.append(vpc_id)
        return ids

    shares = []  # list.append is atomic: the regions' workers add to it at once

    with concurrent.futures.ThreadPoolExecutor(max_workers=jobs) as pool:
        futures = {account_id: {region: pool.submit(seed_region, account_id, region, vpcs)
                                for region, vpcs in regions.items()}
                   for account_id, regions in estate.items()}
    ids = {account_id: {region: future.result() for region, future in regions.items()}
           for account_id, regions in futures.items()}
    if shares and endpoint is None:
        for entry in shares:
            sharing.share(**entry)
    elif shares:
        request = urllib.request.Request(endpoint + _SHARES_PATH, data=json.dumps(shares).encode(), method="PUT",
                                         headers={"Content-Type": "text/plain"})
        with urllib.request.urlopen(request, timeout=30):
            pass
    return ids


def main(argv=None):
    parser = argparse.ArgumentParser(
        prog="python -m sandbox.aws",
        description="Serve a seeded AWS (moto) on 127.0.0.1 until interrupted.",
    )
    shape = parser.add_mutually_exclusive_group(required=True)
    shape.add_argument("--estate", type=Path,
                       help="JSON file: {account_id: {region: [{cidr, name, subnets}, ...]}}")
    shape.add_argument("--generate", type=_shape, metavar="AxRxVxS",
                       help="a generated estate: A accounts x R regions x V VPCs x S subnets, e.g. 10x3x20x4")
    parser.add_argument("--port", type=int, default=0, help="port to listen on (default: any free port)")
    parser.add_argument("--latency-ms", type=float, default=None,
                        help="answer every AWS request that many milliseconds late, once seeded "
                             "(default: $SANDBOX_AWS_LATENCY_MS, else 0)")
    parser.add_argument("--enforce-auth", action="store_true",
                        help="after seeding, refuse credentials that moto does not know (role assumption fails)")
    args = parser.parse_args(argv)
    try:
        estate = generated_estate(*args.generate) if args.generate else json.loads(args.estate.read_text("utf-8"))
        _check_estate(estate)
    except (OSError, ValueError) as err:
        parser.error(f"{args.estate or '--generate'}: {err}")
    with start(port=args.port, latency_ms=0) as aws:
        ids = seed(aws.endpoint, estate)
        latency = args.latency_ms if args.latency_ms is not None else os.environ.get("SANDBOX_AWS_LATENCY_MS", 0)
        aws.set_latency(latency)
        if args.enforce_auth:
            aws.enforce_auth()
        print(aws.endpoint, flush=True)
        print(json.dumps(ids), file=sys.stderr, flush=True)
        print(f"AWS sandbox serving {aws.endpoint}; Ctrl-C stops it", file=sys.stderr, flush=True)
        try:
            while aws.process.poll() is None:
                time.sleep(0.2)
        except KeyboardInterrupt:
            pass
    return 0


def _shape(text):
    try:
        numbers = [int(part) for part in text.lower().split("x")]
    except ValueError:
        numbers = []
    if len(numbers) != 4:
        raise argparse.ArgumentTypeError(f"{text!r} is not AxRxVxS, such as 10x3x20x4")
    return numbers


if __name__ == "__main__":
    sys.exit(main())
