"""The generate command end to end: console script, password at a real terminal,
the substitute controller over HTTPS and moto's server as AWS."""
import os
import pathlib
import sys

import openpyxl
import pytest
import yaml

import generator.generate as gen
from sandbox import aws as aws_sandbox
from sandbox.controller import start as start_controller
from sandbox.terminal import run_with_password

pytestmark = pytest.mark.slow  # runs in other processes: console scripts, servers

GENERATE = str(pathlib.Path(sys.executable).parent / "generate")
A, B = "111111111111", "222222222222"
PASSWORD = "pa55 word"
ESTATE = {
    A: {
        "us-east-1": [
            {"cidr": "10.0.0.0/16", "name": "prod web", "subnets": ["10.0.0.0/24", "10.0.1.0/24"]},
            {"cidr": "10.1.0.0/24"},
        ],
        "eu-west-1": [{"cidr": "10.2.0.0/24", "name": "full", "subnets": ["10.2.0.0/25", "10.2.0.128/25"]}],
    },
    B: {
        "us-east-1": [{"cidr": "10.3.0.0/20", "name": "", "subnets": ["10.3.0.0/27"]}],
        "eu-west-1": [],
    },
}


@pytest.fixture(scope="module")
def controller():
    with start_controller({A: "prod", B: "shared"}, "admin", PASSWORD) as server:
        yield server


@pytest.fixture(scope="module")
def aws():
    with aws_sandbox.start() as sandbox:
        sandbox.ids = aws_sandbox.seed(sandbox.endpoint, ESTATE)
        yield sandbox


def write_config(folder, controller, accounts=(A, B)):
    path = folder / "config.yaml"
    path.write_text(
        yaml.safe_dump(
            {
                "account_ids": list(accounts),
                "aws_regions": ["us-east-1", "eu-west-1"],
                "controller": {"ip": controller.address, "username": "admin"},
                "defaults": {
                    "role_name": "corvane-migration",
                    "hpe": False,
                    "managed_tgw": True,
                    "encrypt": False,
                    "filter_cidrs": ["10.10.0.0/16", "10.20.0.0/16"],
                    "gw_zones": ["us-east-1a", "us-east-1b"],
                    "transit_gw_name": "tgw 1",
                },
            },
            sort_keys=False,
        )
    )
    return path


def run(folder, endpoint, *args, password=PASSWORD):
    env = {k: v for k, v in os.environ.items() if k not in ("AWS_PROFILE", "AWS_SESSION_TOKEN")}
    env.update(aws_sandbox.client_env(endpoint))
    return run_with_password([GENERATE, *map(str, args)], password, env=env, cwd=folder, timeout=300)


def cells(sheet):
    return [[c.value for c in row] for row in sheet.iter_rows()]


