"""The walk over accounts and regions: the same artefacts and log whatever the number of
workers, a request per region, the first failure in configuration order, regions closed
by policy, narrow VPCs and the retry settings of the AWS clients (moto in-process)."""
import io
import logging
import socket
import sys
import threading
import time

import boto3
import botocore.exceptions
import openpyxl
import pytest
import yaml

import generator.generate as gen
from tests.moto_support import handle, new_vpc

# Whole walks over a three-account, two-region estate, several with many workers: seconds each.
pytestmark = pytest.mark.slow

A, B, C = "111111111111", "222222222222", "333333333333"
R1, R2 = "eu-west-1", "us-west-2"
NAMES = [{"account_number": A, "account_name": "prod"}, {"account_number": C, "account_name": "dev"}]


def write_config(folder, accounts=(A, B, C), regions=(R1, R2), **defaults):
    path = folder / "config.yaml"
    path.write_text(yaml.safe_dump({
        "account_ids": list(accounts),
        "aws_regions": list(regions),
        "controller": {"ip": "127.0.0.1:1", "username": "admin"},
        "defaults": {"role_name": "corvane-migration", "hpe": False, "transit_gw_name": "tgw", **defaults},
    }, sort_keys=False))
    return path


@pytest.fixture
def estate(aws):
    """Three accounts, two regions: named, unnamed, full and /28 VPCs, an IPv6-only subnet, empty regions."""
    ec2 = {(acc, region): handle(acc, region, clear_default=True) for acc in (A, B, C) for region in (R1, R2)}
    for n in range(4):
        new_vpc(ec2[A, R1], f"10.{n}.0.0/16", name=f"web {n}" if n % 2 else None,
                subnets=[f"10.{n}.{s}.0/24" for s in range(n + 1)])
    new_vpc(ec2[A, R2], "10.9.0.0/24", name="full", subnets=["10.9.0.0/25", "10.9.0.128/25"])
    tiny = new_vpc(ec2[B, R2], "10.8.0.0/28", name="tiny")
    dual = new_vpc(ec2[C, R1], "10.7.0.0/24", subnets=["10.7.0.0/27"], ipv6=True)
    block = dual.ipv6_cidr_block_association_set[0]["Ipv6CidrBlock"].replace("/56", "/64")
    ec2[C, R1].meta.client.create_subnet(VpcId=dual.id, Ipv6CidrBlock=block, Ipv6Native=True)
    return {"tiny": tiny, "dual": dual}


def run_main(monkeypatch, folder, *args):
    logins = []
    monkeypatch.setattr(gen, "get_account_list", lambda config: logins.append(config) or NAMES)
    monkeypatch.setattr(sys, "argv", ["generate", "-c", str(folder / "config.yaml"), *map(str, args)])
    gen.main()
    return logins


def records(caplog):
    """What a record says, apart from its time and thread, the seconds of the summary and the
    random temporary names the files are written under before they take their place."""
    out = []
    for r in caplog.records:
        args = r.args[1:] if r.msg.startswith("Walk done in ") else r.args
        args = tuple("<temporary>" if str(a).startswith(".~") else a for a in args) if isinstance(args, tuple) else args
        out.append((r.name, r.levelname, r.funcName, r.msg, args))
    return out


