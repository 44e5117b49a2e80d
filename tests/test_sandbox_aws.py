"""The seeded AWS sandbox: moto's server on 127.0.0.1, reached through AWS_ENDPOINT_URL."""

import json
import os
import signal
import subprocess
import sys
import time
import urllib.request
from pathlib import Path

import boto3
import pytest
from botocore.exceptions import ClientError
from moto import mock_aws

from sandbox import aws

pytestmark = pytest.mark.slow  # runs in other processes: console scripts, servers

ROOT = Path(__file__).resolve().parent.parent

ESTATE = {
    "111111111111": {
        "us-east-1": [
            {"cidr": "10.0.0.0/16", "name": "prod web", "subnets": ["10.0.0.0/24", "10.0.1.0/24"]},
            {"cidr": "10.1.0.0/24", "name": None, "subnets": []},
        ],
        "eu-west-1": [{"cidr": "10.2.0.0/16", "name": "", "subnets": ["10.2.0.0/25"]}],
    },
    "012345678901": {
        "us-east-1": [{"cidr": "192.168.0.0/16", "name": "dev"}],
        "eu-west-1": [],
    },
}


@pytest.fixture(scope="module")
def seeded():
    with aws.start() as sandbox:
        yield sandbox, aws.seed(sandbox.endpoint, ESTATE)


@pytest.fixture
def sdk_env(seeded, monkeypatch):
    """boto3 in this process pointed at the sandbox the way a subprocess would be."""
    for name in ("AWS_PROFILE", "AWS_SESSION_TOKEN"):
        monkeypatch.delenv(name, raising=False)
    for name, value in seeded[0].env().items():
        monkeypatch.setenv(name, value)


def credentials_for(account_id, role="corvane-migration"):
    return boto3.client("sts").assume_role(
        RoleArn=f"arn:aws:iam::{account_id}:role/{role}", RoleSessionName="AssumeRoleSession1"
    )["Credentials"]


def inventory(account_id, region):
    """(id, cidr, Name tag, subnet CIDRs) of each VPC, as the generate command sees them."""
    creds = credentials_for(account_id)
    ec2 = boto3.resource(
        "ec2", region_name=region, aws_access_key_id=creds["AccessKeyId"],
        aws_secret_access_key=creds["SecretAccessKey"], aws_session_token=creds["SessionToken"],
    )
    found = []
    for vpc in ec2.vpcs.page_size(count=64):
        name = next((tag["Value"] for tag in vpc.tags or [] if tag["Key"] == "Name"), None)
        found.append((vpc.id, vpc.cidr_block, name, sorted(s.cidr_block for s in vpc.subnets.all())))
    return sorted(found)


def expected(ids, account_id, region):
    return sorted(
        (vpc_id, vpc["cidr"], vpc.get("name"), sorted(vpc.get("subnets", [])))
        for vpc_id, vpc in zip(ids[account_id][region], ESTATE[account_id][region])
    )


def test_client_env():
    env = aws.client_env("http://127.0.0.1:5123")
    assert env["AWS_ENDPOINT_URL"] == "http://127.0.0.1:5123"
    assert env["AWS_DEFAULT_REGION"] == "us-east-1"
    assert env["AWS_ACCESS_KEY_ID"] and env["AWS_SECRET_ACCESS_KEY"]


def test_seed_returns_ids_in_creation_order(seeded):
    _, ids = seeded
    assert {account: {region: len(v) for region, v in regions.items()} for account, regions in ids.items()} == {
        "111111111111": {"us-east-1": 2, "eu-west-1": 1},
        "012345678901": {"us-east-1": 1, "eu-west-1": 0},
    }
    assert all(vpc_id.startswith("vpc-") for regions in ids.values() for v in regions.values() for vpc_id in v)


@pytest.mark.parametrize("account_id", ["111111111111", "012345678901"])
@pytest.mark.parametrize("region", ["us-east-1", "eu-west-1"])
def test_vpcs_land_in_their_account_and_region(seeded, sdk_env, account_id, region):
    assert inventory(account_id, region) == expected(seeded[1], account_id, region)


def test_no_default_vpcs_anywhere(seeded, sdk_env):
    assert inventory("111111111111", "ap-southeast-2") == []
    assert inventory("999999999999", "us-east-1") == []


def test_counts_grow_with_requests(seeded, sdk_env):
    sandbox = seeded[0]
    sandbox.reset_counts()
    assert sandbox.request_counts() == {}
    inventory("111111111111", "us-east-1")
    counts = sandbox.request_counts()
    assert counts["sts"] == {"AssumeRole": 1}
    assert counts["ec2"]["DescribeVpcs"] == 1
    assert counts["ec2"]["DescribeSubnets"] == 2  # one per VPC
    inventory("111111111111", "us-east-1")
    assert sandbox.count("ec2", "DescribeVpcs") == 2
    assert sandbox.count("ec2") == 6
    assert sandbox.count("iam") == 0