def test_both_artefacts(tmp_path, controller, aws):
    write_config(tmp_path, controller)
    controller.requests.clear()
    aws.reset_counts()
    done = run(tmp_path, aws.endpoint, "-c", "config.yaml", "-e", "out.xlsx", "-d", "out.yaml")

    assert done.returncode == 0, done.stderr
    assert done.prompts == 1  # one login, one walk for both artefacts
    assert done.terminal.count(f"Corvane Controller admin@{controller.address}'s password:") == 1
    assert done.stdout == ""
    assert "InsecureRequestWarning" not in done.stderr
    assert [r["action"] for r in controller.requests] == ["login", "list_accounts"]
    # per account a role; per region one VPC listing and, where there are VPCs, one subnet listing
    assert aws.request_counts() == {"sts": {"AssumeRole": 2}, "ec2": {"DescribeVpcs": 4, "DescribeSubnets": 3}}
    (web, bare), (full,) = aws.ids[A]["us-east-1"], aws.ids[A]["eu-west-1"]
    (unnamed_tag,) = aws.ids[B]["us-east-1"]
    no_block = f"generator.generate:WARNING Could not compute crvn_cidr for vpc '{full}': No available subnets with prefix 27"
    lines = done.stderr.splitlines()
    walk = lines.index(next(line for line in lines if line.startswith("generator.generate:INFO Walk done in ")))
    assert lines[walk].endswith(" s: accounts 2, regions 4, VPCs 4, VPCs without a free block 1, regions skipped 0")
    assert lines[:walk] + lines[walk + 1:] == [
        "generator.generate:INFO Generating minimal tandrel file: out.yaml",
        "generator.generate:INFO Generating Excel file: out.xlsx",
        "generator.generate:INFO Logging in as admin",
        "generator.generate:INFO Getting list of accounts on controller.",
        f"generator.generate:INFO Discovering info for account {A}",
        no_block,
        f"generator.generate:INFO Discovering info for account {B}",
        "generator.generate:INFO Coverage: 4 ok, 0 skipped, 0 failed of 4 account-regions",
        "generator.generate:INFO Overlaps: none",
        "generator.generate:INFO Exporting accounts to tandrel file: out.yaml",
        "generator.generate:INFO Exporting accounts to tandrel excel: out.xlsx",
    ]

    sheet = openpyxl.load_workbook(tmp_path / "out.xlsx").active
    table = cells(sheet)
    assert table[0] == gen.HEADERS
    common = {
        "hpe": False, "managed_tgw": True, "filter_cidrs": "['10.10.0.0/16', '10.20.0.0/16']", "spoke_gw_size": None,
        "role_name": "corvane-migration", "gw_zones": "['us-east-1a', 'us-east-1b']", "spoke_gw_tags": None,
        "domain": None, "encrypt": False, "inspection": None, "spoke_advertisement": None, "spoke_routes": None,
        "transit_gw_name": "tgw 1",
    }
    expected = [
        (A, "prod", "us-east-1", web, "10.0.2.0/27", "prod_web-CRVGW"),
        (A, "prod", "us-east-1", bare, "10.1.0.0/27", bare[:23] + "-CRVGW"),
        (A, "prod", "eu-west-1", full, None, "full-CRVGW"),
        (B, "shared", "us-east-1", unnamed_tag, "10.3.0.32/27", unnamed_tag[:23] + "-CRVGW"),
    ]
    assert len(table) == 1 + len(expected)
    for values, (account, name, region, vpc_id, cidr, gw_name) in zip(table[1:], expected):
        row = dict(zip(gen.HEADERS, values))
        row = {k: (None if v == "" else v) for k, v in row.items()}
        assert row == {**common, "account_id": account, "account_name": name, "region": region, "vpc_id": vpc_id,
                       "crvn_cidr": cidr, "spoke_gw_name": gw_name}
    for row in sheet.iter_rows(min_row=2):
        assert {row[i].data_type for i in (2, 3, 13)} == {"b"}  # hpe, managed_tgw, encrypt
        assert row[0].data_type == "s"  # account IDs keep their digits as text
    widths = [sheet.column_dimensions[openpyxl.utils.get_column_letter(i)].width for i in range(1, 20)]
    assert widths == [20] * 19

    def vpc(vpc_id, cidr, gw_name):
        return (f'    - vpc_id: "{vpc_id}"\n      crvn_cidr: "{cidr}"\n      spoke_gw_name: "{gw_name}"\n'
                f'      transit_gw_name: "tgw 1"\n')

    def account(account_id, name):
        return (f'- account_id: "{account_id}"\n  account_name: "{name}"\n  hpe: false\n  managed_tgw: true\n'
                f'  filter_cidrs:\n  - "10.10.0.0/16"\n  - "10.20.0.0/16"\n  role_name: "corvane-migration"\n'
                f'  regions:\n')

    assert (tmp_path / "out.yaml").read_text() == (
        "account_info:\n"
        + account(A, "prod")
        + '  - region: "us-east-1"\n    vpcs:\n'
        + vpc(web, "10.0.2.0/27", "prod_web-CRVGW")
        + vpc(bare, "10.1.0.0/27", bare[:23] + "-CRVGW")
        + '  - region: "eu-west-1"\n    vpcs:\n'
        + vpc(full, "", "full-CRVGW")
        + account(B, "shared")
        + '  - region: "us-east-1"\n    vpcs:\n'
        + vpc(unnamed_tag, "10.3.0.32/27", unnamed_tag[:23] + "-CRVGW")
        + '  - region: "eu-west-1"\n    vpcs: []\n'
    )


def test_wrong_password_writes_nothing_and_keeps_old_files(tmp_path, controller, aws):
    write_config(tmp_path, controller)
    (tmp_path / "out.xlsx").write_bytes(b"old workbook")
    (tmp_path / "out.yaml").write_text("old: inventory\n")
    done = run(tmp_path, aws.endpoint, "-c", "config.yaml", "-e", "out.xlsx", "-d", "out.yaml", password="wrong")

    assert done.returncode == 1
    assert done.prompts == 1
    assert done.stderr.endswith(
        f"generate: error: Failed to login to controller.\nUsername: admin\nController IP: {controller.address} "
        "(the controller's answer to the login holds no session identifier (CID): Invalid username or password.)\n"
    )
    assert "generator.generate:ERROR Login failed. Please check Corvane Controller IP, username and password.\n" \
           in done.stderr
    assert "KeyError" not in done.stderr
    assert (tmp_path / "out.xlsx").read_bytes() == b"old workbook"
    assert (tmp_path / "out.yaml").read_text() == "old: inventory\n"
    assert sorted(p.name for p in tmp_path.iterdir()) == ["config.yaml", "out.xlsx", "out.yaml"]


def test_refused_role_is_an_error_line_and_exit_1(tmp_path, controller):
    write_config(tmp_path, controller)
    (tmp_path / "out.xlsx").write_bytes(b"old workbook")
    with aws_sandbox.start(enforce_auth=True) as refusing:
        done = run(tmp_path, refusing.endpoint, "-c", "config.yaml", "-e", "out.xlsx")
    assert done.returncode == 1
    assert done.stdout == ""
    [line] = [line for line in done.stderr.splitlines() if "error" in line]
    assert line.startswith(f"generate: error: account {A}: ") and "AssumeRole" in line
    assert (tmp_path / "out.xlsx").read_bytes() == b"old workbook"
    assert sorted(p.name for p in tmp_path.iterdir()) == ["config.yaml", "out.xlsx"]


