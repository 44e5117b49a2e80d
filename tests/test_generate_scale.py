"""The walk at scale, against the synthetic AWS (sandbox/synthetic_aws.py), which checks every
request's signature and answers with the data of the account whose key signed it: reused
clients that never mix accounts, base credentials resolved once, assumed-role credentials
refreshed as they expire, and the log order kept with held records spilled to disk."""
import logging
import pathlib
import resource
import signal
import subprocess
import sys
import time

import openpyxl
import pytest
import yaml

import generator.generate as gen
from sandbox import synthetic_aws
from sandbox.controller import start as start_controller

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


# ------------------------------------------------------------------ --resume and the journal

PAIRS = [(a, r) for a in ESTATE for r in ESTATE[a]]  # in the order the walk takes them
EXTERNAL_ID = "journal-test-external-id"
PASSWORD = "journal-test-password"


def every_sheet(path):
    """Every cell of every sheet (the hidden one too), the Coverage sheet's timings left out."""
    book = openpyxl.load_workbook(path)
    cells = {}
    for sheet in book.worksheets:
        rows = [[c.value for c in row] for row in sheet.iter_rows()]
        if sheet.title == "Coverage":
            at = rows[0].index("seconds")
            rows = [row[:at] + row[at + 1:] for row in rows]
        cells[sheet.title] = rows
    return cells


def outputs_of(folder):
    return every_sheet(folder / "out.xlsx"), (folder / "out.yaml").read_bytes()


def requests_left(reference, journaled_pairs, journaled_accounts):
    """The requests of an uninterrupted run that a run picking up must make again: the regions of
    the pairs not journaled, a role for each account with such a pair, the region list of each
    account not journaled."""
    unfinished = {account for account, region in PAIRS if (account, region) not in journaled_pairs}
    return sorted(
        tuple(r) for r in reference
        if (r[0] in ("DescribeVpcs", "DescribeSubnets") and (r[2], r[1]) not in journaled_pairs)
        or (r[0] == "AssumeRole" and r[2] in unfinished)
        or (r[0] == "DescribeRegions" and r[2] not in journaled_accounts))