def test_same_artefacts_and_log_whatever_the_workers(tmp_path, estate, monkeypatch, caplog, aws_calls):
    write_config(tmp_path)
    runs = {}
    for jobs in (1, 8):
        caplog.clear()
        caplog.set_level(logging.DEBUG, logger="generator")
        aws_calls.calls.clear()
        folder = tmp_path / f"jobs{jobs}"
        folder.mkdir()
        monkeypatch.chdir(folder)  # the same names in both runs' records
        logins = run_main(monkeypatch, tmp_path, "-e", "out.xlsx", "-d", "out.yaml", "-j", jobs)
        assert len(logins) == 1
        sheet = [[c.value for c in row] for row in openpyxl.load_workbook(folder / "out.xlsx").active.iter_rows()]
        runs[jobs] = (sheet, (folder / "out.yaml").read_bytes(), records(caplog), sorted(aws_calls.calls))

    assert runs[1] == runs[8]
    sheet, inventory, log, calls = runs[1]
    # a role per account, at the STS of its first region; per (account, region) one VPC listing, one
    # subnet listing where there are VPCs
    assert calls == sorted(
        [(acc, R1, "AssumeRole") for acc in (A, B, C)]
        + [(acc, region, "DescribeVpcs") for acc in (A, B, C) for region in (R1, R2)]
        + [(A, R1, "DescribeSubnets"), (A, R2, "DescribeSubnets"), (B, R2, "DescribeSubnets"),
           (C, R1, "DescribeSubnets")]
    )
    rows = [dict(zip(gen.HEADERS, values)) for values in sheet[1:]]
    assert [(r["account_id"], r["account_name"], r["region"], r["crvn_cidr"]) for r in rows] == [
        (A, "prod", R1, "10.0.1.0/27"),
        (A, "prod", R1, "10.1.2.0/27"),
        (A, "prod", R1, "10.2.3.0/27"),
        (A, "prod", R1, "10.3.4.0/27"),
        (A, "prod", R2, None),  # full
        (B, None, R2, None),  # a /28 cannot hold a /27: warned, left empty, and the walk goes on
        (C, "dev", R1, "10.7.0.32/27"),  # the IPv6-only subnet takes no IPv4 room
    ]
    assert [r["spoke_gw_name"] for r in rows if r["region"] == R2] == ["full-CRVGW", "tiny-CRVGW"]
    accounts = yaml.safe_load(inventory)["account_info"]
    assert [[(r["region"], [v["crvn_cidr"] for v in r["vpcs"]]) for r in a["regions"]] for a in accounts] == [
        [(R1, ["10.0.1.0/27", "10.1.2.0/27", "10.2.3.0/27", "10.3.4.0/27"]), (R2, [""])],
        [(R1, []), (R2, [""])],
        [(R1, ["10.7.0.32/27"]), (R2, [])],
    ]
    warnings = [(msg % args) for _, level, _, msg, args in log if level == "WARNING"]
    assert (f"Could not compute crvn_cidr for vpc '{estate['tiny'].id}': its block 10.8.0.0/28 is narrower than a "
            "/27 block") in warnings
    info = [(msg, args) for _, level, _, msg, args in log if level == "INFO"]
    summary = [args for msg, args in info if msg.startswith("Walk done in ")]
    assert summary == [(3, 6, 7, 2, 0)]  # accounts, regions, VPCs, without a free block, skipped
    assert info[-4:-2] == [("Coverage: %s ok, %s skipped, %s failed of %s account-regions", (6, 0, 0, 6)),
                           ("Overlaps: none", ())]


@pytest.mark.parametrize("jobs", [1, 8])
def test_first_failure_in_configuration_order_wins(tmp_path, estate, monkeypatch, caplog, aws_calls, jobs):
    write_config(tmp_path)
    # B's failure comes later in time than C's, but first in configuration order
    aws_calls.answer("DescribeVpcs", code="AuthFailure", account=B, region=R2, delay=0.5)
    aws_calls.answer("AssumeRole", code="AccessDenied", account=C)
    (tmp_path / "out.yaml").write_text("old\n")
    caplog.set_level(logging.INFO, logger="generator")
    with pytest.raises(botocore.exceptions.ClientError) as err:
        run_main(monkeypatch, tmp_path, "-e", tmp_path / "out.xlsx", "-d", tmp_path / "out.yaml", "-j", jobs)
    assert str(err.value) == (f"account {B}, region {R2}: An error occurred (AuthFailure) when calling the "
                              f"DescribeVpcs operation: DescribeVpcs refused in {R2}")
    walked = [r.getMessage() for r in caplog.records if r.getMessage().startswith("Discovering")]
    assert walked == [f"Discovering info for account {A}", f"Discovering info for account {B}"]
    assert (tmp_path / "out.yaml").read_text() == "old\n" and not (tmp_path / "out.xlsx").exists()


