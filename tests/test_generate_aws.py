"""AWS access, gateway naming and free blocks against moto's in-process AWS."""
import logging
import os
from types import SimpleNamespace

import boto3
import botocore.exceptions
import pytest

import generator.generate as gen
from tests.moto_support import handle, new_vpc

ACCOUNT_A = "111111111111"
ACCOUNT_B = "222222222222"


# ------------------------------------------------------------- role and keys


@pytest.mark.parametrize(
    "account_id, role_name, expected",
    [
        (12, "Ops", "arn:aws:iam::12:role/Ops"),
        ("012345678901", "path/to/Ops", "arn:aws:iam::012345678901:role/path/to/Ops"),
        (ACCOUNT_A, "", f"arn:aws:iam::{ACCOUNT_A}:role/"),
    ],
)
def test_get_role_arn(account_id, role_name, expected, caplog):
    caplog.set_level(logging.DEBUG, logger="generator.generate")
    assert gen.get_role_arn(account_id, role_name) == expected
    assert [r.getMessage() for r in caplog.records] == [
        f"Role ARN for account_id: {account_id}, role_name: {role_name}",
        f"Role ARN: {expected}",
    ]
    assert {r.funcName for r in caplog.records} == {"get_role_arn"}


def test_get_role_arn_needs_a_text_role_name():
    with pytest.raises(TypeError):
        gen.get_role_arn(ACCOUNT_A, None)


def test_temporary_credentials_act_in_the_role_account(aws):
    ec2_a = handle(ACCOUNT_A, "eu-west-1")
    ec2_b = handle(ACCOUNT_B, "eu-west-1")
    vpc = ec2_a.create_vpc(CidrBlock="10.1.0.0/16")
    assert vpc.owner_id == ACCOUNT_A
    assert vpc.id not in [v.id for v in ec2_b.vpcs.all()]
    assert ec2_a.meta.client.meta.region_name == "eu-west-1"


class FakeSts:
    def __init__(self, calls, error=None):
        self.calls, self.error = calls, error

    def assume_role(self, *args, **kwargs):
        self.calls.append(("assume_role", args, kwargs))
        if self.error is not None:
            raise self.error
        return {"Credentials": {"AccessKeyId": "AK", "SecretAccessKey": "SK", "SessionToken": "ST", "Expiration": 0}}


def test_assume_role_call(monkeypatch):
    for name in ("AWS_RETRY_MODE", "AWS_MAX_ATTEMPTS", "AWS_PROFILE"):
        monkeypatch.delenv(name, raising=False)
    monkeypatch.setenv("AWS_CONFIG_FILE", os.devnull)
    calls = []

    def fake_client(*args, **kwargs):
        calls.append(("client", args, kwargs))
        return FakeSts(calls)

    monkeypatch.setattr(boto3, "client", fake_client)
    arn = "arn:aws:iam::111111111111:role/Ops"
    creds = gen.get_temp_creds_for_account(arn)
    gen.get_temp_creds_for_account(arn)
    assert creds == {"AccessKeyId": "AK", "SecretAccessKey": "SK", "SessionToken": "ST", "Expiration": 0}
    assert [(name, args, list(kwargs)) for name, args, kwargs in calls] == [
        ("client", ("sts",), ["config"]),
        ("assume_role", (), ["RoleArn", "RoleSessionName"]),
    ] * 2
    assert calls[1][2] == {"RoleArn": arn, "RoleSessionName": "AssumeRoleSession1"}
    assert calls[0][2]["config"].retries == {"mode": "standard", "total_max_attempts": 10}


@pytest.mark.parametrize(
    "error",
    [
        botocore.exceptions.ClientError(
            {"Error": {"Code": "AccessDenied", "Message": "not allowed to assume Ops"}}, "AssumeRole"
        ),
        botocore.exceptions.NoCredentialsError(),
    ],
    ids=["refused role", "no credentials"],
)
def test_refused_role_goes_to_stderr_and_exits(monkeypatch, capsys, caplog, error):
    monkeypatch.setattr(boto3, "client", lambda *a, **k: FakeSts([], error))
    with pytest.raises(SystemExit) as exit_info:
        gen.get_temp_creds_for_account("arn:aws:iam::111111111111:role/Ops")
    assert exit_info.value.code == 1
    assert capsys.readouterr() == ("", f"generate: error: account 111111111111: {error}\n")
    assert caplog.records == []


def test_interrupt_during_assume_role_is_not_swallowed(monkeypatch, capsys):
    monkeypatch.setattr(boto3, "client", lambda *a, **k: FakeSts([], KeyboardInterrupt()))
    with pytest.raises(KeyboardInterrupt):
        gen.get_temp_creds_for_account("arn:aws:iam::111111111111:role/Ops")
    assert capsys.readouterr().out == ""


def test_sts_client_errors_are_not_caught(monkeypatch):
    def broken_client(*args, **kwargs):
        raise botocore.exceptions.NoRegionError()

    monkeypatch.setattr(boto3, "client", broken_client)
    with pytest.raises(botocore.exceptions.NoRegionError):
        gen.get_temp_creds_for_account("arn:aws:iam::111111111111:role/Ops")