def test_subprocess_reaches_the_sandbox_through_its_environment(seeded):
    sandbox, ids = seeded
    child = (
        "import boto3, json\n"
        "c = boto3.client('sts').assume_role(RoleArn='arn:aws:iam::012345678901:role/r',"
        " RoleSessionName='AssumeRoleSession1')['Credentials']\n"
        "ec2 = boto3.client('ec2', aws_access_key_id=c['AccessKeyId'],"
        " aws_secret_access_key=c['SecretAccessKey'], aws_session_token=c['SessionToken'])\n"
        "print(json.dumps([v['VpcId'] for v in ec2.describe_vpcs()['Vpcs']]))\n"
    )
    env = {k: v for k, v in os.environ.items() if not k.startswith("AWS_")}
    env.update(sandbox.env())
    result = subprocess.run([sys.executable, "-c", child], env=env, capture_output=True, text=True, timeout=60)
    assert result.returncode == 0, result.stderr
    assert json.loads(result.stdout) == ids["012345678901"]["us-east-1"]


def test_enforced_auth_refuses_the_role(monkeypatch):
    with aws.start(enforce_auth=True) as sandbox:
        for name, value in sandbox.env().items():
            monkeypatch.setenv(name, value)
        with pytest.raises(ClientError) as excinfo:
            credentials_for("111111111111")
        assert excinfo.value.response["Error"]["Code"] == "InvalidClientTokenId"
        with pytest.raises(ClientError):
            aws.seed(sandbox.endpoint, {"111111111111": {"us-east-1": []}})


def test_default_vpcs_kept_on_request_and_removed_by_seeding(monkeypatch):
    with aws.start(keep_default_vpcs=True) as sandbox:
        for name, value in sandbox.env().items():
            monkeypatch.setenv(name, value)
        defaults = inventory("111111111111", "us-west-2")
        assert [cidr for _, cidr, _, _ in defaults] == ["172.31.0.0/16"]
        assert defaults[0][3]  # with its subnets
        ids = aws.seed(sandbox.endpoint, {"111111111111": {"us-west-2": [{"cidr": "10.9.0.0/16"}]}})
        assert inventory("111111111111", "us-west-2") == [(ids["111111111111"]["us-west-2"][0], "10.9.0.0/16", None, [])]


def test_seed_in_process_mock(monkeypatch):
    monkeypatch.delenv("AWS_ENDPOINT_URL", raising=False)
    monkeypatch.setenv("AWS_ACCESS_KEY_ID", "testing")
    monkeypatch.setenv("AWS_SECRET_ACCESS_KEY", "testing")
    monkeypatch.setenv("AWS_DEFAULT_REGION", "us-east-1")
    with mock_aws():
        ids = aws.seed(None, {"222222222222": {"us-east-1": [{"cidr": "10.5.0.0/16", "name": "x"}]}})
        assert inventory("222222222222", "us-east-1") == [(ids["222222222222"]["us-east-1"][0], "10.5.0.0/16", "x", [])]


@pytest.mark.parametrize(
    "estate, detail",
    [
        ([], "maps account IDs"),
        ({"1111": {}}, "12-digit"),
        ({111111111111: {}}, "12-digit"),
        ({"111111111111": []}, "map regions"),
        ({"111111111111": {"us-east-1": {}}}, "list of VPCs"),
        ({"111111111111": {"us-east-1": [{"name": "x"}]}}, "cidr"),
        ({"111111111111": {"us-east-1": [{"cidr": "10.0.0.0/16", "tags": {}}]}}, "unknown keys"),
        ({"111111111111": {"us-east-1": [{"cidr": "10.0.0.0/16", "subnets": "10.0.0.0/24"}]}}, "subnets"),
    ],
)
def test_bad_estates_are_refused_before_any_request(estate, detail):
    with pytest.raises(ValueError, match=detail):
        aws.seed("http://127.0.0.1:9", estate)  # nothing listens there: no request is made


def test_command_line_seeds_serves_and_enforces(tmp_path):
    estate = tmp_path / "estate.json"
    estate.write_text(json.dumps({"111111111111": {"us-east-1": [{"cidr": "10.0.0.0/16", "name": "a"}]}}))
    with subprocess.Popen([sys.executable, "-m", "sandbox.aws", "--estate", str(estate), "--enforce-auth"],
                          cwd=ROOT, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True) as process:
        try:
            endpoint = process.stdout.readline().strip()
            assert endpoint.startswith("http://127.0.0.1:")
            sts = boto3.client("sts", endpoint_url=endpoint, region_name="us-east-1",
                               aws_access_key_id="testing", aws_secret_access_key="testing")
            with pytest.raises(ClientError, match="InvalidClientTokenId"):
                sts.assume_role(RoleArn="arn:aws:iam::111111111111:role/r", RoleSessionName="AssumeRoleSession1")
        finally:
            process.send_signal(signal.SIGINT)
            assert process.wait(timeout=30) == 0
        stderr = process.stderr.read()
    seeded_ids = json.loads(stderr.splitlines()[0])
    assert [vpc_id[:4] for vpc_id in seeded_ids["111111111111"]["us-east-1"]] == ["vpc-"]