@pytest.mark.parametrize("code", ["UnauthorizedOperation", "AuthFailure", "AccessDenied", "OptInRequired"])
def test_region_closed_by_policy(tmp_path, estate, monkeypatch, caplog, aws_calls, code):
    aws_calls.answer("DescribeRegions", {"Regions": [{"RegionName": R1}, {"RegionName": R2}]})
    aws_calls.answer("DescribeVpcs", code=code, region=R2)
    caplog.set_level(logging.INFO, logger="generator")

    # discovered: skipped with a warning, the rest walked
    write_config(tmp_path, accounts=(A,), regions=())
    run_main(monkeypatch, tmp_path, "-d", tmp_path / "out.yaml")
    [warning] = [r for r in caplog.records if r.levelname == "WARNING"]
    assert warning.getMessage() == f"Skipping region {R2} of account {A}: its EC2 requests are refused ({code})"
    [entry] = yaml.safe_load((tmp_path / "out.yaml").read_text())["account_info"]
    assert [r["region"] for r in entry["regions"]] == [R1] and len(entry["regions"][0]["vpcs"]) == 4
    assert caplog.records[-4].getMessage().endswith(" regions 1, VPCs 4, VPCs without a free block 0, regions skipped 1")
    assert caplog.records[-3].getMessage() == "Coverage: 1 ok, 1 skipped, 0 failed of 2 account-regions"
    assert caplog.records[-2].getMessage() == "Overlaps: none"

    # named in the configuration: the refusal ends the run
    write_config(tmp_path, accounts=(A,), regions=(R1, R2))
    with pytest.raises(botocore.exceptions.ClientError, match=rf"^account {A}, region {R2}: .*\({code}\)"):
        run_main(monkeypatch, tmp_path, "-d", tmp_path / "other.yaml")
    assert not (tmp_path / "other.yaml").exists()


def test_other_errors_of_a_discovered_region_end_the_run(tmp_path, estate, monkeypatch, aws_calls):
    aws_calls.answer("DescribeRegions", {"Regions": [{"RegionName": R1}]})
    aws_calls.answer("DescribeSubnets", code="InvalidParameterValue", region=R1)
    write_config(tmp_path, accounts=(A,), regions=())
    with pytest.raises(botocore.exceptions.ClientError, match=rf"^account {A}, region {R1}: .*DescribeSubnets"):
        run_main(monkeypatch, tmp_path, "-e", tmp_path / "out.xlsx")


@pytest.mark.parametrize(
    "env, profile, expected",
    [
        ({}, "", {"mode": "standard", "total_max_attempts": 10}),
        ({"AWS_MAX_ATTEMPTS": "3"}, "", {"mode": "standard", "total_max_attempts": 3}),
        ({"AWS_RETRY_MODE": "adaptive"}, "", {"mode": "adaptive", "total_max_attempts": 10}),
        ({}, "retry_mode = legacy\nmax_attempts = 5\n", {"mode": "legacy", "total_max_attempts": 5}),
    ],
)
def test_retry_settings_of_the_user_hold(tmp_path, estate, monkeypatch, aws_calls, env, profile, expected):
    (tmp_path / "aws-config").write_text("[default]\n" + profile)
    monkeypatch.setenv("AWS_CONFIG_FILE", str(tmp_path / "aws-config"))
    for name in ("AWS_RETRY_MODE", "AWS_MAX_ATTEMPTS"):
        monkeypatch.delenv(name, raising=False)
    for name, value in env.items():
        monkeypatch.setenv(name, value)
    monkeypatch.setattr(boto3, "DEFAULT_SESSION", None)  # made before: it read the settings of then
    write_config(tmp_path, accounts=(A,), regions=(R1,))
    run_main(monkeypatch, tmp_path, "-e", tmp_path / "out.xlsx")
    assert len(aws_calls.clients) == 2  # STS and EC2 of the walk
    assert [c.meta.config.retries for c in aws_calls.clients] == [expected, expected]
    assert gen.get_ec2_resource_handler(R1, {"AccessKeyId": "k", "SecretAccessKey": "s", "SessionToken": "t"}) \
        .meta.client.meta.config.retries == expected


class Terminal(io.StringIO):
    def isatty(self):
        return True