@pytest.mark.parametrize("stopped_at, jobs, signal_sent", [
    # the default workers: every other pair finishes while the first waits, and is journaled
    ((A, R1), None, "SIGKILL"),
    # one worker: the accounts first, then their regions in order
    ((B, R3), 1, "SIGTERM"),
    ((C, R3), 1, "SIGKILL"),  # the journal then torn in the middle of a line
])
def test_resume_after_an_interruption_asks_only_for_what_the_journal_lacks(
        tmp_path, synthetic, monkeypatch, caplog, stopped_at, jobs, signal_sent):
    aws = synthetic()
    names = {n["account_number"]: n["account_name"] for n in NAMES}
    with start_controller(names, "admin", PASSWORD) as controller:
        config = write_config(tmp_path)
        text = config.read_text().replace("127.0.0.1:1", controller.address)
        config.write_text(text.replace("transit_gw_name: tgw", f"transit_gw_name: tgw\n  external_id: {EXTERNAL_ID}"))
        monkeypatch.setenv("CORVANE_PASSWORD", PASSWORD)
        reference = tmp_path / "reference"
        reference.mkdir()
        run_main(monkeypatch, tmp_path, "-e", "out.xlsx", "-d", "out.yaml", cwd=reference)
        every_request = aws.requests()

        # the same run, stopped while the pair `stopped_at` waits for AWS
        aws.reset()
        aws.set_faults(delay=[{"account": stopped_at[0], "region": stopped_at[1], "action": "DescribeVpcs",
                               "ms": 4000}])
        journaled_pairs = set(PAIRS[:PAIRS.index(stopped_at)] if jobs == 1 else PAIRS) - {stopped_at}
        journaled_accounts = set(ESTATE)
        journal = tmp_path / "out.xlsx.journal"
        command = [str(pathlib.Path(sys.executable).parent / "generate"), "-c", str(config), "-e", "out.xlsx",
                   "-d", "out.yaml", *(["-j", str(jobs)] if jobs else [])]
        process = subprocess.Popen(command, cwd=tmp_path, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        deadline = time.monotonic() + 60
        while not (journal.exists() and len(journal.read_text().splitlines())
                   == 1 + len(journaled_pairs) + len(journaled_accounts)
                   and ["DescribeVpcs", stopped_at[1], stopped_at[0], None] in aws.requests()):
            assert time.monotonic() < deadline and process.poll() is None, process.stderr.read()
            time.sleep(0.02)
        process.send_signal(getattr(signal, signal_sent))
        _, stderr = process.communicate(timeout=60)
        if signal_sent == "SIGTERM":
            assert process.returncode == 143
            assert ("generate: the account-regions walked so far are kept in out.xlsx.journal: the same command with "
                    "--resume picks up from there") in stderr.splitlines()
        kept = journal.read_text()
        for secret in (synthetic_aws.BASE_SECRET_ACCESS_KEY, synthetic_aws.BASE_ACCESS_KEY_ID, "ASIA", "synthetic-",
                       EXTERNAL_ID, PASSWORD):
            assert secret not in kept
        assert not (tmp_path / "out.xlsx").exists() and not (tmp_path / "out.yaml").exists()
        if stopped_at == (C, R3):
            journal.write_text(kept + '{"account":"333333333333","regi')  # a kill in the middle of a line

        aws.reset()
        aws.set_faults()
        caplog.clear()
        caplog.set_level(logging.INFO, logger="generator")
        run_main(monkeypatch, tmp_path, "-e", "out.xlsx", "-d", "out.yaml", "--resume")
        assert sorted(map(tuple, aws.requests())) == requests_left(every_request, journaled_pairs, journaled_accounts)
        assert outputs_of(tmp_path) == outputs_of(reference)
        assert not journal.exists()
        assert (f"Resuming from out.xlsx.journal: {len(journaled_pairs)} account-regions of {len(journaled_accounts)} "
                "accounts are taken from it, the rest is walked now") in caplog.messages


def test_resume_refuses_another_run_before_any_request_and_retries_what_failed(
        tmp_path, synthetic, monkeypatch, caplog):
    aws = synthetic()
    # the accounts come from the controller: its list can change while the configuration does not
    config = tmp_path / "config.yaml"
    config.write_text(yaml.safe_dump({
        "accounts": {"from": "controller"},
        "controller": {"ip": "127.0.0.1:1", "username": "admin"},
        "defaults": {"role_name": "corvane-migration", "transit_gw_name": "tgw"},
    }, sort_keys=False))
    listed = [dict(n, cloud_type=1) for n in NAMES]
    monkeypatch.setattr(gen, "get_account_list", lambda config: listed)

    def run(folder, *args):
        monkeypatch.setattr(sys, "argv", ["generate", "-c", str(config), *map(str, args)])
        monkeypatch.chdir(folder)
        caplog.clear()
        aws.reset()
        gen.main()

    reference = tmp_path / "reference"
    reference.mkdir()
    run(reference, "-e", "out.xlsx", "-d", "out.yaml")
    every_request = aws.requests()

    # --resume without a journal: said, and everything walked
    (tmp_path / "no-journal").mkdir()
    run(tmp_path / "no-journal", "-e", "out.xlsx", "-d", "out.yaml", "--resume")
    assert [m for m in caplog.messages if "--resume" in m] == [
        f"--resume: out.xlsx.journal does not exist: every account and region is walked"]
    assert sorted(map(tuple, aws.requests())) == sorted(map(tuple, every_request))
    assert outputs_of(tmp_path / "no-journal") == outputs_of(reference)

    # a region that fails ends the run and leaves the journal of what was done
    aws.set_faults(fail=[{"account": C, "region": R3, "action": "DescribeVpcs", "code": "InvalidParameterValue",
                          "status": 400}])
    with pytest.raises(Exception, match="InvalidParameterValue"):
        run(tmp_path, "-e", "out.xlsx", "-d", "out.yaml")
    aws.set_faults()
    journal = tmp_path / "out.xlsx.journal"
    kept = journal.read_bytes()

    original = config.read_text()
    refusals = [
        (lambda: config.write_text(original + "# reviewed\n"), ["-e", "out.xlsx", "-d", "out.yaml"],
         f"another configuration ({config} has changed since)"),
        (lambda: listed.pop(), ["-e", "out.xlsx", "-d", "out.yaml"], "another list of accounts or roles"),
        (None, ["-e", "out.xlsx"], f"other outputs (-e {tmp_path / 'out.xlsx'} -d {tmp_path / 'out.yaml'})"),
        (None, ["-e", "out.xlsx", "-d", "other.yaml"], f"other outputs (-e {tmp_path / 'out.xlsx'} -d {tmp_path / 'out.yaml'})"),
    ]
    for change, outputs, why in refusals:
        if change:
            change()
        with pytest.raises(ValueError) as refused:
            run(tmp_path, *outputs, "--resume")
        assert str(refused.value) == (f"cannot resume from out.xlsx.journal: it was written for {why}; run without "
                                      "--resume to walk everything again")
        assert aws.requests() == []  # before any request to AWS
        assert journal.read_bytes() == kept
        config.write_text(original)
        listed[:] = [dict(n, cloud_type=1) for n in NAMES]

    run(tmp_path, "-e", "out.xlsx", "-d", "out.yaml", "--resume")
    # the pair that failed is asked again, and only it
    assert sorted(map(tuple, aws.requests())) == requests_left(every_request, set(PAIRS) - {(C, R3)}, set(ESTATE))
    assert outputs_of(tmp_path) == outputs_of(reference)
    assert not journal.exists()


def test_a_journal_that_cannot_be_written_costs_only_the_resume(tmp_path, synthetic, monkeypatch, caplog):
    """The journal's disk full half way through: one warning, and the walk and its file are those of
    a run without a journal; no account-region is failed for it."""
    synthetic()
    write_config(tmp_path)
    reference = tmp_path / "reference"
    reference.mkdir()
    run_main(monkeypatch, tmp_path, "-d", "out.yaml", cwd=reference)
    expected = (reference / "out.yaml").read_bytes()
    caplog.set_level(logging.WARNING, logger="generator")
    soft, hard = resource.getrlimit(resource.RLIMIT_FSIZE)
    # Files of this process may not grow past the inventory's size: the journal, which holds
    # more, runs out of room part way (as on a full disk); the inventory still fits.
    resource.setrlimit(resource.RLIMIT_FSIZE, (len(expected) + 200, hard))
    try:
        run_main(monkeypatch, tmp_path, "-d", "out.yaml")
    finally:
        resource.setrlimit(resource.RLIMIT_FSIZE, (soft, hard))
    assert (tmp_path / "out.yaml").read_bytes() == expected
    assert [m for m in caplog.messages if "journal" in m] == [
        "cannot write the journal out.yaml.journal: File too large; the walk goes on, journaling nothing more "
        "(--resume would walk the rest again)"]
    assert sorted(p.name for p in tmp_path.iterdir()) == ["config.yaml", "out.yaml", "reference"]
