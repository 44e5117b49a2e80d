"""The walk at scale, against the synthetic AWS (sandbox/synthetic_aws.py), which checks every
request's signature and answers with the data of the account whose key signed it: reused
clients that never mix accounts, base credentials resolved once, assumed-role credentials
refreshed as they expire, and the log order kept with held records spilled to disk."""
import logging
import sys

import openpyxl
import pytest
import yaml

import generator.generate as gen
from sandbox import synthetic_aws

pytestmark = pytest.mark.slow  # a server process and whole walks

A, B, C = "111111111111", "222222222222", "333333333333"
R1, R2, R3 = "eu-west-1", "us-west-2", "ap-south-1"
NAMES = [{"account_number": a, "account_name": f"name of {a}"} for a in (A, B, C)]


def vpcs(n, name):
    return [{"cidr": f"10.{k}.0.0/16", "name": f"{name} {k}" if k % 2 else None,
             "subnets": [f"10.{k}.{s}.0/24" for s in range(k + 1)]} for k in range(n)]


# Regions are discovered; each account has its own, with VPCs of its own.
ESTATE = {
    A: {R1: vpcs(3, "a1"), R2: vpcs(1, "a2"), R3: []},
    B: {R2: vpcs(2, "b2"), R3: vpcs(1, "b3")},
    C: {R1: [], R3: vpcs(4, "c3")},
}


@pytest.fixture
def synthetic(monkeypatch):
    servers = []

    def start(estate=ESTATE, **options):
        aws = synthetic_aws.start(estate, log=True, **options)
        servers.append(aws)
        for name in ("AWS_PROFILE", "AWS_SESSION_TOKEN", "AWS_RETRY_MODE", "AWS_MAX_ATTEMPTS"):
            monkeypatch.delenv(name, raising=False)
        for name, value in aws.env().items():
            monkeypatch.setenv(name, value)
        return aws

    yield start
    for aws in servers:
        aws.stop()


def write_config(folder, accounts=(A, B, C), regions=()):
    path = folder / "config.yaml"
    path.write_text(yaml.safe_dump({
        "account_ids": list(accounts),
        "aws_regions": list(regions),
        "controller": {"ip": "127.0.0.1:1", "username": "admin"},
        "defaults": {"role_name": "corvane-migration", "transit_gw_name": "tgw"},
    }, sort_keys=False))
    return path


def run_main(monkeypatch, folder, *args, cwd=None):
    monkeypatch.setattr(gen, "get_account_list", lambda config: NAMES)
    monkeypatch.setattr(sys, "argv", ["generate", "-c", str(folder / "config.yaml"), *map(str, args)])
    monkeypatch.chdir(cwd or folder)  # the same names in the records of runs in different folders
    gen.main()


def records(caplog):
    """The command's records (the writers' name temporary files at random)."""
    out = []
    for r in caplog.records:
        if r.name != "generator.generate":
            continue
        args = r.args[1:] if r.msg.startswith("Walk done in ") else r.args
        out.append((r.name, r.levelname, r.funcName, r.msg, args))
    return out


def artefacts(folder):
    sheet = [[c.value for c in row] for row in openpyxl.load_workbook(folder / "out.xlsx").worksheets[0].iter_rows()]
    return sheet, (folder / "out.yaml").read_bytes()


def test_reused_clients_never_mix_accounts_and_change_nothing(tmp_path, synthetic, monkeypatch, caplog):
    aws = synthetic()
    write_config(tmp_path)
    runs = {}
    for jobs in (1, 8):
        folder = tmp_path / f"jobs{jobs}"
        folder.mkdir()
        aws.reset()
        caplog.clear()
        caplog.set_level(logging.DEBUG, logger="generator")
        run_main(monkeypatch, tmp_path, "-e", "out.xlsx", "-d", "out.yaml", "-j", jobs, cwd=folder)
        runs[jobs] = (*artefacts(folder), records(caplog))
        assert sum(1 for r in runs[jobs][2] if r[3] == "Discovering info for account %s") == 3
        requests = aws.requests()
        # every request accepted, and every EC2 request of a region signed by that region's own account
        assert [r for r in requests if r[3] is not None] == []
        ec2 = sorted((action, region, account) for action, region, account, _ in requests if action != "AssumeRole")
        assert ec2 == sorted(
            [("DescribeRegions", "us-east-1", a) for a in (A, B, C)]
            + [("DescribeVpcs", r, a) for a in ESTATE for r in ESTATE[a]]
            + [("DescribeSubnets", r, a) for a in ESTATE for r in ESTATE[a] if ESTATE[a][r]])
        assert sorted(a for action, _, a, _ in requests if action == "AssumeRole") == [A, B, C]
    assert runs[1] == runs[8]
    sheet, inventory, _ = runs[1]
    rows = [dict(zip(gen.HEADERS, values)) for values in sheet[1:]]
    # the VPCs of the synthetic AWS carry the account they were asked with
    found = [(r["account_id"], r["region"], r["spoke_gw_name"]) for r in rows]
    expected = [(a, r, f"{vpc['name']}-CRVGW".replace(" ", "_") if vpc["name"] else None)
                for a in ESTATE for r in ESTATE[a] for vpc in ESTATE[a][r]]
    assert [(a, r) for a, r, _ in found] == [(a, r) for a, r, _ in expected]
    assert [n for _, _, n in found if not n.startswith("vpc-")] == [n for _, _, n in expected if n]
    accounts = yaml.safe_load(inventory)["account_info"]
    assert [[r["region"] for r in a["regions"]] for a in accounts] == [list(ESTATE[a]) for a in ESTATE]