@pytest.mark.parametrize("quiet", [False, True])
def test_progress_line_only_on_a_terminal_without_q(tmp_path, aws, monkeypatch, aws_calls, quiet):
    terminal = Terminal()
    monkeypatch.setattr(sys, "stderr", terminal)
    logger = logging.getLogger("generator")  # its one handler on standard error, as the launcher sets it up
    monkeypatch.setattr(logger, "handlers", [logging.StreamHandler(terminal)])
    monkeypatch.setattr(logger, "level", logger.level)  # given back afterwards
    logger.setLevel(logging.WARNING if quiet else logging.INFO)
    aws_calls.answer("DescribeVpcs", {"Vpcs": []}, delay=0.6)  # slow enough for the line to be drawn
    write_config(tmp_path, accounts=(A, B), regions=(R1,))
    run_main(monkeypatch, tmp_path, "-e", tmp_path / "out.xlsx", "-j", "1")

    text = terminal.getvalue()
    assert ("/2 accounts, 0 VPCs found [00:0" in text) is not quiet
    for message in (f"Discovering info for account {A}", f"Discovering info for account {B}",
                    f"Exporting accounts to tandrel excel: {tmp_path / 'out.xlsx'}"):
        # every log line whole, on a line of its own, never cut by the progress line
        assert (f"\n{message}\n" in text or f"\r{message}\n" in text or text.startswith(message)) is not quiet


TIMEOUT = botocore.exceptions.ReadTimeoutError(endpoint_url="https://ec2.eu-west-1.amazonaws.com/")
FAILURES = {
    # kind: (AwsCalls.answer arguments, discovered regions, ledger (account, region, state, code), error without -k)
    "role refused": (dict(operation="AssumeRole", code="AccessDenied", account=B), False,
                     [(A, R1, "ok", ""), (A, R2, "ok", ""), (B, "*", "failed", "AccessDenied")], SystemExit),
    "region denied by policy": (dict(operation="DescribeVpcs", code="UnauthorizedOperation", region=R2), True,
                                [(A, R1, "ok", ""), (A, R2, "skipped", "UnauthorizedOperation"), (B, R1, "ok", ""),
                                 (B, R2, "skipped", "UnauthorizedOperation")], None),
    "throttled past retries": (dict(operation="DescribeSubnets", code="Throttling", account=B, region=R2), False,
                               [(A, R1, "ok", ""), (A, R2, "ok", ""), (B, R1, "ok", ""),
                                (B, R2, "failed", "Throttling")], botocore.exceptions.ClientError),
    "time-out": (dict(operation="DescribeVpcs", error=TIMEOUT, account=B, region=R1), False,
                 [(A, R1, "ok", ""), (A, R2, "ok", ""), (B, R1, "failed", "ReadTimeoutError"), (B, R2, "ok", "")],
                 botocore.exceptions.ReadTimeoutError),
    "unexpected error": (dict(operation="DescribeVpcs", error=RuntimeError("boom"), account=A, region=R2), False,
                         [(A, R1, "ok", ""), (A, R2, "failed", "RuntimeError"), (B, R1, "ok", ""), (B, R2, "ok", "")],
                         RuntimeError),
}