def test_ec2_resource_acts_with_the_temporary_credentials_in_the_region(monkeypatch):
    calls = []
    monkeypatch.setattr(boto3, "resource", lambda *args, **kwargs: calls.append((args, kwargs)) or "handle")
    creds = {"SessionToken": "ST", "AccessKeyId": "AK", "SecretAccessKey": "SK"}
    assert gen.get_ec2_resource_handler("ap-south-1", creds) == "handle"
    [(args, keywords)] = calls
    assert args == ("ec2",)
    assert keywords.pop("config") is not None
    assert keywords == {"region_name": "ap-south-1", "aws_access_key_id": "AK", "aws_secret_access_key": "SK",
                        "aws_session_token": "ST"}


def test_ec2_resource_needs_all_three_keys():
    with pytest.raises(KeyError, match="SessionToken"):
        gen.get_ec2_resource_handler("us-east-1", {"AccessKeyId": "AK", "SecretAccessKey": "SK"})


# ------------------------------------------------------------------- regions


def test_get_regions_from_aws(aws):
    creds = gen.get_temp_creds_for_account(gen.get_role_arn(ACCOUNT_A, "Ops"))
    expected = [r["RegionName"] for r in boto3.client("ec2", region_name="us-east-1").describe_regions()["Regions"]]
    assert gen.get_regions(creds) == expected
    assert "eu-west-1" in expected


@pytest.mark.parametrize("names", [["b-1", "a-1", "b-1"], []])
def test_get_regions_keeps_order_and_asks_us_east_1(monkeypatch, names):
    asked = []
    client = SimpleNamespace(describe_regions=lambda: {"Regions": [{"RegionName": n, "Endpoint": "x"} for n in names]})

    def fake_handler(region, creds):
        asked.append((region, creds))
        return SimpleNamespace(meta=SimpleNamespace(client=client))

    monkeypatch.setattr(gen, "get_ec2_resource_handler", fake_handler)
    assert gen.get_regions({"k": 1}) == names
    assert asked == [("us-east-1", {"k": 1})]


# ------------------------------------------------------- real VPC resources


def test_naming_and_blocks_on_real_vpcs(aws):
    ec2 = handle(ACCOUNT_A, "eu-west-1")
    named = new_vpc(ec2, "10.0.0.0/24", name="prod web tier", subnets=["10.0.0.0/25"])
    unnamed = new_vpc(ec2, "10.9.0.0/16")
    assert gen.get_spoke_gw_name(named) == "prod_web_tier-CRVGW"
    assert gen.get_spoke_gw_name(unnamed) == unnamed.id[:23] + "-CRVGW"
    assert gen.compute_crvn_cidr(named, False) == "10.0.0.128/27"
    assert gen.compute_crvn_cidr(named, True) == "10.0.0.128/25"
    assert gen.compute_crvn_cidr(unnamed, False) == "10.9.0.0/27"


def test_full_vpc_on_real_resources(aws, caplog):
    ec2 = handle(ACCOUNT_B, "us-west-2")
    full = new_vpc(ec2, "10.0.0.0/24", subnets=["10.0.0.0/25", "10.0.0.128/26", "10.0.0.192/26"])
    assert gen.compute_crvn_cidr(full, True) == ""
    assert caplog.records[-1].getMessage() == f"Could not compute crvn_cidr for vpc '{full.id}': No available subnets with prefix 25"


def test_many_subnets_are_all_read(aws):
    ec2 = handle(ACCOUNT_A, "us-east-2")
    blocks = [f"10.4.{i}.0/24" for i in range(150)]
    vpc = new_vpc(ec2, "10.4.0.0/16", subnets=blocks)
    assert gen.compute_crvn_cidr(vpc, False) == "10.4.150.0/27"


def test_ipv6_only_subnet_is_skipped(aws):
    ec2 = handle(ACCOUNT_A, "eu-west-1")
    vpc = new_vpc(ec2, "10.5.0.0/24", subnets=["10.5.0.0/27"], ipv6=True)
    ipv6_block = vpc.ipv6_cidr_block_association_set[0]["Ipv6CidrBlock"].replace("/56", "/64")
    ec2.meta.client.create_subnet(VpcId=vpc.id, Ipv6CidrBlock=ipv6_block, Ipv6Native=True)
    assert None in [s.cidr_block for s in vpc.subnets.all()]
    assert gen.compute_crvn_cidr(vpc, False) == "10.5.0.32/27"


def test_narrow_vpc_is_an_error_naming_it(aws):
    ec2 = handle(ACCOUNT_A, "eu-west-1")
    vpc = new_vpc(ec2, "10.6.0.0/28")
    with pytest.raises(ValueError, match=f"vpc '{vpc.id}'.*narrower than a /27 block"):
        gen.compute_crvn_cidr(vpc, False)