def test_log_order_kept_behind_a_slow_first_unit_with_records_spilled(tmp_path, synthetic, monkeypatch, caplog):
    aws = synthetic()
    write_config(tmp_path)
    runs = {}
    for jobs, in_memory in ((1, 100000), (8, 10)):
        folder = tmp_path / f"jobs{jobs}"
        folder.mkdir()
        # the first region of the first account answers late: every other unit is done long before
        aws.set_faults(delay=[{"account": A, "region": R1, "action": "DescribeVpcs", "ms": 1500}] if jobs > 1 else [])
        monkeypatch.setattr(gen, "_held_log_records", in_memory)
        caplog.clear()
        caplog.set_level(logging.DEBUG, logger="generator")
        run_main(monkeypatch, tmp_path, "-e", "out.xlsx", "-j", jobs, cwd=folder)
        runs[jobs] = records(caplog)
    assert len(runs[1]) > 1000  # with DEBUG, each candidate block of each VPC
    assert runs[1] == runs[8]


def test_base_credentials_resolved_once_for_all_workers(tmp_path, synthetic, monkeypatch):
    aws = synthetic()
    calls = tmp_path / "calls"
    helper = tmp_path / "vault.py"  # a credential_process helper, as a vault or SSO tool would be
    helper.write_text(
        "import json\n"
        f"open({str(calls)!r}, 'a').write('run\\n')\n"
        f"print(json.dumps({{'Version': 1, 'AccessKeyId': {synthetic_aws.BASE_ACCESS_KEY_ID!r}, "
        f"'SecretAccessKey': {synthetic_aws.BASE_SECRET_ACCESS_KEY!r}}}))\n")
    (tmp_path / "aws-config").write_text(f"[profile vault]\ncredential_process = {sys.executable} {helper}\n")
    monkeypatch.setenv("AWS_CONFIG_FILE", str(tmp_path / "aws-config"))
    monkeypatch.setenv("AWS_PROFILE", "vault")
    for name in ("AWS_ACCESS_KEY_ID", "AWS_SECRET_ACCESS_KEY"):
        monkeypatch.delenv(name)
    write_config(tmp_path)
    run_main(monkeypatch, tmp_path, "-e", tmp_path / "out.xlsx")  # the default number of workers
    assert calls.read_text() == "run\n"
    requests = aws.requests()
    assert sorted(r[2] for r in requests if r[0] == "AssumeRole") == [A, B, C]
    assert [r for r in requests if r[3] is not None] == []


def test_assumed_role_credentials_refreshed_before_they_expire(tmp_path, synthetic, monkeypatch):
    # credentials lasting 1.5 s; one worker, each request 150 ms: every account's run outlasts them
    aws = synthetic(latency_ms=150, expiry_s=1.5)
    write_config(tmp_path)
    run_main(monkeypatch, tmp_path, "-d", tmp_path / "out.yaml", "-j", 1)
    requests = aws.requests()
    assert [r for r in requests if r[3] is not None] == []  # none refused as expired
    assumed = [r[2] for r in requests if r[0] == "AssumeRole"]
    assert sorted(set(assumed)) == [A, B, C] and len(assumed) > 3
    accounts = yaml.safe_load((tmp_path / "out.yaml").read_text())["account_info"]
    assert [len(r["vpcs"]) for a in accounts for r in a["regions"]] == [
        len(ESTATE[a][r]) for a in ESTATE for r in ESTATE[a]]