def test_no_vpc_anywhere_gives_titles_only(tmp_path, controller, aws):
    empty = {"333333333333": {"us-east-1": [], "eu-west-1": []}}
    aws_sandbox.seed(aws.endpoint, empty)
    write_config(tmp_path, controller, accounts=list(empty))
    done = run(tmp_path, aws.endpoint, "-c", "config.yaml", "-e", "out.xlsx")

    assert done.returncode == 0, done.stderr
    assert "generator.generate:WARNING No VPC found" in done.stderr
    sheet = openpyxl.load_workbook(tmp_path / "out.xlsx").active
    assert cells(sheet) == [gen.HEADERS]
    widths = [sheet.column_dimensions[openpyxl.utils.get_column_letter(i)].width for i in range(1, 20)]
    assert widths == [20] * 19


def test_throttled_and_failing_aws(tmp_path, controller, aws):
    write_config(tmp_path, controller)
    workbook = lambda name: cells(openpyxl.load_workbook(tmp_path / name).worksheets[0])  # noqa: E731
    try:
        done = run(tmp_path, aws.endpoint, "-c", "config.yaml", "-e", "calm.xlsx", "-d", "calm.yaml")
        assert done.returncode == 0, done.stderr

        # a fifth of all requests throttled: retried, and the same artefacts
        aws.set_faults(throttle=0.2)
        done = run(tmp_path, aws.endpoint, "-c", "config.yaml", "-e", "busy.xlsx", "-d", "busy.yaml")
        assert done.returncode == 0, done.stderr
        assert aws.faults()["throttled"] >= 2
        assert (tmp_path / "busy.yaml").read_bytes() == (tmp_path / "calm.yaml").read_bytes()
        assert workbook("busy.xlsx") == workbook("calm.xlsx")

        # one region of one account failing: the run stops, or with -k goes on and says what is missing
        aws.set_faults(fail=[{"account": B, "region": "us-east-1", "action": "DescribeVpcs", "code": "AuthFailure",
                              "message": "not allowed here"}])
        stopped = run(tmp_path, aws.endpoint, "-c", "config.yaml", "-e", "stop.xlsx")
        assert stopped.returncode == 1 and not (tmp_path / "stop.xlsx").exists()
        assert stopped.stderr.endswith(f"generate: error: account {B}, region us-east-1: An error occurred "
                                       "(AuthFailure) when calling the DescribeVpcs operation: not allowed here\n")
        going = run(tmp_path, aws.endpoint, "-c", "config.yaml", "-e", "partial.xlsx", "-k")
        assert going.returncode == 3, going.stderr
        assert (f"generator.generate:WARNING Not covered: account {B}, region us-east-1: AuthFailure: not allowed "
                "here\n") in going.stderr
        assert "generator.generate:INFO Coverage: 3 ok, 0 skipped, 1 failed of 4 account-regions\n" in going.stderr
        book = openpyxl.load_workbook(tmp_path / "partial.xlsx")
        assert [row[:4] for row in cells(book["Coverage"])[1:]] == [
            [A, "prod", "us-east-1", "ok"], [A, "prod", "eu-west-1", "ok"], [B, "shared", "us-east-1", "failed"],
            [B, "shared", "eu-west-1", "ok"]]
        assert [row[0] for row in cells(book.worksheets[0])[1:]] == [A, A, A]  # B's only VPC was not covered
    finally:
        aws.set_faults()


@pytest.mark.terminal
def test_interactive_run_shows_progress_and_finishes(tmp_path, controller, aws):
    # At a terminal the log and a live progress line share the screen; the walk waits for its
    # accounts in short steps to keep the line up to date, and AWS slow enough that each step
    # runs out must not end the run (on every supported Python, whose time-out errors differ).
    write_config(tmp_path, controller)
    env = {k: v for k, v in os.environ.items() if k not in ("AWS_PROFILE", "AWS_SESSION_TOKEN")}
    env.update(aws_sandbox.client_env(aws.endpoint))
    aws.set_latency(400)
    try:
        done = run_with_password([GENERATE, "-c", "config.yaml", "-e", "out.xlsx", "-d", "out.yaml"], PASSWORD, env=env,
                                 cwd=tmp_path, timeout=300, stderr_at_terminal=True)
    finally:
        aws.set_latency(0)
    assert done.returncode == 0, done.terminal
    assert "accounts" in done.terminal and "VPCs found" in done.terminal, "no progress line"
    assert "Error" not in done.terminal
    assert len(openpyxl.load_workbook(tmp_path / "out.xlsx").active["A"]) == 1 + 4