@pytest.mark.parametrize("keep_going", [False, True], ids=["stop", "keep going"])
@pytest.mark.parametrize("kind", list(FAILURES))
def test_coverage_ledger(tmp_path, estate, monkeypatch, caplog, capsys, aws_calls, kind, keep_going):
    fault, discovered, ledger, error = FAILURES[kind]
    aws_calls.answer(**fault)
    if discovered:
        aws_calls.answer("DescribeRegions", {"Regions": [{"RegionName": R1}, {"RegionName": R2}]})
    write_config(tmp_path, accounts=(A, B), regions=() if discovered else (R1, R2))
    (tmp_path / "out.yaml").write_text("old\n")
    caplog.set_level(logging.INFO, logger="generator")
    args = ["-e", tmp_path / "out.xlsx", "-d", tmp_path / "out.yaml", *(["-k"] if keep_going else [])]
    failed = [entry for entry in ledger if entry[2] == "failed"]

    if error is not None and not keep_going:  # the first failure ends the run; nothing is written
        with pytest.raises(error) as err:
            run_main(monkeypatch, tmp_path, *args)
        if error is SystemExit:
            assert err.value.code == 1  # the refused role, reported as before
        else:  # an error of any kind says where it happened
            assert str(err.value).startswith(f"account {failed[0][0]}, region {failed[0][1]}: ")
        assert (tmp_path / "out.yaml").read_text() == "old\n" and not (tmp_path / "out.xlsx").exists()
        return
    if failed:  # what was covered is written; status 3 and a last line say something was not
        with pytest.raises(SystemExit) as err:
            run_main(monkeypatch, tmp_path, *args)
        assert err.value.code == 3
        assert capsys.readouterr().err.splitlines()[-1] == (
            f"partial: {len(failed)} of {len(ledger)} account-regions failed; see the Coverage sheet")
    else:
        run_main(monkeypatch, tmp_path, *args)
        assert "partial" not in capsys.readouterr().err

    book = openpyxl.load_workbook(tmp_path / "out.xlsx")
    assert book.sheetnames[1:] == ["Coverage", "Overlaps", "generated"]  # and, hidden, the base of a later refresh
    coverage = [[c.value for c in row] for row in book["Coverage"].iter_rows()]
    assert coverage[0] == ["account_id", "account_name", "region", "state", "vpcs", "error_code", "message", "seconds"]
    assert [(r[0], r[2], r[3], r[5] or "") for r in coverage[1:]] == ledger  # every pair set out to cover, once
    vpcs = {(A, R1): 4, (A, R2): 1, (B, R1): 0, (B, R2): 1}
    assert [r[4] for r in coverage[1:]] == [vpcs[r[0], r[2]] if r[3] == "ok" else None for r in coverage[1:]]
    rows = [dict(zip(gen.HEADERS, [c.value for c in row])) for row in book.worksheets[0].iter_rows(min_row=2)]
    assert len(rows) == sum(vpcs[a, r] for a, r, state, _ in ledger if state == "ok")  # the failed pairs add none
    accounts = yaml.safe_load((tmp_path / "out.yaml").read_text())["account_info"]
    walked = [(a["account_id"], r["region"]) for a in accounts for r in a["regions"]]
    assert walked == [(account, region) for account, region, state, _ in ledger if state == "ok"]
    counts = {state: sum(1 for entry in ledger if entry[2] == state) for state in ("ok", "skipped", "failed")}
    assert [r.getMessage() for r in caplog.records if r.getMessage().startswith("Coverage: ")] == [
        f"Coverage: {counts['ok']} ok, {counts['skipped']} skipped, {counts['failed']} failed of {len(ledger)} "
        "account-regions"]
    assert [r.getMessage().split(":")[0:2] for r in caplog.records if r.getMessage().startswith("Not covered")] == [
        ["Not covered", f" account {account}, region {region}"] for account, region, _, _ in failed]


@pytest.mark.parametrize("outputs", [("-d",), ("-e",), ("-d", "-e")], ids=["inventory", "workbook", "both"])
@pytest.mark.parametrize("failing", [R1, None], ids=["some pairs fail", "every pair fails"])
def test_keep_going_result_line_and_nothing_covered(tmp_path, estate, monkeypatch, capsys, aws_calls, outputs,
                                                    failing):
    """-k writes what was covered and says, even with -qq, that it is partial; when nothing was
    covered it is an error and the files of an earlier run stay as they were."""
    aws_calls.answer("DescribeVpcs", code="AuthFailure", region=failing)
    write_config(tmp_path, accounts=(A, B), regions=(R1, R2))
    files = {"-d": tmp_path / "out.yaml", "-e": tmp_path / "out.xlsx"}
    for path in files.values():
        path.write_bytes(b"good\n")
    args = [item for option in outputs for item in (option, files[option])]
    if failing is None:
        with pytest.raises(RuntimeError, match=r"^no account-region was covered: 4 of 4 failed .*; nothing written$"):
            run_main(monkeypatch, tmp_path, *args, "-k", "-qq")
        assert all(path.read_bytes() == b"good\n" for path in files.values())
        assert sorted(p.name for p in tmp_path.iterdir()) == ["config.yaml", "out.xlsx", "out.yaml"]
        return
    with pytest.raises(SystemExit) as err:
        run_main(monkeypatch, tmp_path, *args, "-k", "-qq")
    assert err.value.code == 3
    assert capsys.readouterr().err == "partial: 2 of 4 account-regions failed" + (
        "; see the Coverage sheet\n" if "-e" in outputs else "\n")
    assert all(path.read_bytes() != b"good\n" for option, path in files.items() if option in outputs)