def test_command_line_refuses_a_bad_estate(tmp_path):
    estate = tmp_path / "estate.json"
    estate.write_text('{"1": {}}')
    result = subprocess.run([sys.executable, "-m", "sandbox.aws", "--estate", str(estate)],
                            cwd=ROOT, capture_output=True, text=True, timeout=60)
    assert result.returncode == 2
    assert "12-digit" in result.stderr


def _answers(endpoint):
    try:
        urllib.request.urlopen(endpoint + "/_sandbox/requests", timeout=5).close()
        return True
    except OSError:  # refused, reset or timed out: nothing serves there any more
        return False


def test_the_server_ends_with_its_owner_even_when_the_owner_is_killed(tmp_path):
    estate = tmp_path / "estate.json"
    estate.write_text(json.dumps({"111111111111": {"us-east-1": []}}))
    owner = subprocess.Popen([sys.executable, "-m", "sandbox.aws", "--estate", str(estate)],
                             cwd=ROOT, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    try:
        endpoint = owner.stdout.readline().strip()
        assert _answers(endpoint)
    finally:
        owner.kill()  # no chance to stop its server itself
        owner.wait(timeout=30)
        owner.stdout.close()
    deadline = time.monotonic() + 30
    while _answers(endpoint):
        assert time.monotonic() < deadline, "the moto server outlived its owner"
        time.sleep(0.1)


SHARED_ESTATE = {
    "111111111111": {"us-east-1": [
        {"cidr": "10.50.0.0/24", "name": "network", "subnets": ["10.50.0.0/27", "10.50.0.32/27", "10.50.1.0/28"],
         "secondary": ["10.50.1.0/24"], "disassociated": ["10.60.0.0/24"],
         "shared_with": {"222222222222": ["10.50.0.32/27", "10.50.1.0/28"]}},
    ]},
    "222222222222": {"us-east-1": [{"cidr": "10.70.0.0/24", "name": "app"}]},
}


def as_seen_by(account_id):
    """(VPC id, owner, blocks with their state) and the subnets (id, VPC, owner, block) an account sees."""
    creds = credentials_for(account_id)
    ec2 = boto3.client("ec2", region_name="us-east-1", aws_access_key_id=creds["AccessKeyId"],
                       aws_secret_access_key=creds["SecretAccessKey"], aws_session_token=creds["SessionToken"])
    vpcs = sorted((vpc["VpcId"], vpc["OwnerId"],
                   [(a["CidrBlock"], a["CidrBlockState"]["State"]) for a in vpc["CidrBlockAssociationSet"]])
                  for vpc in ec2.describe_vpcs()["Vpcs"])
    subnets = sorted((s["VpcId"], s["OwnerId"], s["CidrBlock"]) for s in ec2.describe_subnets()["Subnets"])
    return vpcs, subnets


@pytest.mark.parametrize("where", ["in-process", "server"])
def test_shared_vpc_as_each_account_sees_it(where, monkeypatch):
    for name in ("AWS_ENDPOINT_URL", "AWS_PROFILE", "AWS_SESSION_TOKEN"):
        monkeypatch.delenv(name, raising=False)
    monkeypatch.setenv("MOTO_EC2_LOAD_DEFAULT_AMIS", "false")
    if where == "server":
        with aws.start() as sandbox:
            for name, value in sandbox.env().items():
                monkeypatch.setenv(name, value)
            ids = aws.seed(sandbox.endpoint, SHARED_ESTATE)
            seen = {account: as_seen_by(account) for account in SHARED_ESTATE}
    else:
        for name, value in aws.client_env(None).items():
            if name != "AWS_ENDPOINT_URL":
                monkeypatch.setenv(name, value)
        with mock_aws():
            try:
                ids = aws.seed(None, SHARED_ESTATE)
                seen = {account: as_seen_by(account) for account in SHARED_ESTATE}
            finally:
                aws.sharing.forget()
    shared, = ids["111111111111"]["us-east-1"]
    app, = ids["222222222222"]["us-east-1"]
    blocks = [("10.50.0.0/24", "associated"), ("10.60.0.0/24", "disassociated"), ("10.50.1.0/24", "associated")]
    owner = ("111111111111", blocks)
    assert seen["111111111111"] == ([(shared, *owner)], [(shared, "111111111111", cidr) for cidr in
                                                          ("10.50.0.0/27", "10.50.0.32/27", "10.50.1.0/28")])
    # The participant lists the owner's VPC with its OwnerId, and only the subnets shared with it.
    assert seen["222222222222"] == (
        sorted([(app, "222222222222", [("10.70.0.0/24", "associated")]), (shared, *owner)]),
        [(shared, "111111111111", "10.50.0.32/27"), (shared, "111111111111", "10.50.1.0/28")])