def test_refresh_keeps_the_vpcs_of_a_region_refused_by_policy(tmp_path, estate, monkeypatch, caplog, aws_calls):
    """A discovered region whose EC2 requests are refused was not looked at: on a refresh its VPCs
    stay in the sheet, marked not re-checked, rather than moving to Removed (and coming back later
    as new rows without the engineer's edits)."""
    aws_calls.answer("DescribeRegions", {"Regions": [{"RegionName": R1}, {"RegionName": R2}]})
    write_config(tmp_path, accounts=(A, B), regions=())
    book_path = tmp_path / "out.xlsx"
    run_main(monkeypatch, tmp_path, "-e", book_path)
    before = [[c.value for c in row] for row in openpyxl.load_workbook(book_path).worksheets[0].iter_rows()]
    assert sum(row[7] == R2 for row in before) == 2  # A's "full" and B's "tiny"

    aws_calls.answer("DescribeVpcs", code="UnauthorizedOperation", region=R2)
    caplog.set_level(logging.INFO, logger="generator")
    run_main(monkeypatch, tmp_path, "-e", book_path, "--refresh")

    book = openpyxl.load_workbook(book_path)
    assert "Removed" not in book.sheetnames
    sheet = book.worksheets[0]
    assert [[c.value for c in row] for row in sheet.iter_rows()] == before
    marked = [row[7].value for row in sheet.iter_rows(min_row=2) if row[0].fill.fgColor.rgb == "00D9D9D9"]
    assert marked == [R2, R2]
    assert caplog.records[-1].getMessage().endswith(" 0 removed, 0 conflicts, 2 not re-checked")


@pytest.fixture
def stalled_ec2(monkeypatch):
    """EC2 at a server on 127.0.0.1 that accepts every connection and never answers; the
    time-outs short so that a test takes seconds. Yields the connections it accepted."""
    server = socket.create_server(("127.0.0.1", 0))
    accepted = []

    def accept():
        while True:
            try:
                accepted.append(server.accept()[0])
            except OSError:  # closed
                return

    threading.Thread(target=accept, daemon=True).start()
    monkeypatch.setenv("AWS_ENDPOINT_URL_EC2", f"http://127.0.0.1:{server.getsockname()[1]}")
    monkeypatch.setattr(gen, "AWS_CONNECT_TIMEOUT", 0.3)
    monkeypatch.setattr(gen, "AWS_READ_TIMEOUT", 0.3)
    yield accepted
    server.close()
    for connection in accepted:
        connection.close()


@pytest.mark.parametrize("attempts, pair_timeout", [(3, 300), (50, 1)], ids=["time-out retries", "pair deadline"])
def test_stalled_endpoint_ends_the_pair_within_seconds(tmp_path, aws, monkeypatch, caplog, stalled_ec2, attempts,
                                                       pair_timeout):
    """An endpoint that takes the connection and never answers: the pair fails after 3 attempts
    (or at its deadline) with its place named, warned about once."""
    monkeypatch.setattr(gen, "AWS_TIMEOUT_ATTEMPTS", attempts)
    write_config(tmp_path, accounts=(A,), regions=(R1,))
    caplog.set_level(logging.WARNING, logger="generator")
    started = time.monotonic()
    error = botocore.exceptions.ReadTimeoutError if attempts == 3 else TimeoutError
    with pytest.raises(error) as err:
        run_main(monkeypatch, tmp_path, "-e", tmp_path / "out.xlsx", "--pair-timeout", pair_timeout)
    assert time.monotonic() - started < 15
    assert str(err.value).startswith(f"account {A}, region {R1}: ")
    if attempts == 3:
        assert len(stalled_ec2) == 3  # tried 3 times in all, not botocore's 10
    else:
        assert str(err.value).endswith("no answer from AWS within the pair time-out of 1 s (--pair-timeout)")
    assert [r.getMessage().split(" (")[0] for r in caplog.records] == [
        f"account {A}, region {R1}: AWS did not answer in time"]  # once, however many retries
    assert not (tmp_path / "out.xlsx").exists()
