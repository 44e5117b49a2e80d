"""generate --refresh: the three-way merge of the workbook generate wrote (base), the engineer's
sheet (edited) and a new discovery, cell by cell and row by row."""
import pytest

import generator.generate as gen

A, B = "111111111111", "222222222222"


def row(vpc_id="vpc-1", **cells):
    """A workbook record; empty cells read back as the empty text."""
    record = dict.fromkeys(gen.HEADERS, "")
    record.update(account_id=A, region="us-east-1", vpc_id=vpc_id)
    record.update(cells)
    return record


# column, base (as read back from the hidden sheet), edited (as read from the sheet),
# discovered (as generate builds it), expected cell, a conflict, a cell updated
CELL_CASES = [
    pytest.param("crvn_cidr", "10.0.0.0/27", "10.0.0.0/27", "10.0.3.0/27", "10.0.3.0/27", False, 1,
                 id="unchanged-takes-new"),
    pytest.param("account_name", "prod", "prod", "prod", "prod", False, 0, id="unchanged-nothing-new"),
    pytest.param("spoke_gw_name", "web-CRVGW", "edge-CRVGW", "web-CRVGW", "edge-CRVGW", False, 0,
                 id="edited-only-keeps-edit"),
    pytest.param("crvn_cidr", "10.0.0.0/27", "10.0.9.0/27", "10.0.3.0/27", "10.0.9.0/27", True, 0,
                 id="both-differently-conflict"),
    pytest.param("spoke_gw_name", "web-CRVGW", "www-CRVGW", "www-CRVGW", "www-CRVGW", False, 0,
                 id="both-same-value"),
    pytest.param("crvn_cidr", "10.0.0.0/27", "", "10.0.3.0/27", "", True, 0, id="cleared-cell-is-an-edit"),
    # booleans: a yes/no word typed over a boolean means the same boolean
    pytest.param("managed_tgw", True, "TRUE", False, False, False, 1, id="yes-word-equals-boolean"),
    pytest.param("managed_tgw", True, "no", True, "no", False, 0, id="no-word-is-an-edit"),
    pytest.param("encrypt", False, True, False, True, False, 0, id="boolean-edit-kept"),
    pytest.param("hpe", "", "", None, None, False, 0, id="unset-stays-unset"),
    pytest.param("inspection", "", "", True, True, False, 1, id="newly-set-default"),
    # lists: the printed form and the plainly typed form are the same list
    pytest.param("filter_cidrs", "['10.1.0.0/16', '10.2.0.0/16']", "['10.1.0.0/16', '10.2.0.0/16']",
                 ["10.1.0.0/16", "10.3.0.0/16"], ["10.1.0.0/16", "10.3.0.0/16"], False, 1, id="list-unchanged"),
    pytest.param("gw_zones", "['us-east-1a', 'us-east-1b']", "us-east-1a, us-east-1b", ["us-east-1a", "us-east-1b"],
                 ["us-east-1a", "us-east-1b"], False, 0, id="list-retyped-same-items"),
    pytest.param("gw_zones", "['us-east-1a']", "us-east-1a, us-east-1c", ["us-east-1b"], "us-east-1a, us-east-1c",
                 True, 0, id="list-conflict"),
    pytest.param("filter_cidrs", "[]", "", [], "", False, 0, id="empty-list-is-not-unset"),
    # tags and hand-filled columns: blanks after the commas do not change the tags
    pytest.param("spoke_gw_tags", "Owner=netops,Env=prod", "Owner=netops, Env=prod", "", "", False, 1,
                 id="tags-respaced-unchanged"),
    pytest.param("spoke_gw_tags", "", "Owner=netops", "", "Owner=netops", False, 0, id="tags-added-by-hand"),
    pytest.param("spoke_gw_size", "", 4, "", 4, False, 0, id="number-typed"),
    pytest.param("spoke_gw_size", 4, 4.0, "t3.small", "t3.small", False, 1, id="whole-float-equals-integer"),
]


@pytest.mark.parametrize("column, base, edited, discovered, expected, conflict, updated", CELL_CASES)
def test_cell_cases(column, base, edited, discovered, expected, conflict, updated):
    merged = gen._merge_refresh([row(**{column: base})], [row(**{column: edited})], [row(**{column: discovered})])

    (result,) = merged["rows"]
    assert result[column] == expected and type(result[column]) is type(expected)
    assert merged["conflicts"] == ([(0, column, discovered)] if conflict else [])
    assert merged["updated"] == updated
    assert (merged["kept"], merged["added"], merged["removed"], merged["left_out"]) == (1, [], [], [])
    others = {k: v for k, v in result.items() if k != column}
    assert others == {k: v for k, v in row().items() if k != column}


def test_rows_matched_added_removed_and_written_by_hand():
    base = [row("vpc-1", crvn_cidr="10.0.0.0/27"), row("vpc-2"), row("vpc-3"), row("vpc-4"),
            row("vpc-1", region="eu-west-1"), row("vpc-7", account_id="012345678901")]
    edited = [
        row("vpc-2", domain="blue", hpe=True),  # the engineer sorted the sheet
        row(" vpc-1 ", crvn_cidr="10.0.9.0/27", extra="my note"),  # blanks around the key are not an edit
        row("vpc-hand", domain="typed"),  # written by hand: no base
        row("vpc-4", domain="gone soon"),
        row("vpc-1", domain="copied"),  # the same VPC twice: the second row is the engineer's own
        row("vpc-1", region="eu-west-1"),
        row("vpc-7", account_id=int("012345678901")),  # the account ID became a number: still the same VPC
        # vpc-3 was deleted from the sheet by the engineer
    ]
    discovered = [row("vpc-7", account_id="012345678901", domain="d"), row("vpc-1", crvn_cidr="10.0.3.0/27"),
                  row("vpc-3"), row("vpc-5", domain="new"),
                  row("vpc-hand", domain="found"), row("vpc-2"), row("vpc-6", account_id=B, hpe=False)]

    merged = gen._merge_refresh(base, edited, discovered)

    assert [(r["vpc_id"], r["region"], r["domain"], r["extra"]) for r in merged["rows"]] == [
        ("vpc-2", "us-east-1", "blue", ""),
        (" vpc-1 ", "us-east-1", "", "my note"),
        ("vpc-hand", "us-east-1", "typed", ""),
        ("vpc-1", "us-east-1", "copied", ""),
        ("vpc-7", "us-east-1", "d", ""),
        ("vpc-5", "us-east-1", "new", ""),
        ("vpc-6", "us-east-1", "", ""),
    ]
    # A new VPC takes the settings of its account as the sheet has them (convert needs all rows to agree);
    # one of an account without rows on the sheet, the discovered ones.
    assert [r["hpe"] for r in merged["rows"]] == [True, "", "", "", "", True, False]
    assert merged["rows"][1]["crvn_cidr"] == "10.0.9.0/27"
    assert merged["conflicts"] == [(1, "crvn_cidr", "10.0.3.0/27")]
    assert merged["added"] == [5, 6]
    # vpc-4 is gone from AWS; eu-west-1's vpc-1 too (a VPC is matched by account, region and id)
    assert merged["removed"] == [row("vpc-4", domain="gone soon"), row("vpc-1", region="eu-west-1")]
    assert merged["left_out"] == [row("vpc-3")]
    assert (merged["kept"], merged["updated"]) == (5, 1)
    assert (merged["not_rechecked"], merged["base_kept"]) == ([], [])


@pytest.mark.parametrize("unchecked, kept, removed", [
    ([(A, "*")], ["vpc-1", "vpc-2"], ["vpc-4"]),
    ([(A, "us-east-1"), (B, "*")], ["vpc-1", "vpc-4"], ["vpc-2"]),
])
def test_vpcs_of_a_failed_account_or_region_are_kept_not_removed(unchecked, kept, removed):
    base = [row("vpc-1"), row("vpc-2", region="eu-west-1"), row("vpc-3"), row("vpc-4", account_id=B)]
    edited = [row("vpc-1", domain="mine"), row("vpc-2", region="eu-west-1"), row("vpc-4", account_id=B)]
    by_id = {r["vpc_id"]: r for r in edited}

    merged = gen._merge_refresh(base, edited, [], unchecked=unchecked)  # nothing found where AWS was asked

    assert merged["rows"] == [by_id[v] for v in kept]  # kept whole, as the engineer left them
    assert merged["not_rechecked"] == [0, 1]
    assert merged["removed"] == [by_id[v] for v in removed]
    # Their generated values stay the base of the next refresh; so does that of vpc-3, deleted by hand.
    base_by_id = {r["vpc_id"]: r for r in base}
    assert merged["base_kept"] == [base_by_id[v] for v in [*kept, "vpc-3"]]
    assert (merged["left_out"], merged["conflicts"], merged["updated"], merged["kept"]) == ([], [], 0, 2)


def test_rows_need_every_column():
    partial = row()
    del partial["crvn_cidr"]
    with pytest.raises(KeyError, match="the edited row 1 has no column crvn_cidr"):
        gen._merge_refresh([row()], [partial], [row()])


# ------------------------------------------------------------------ end to end

import os  # noqa: E402
import pathlib  # noqa: E402
import sys  # noqa: E402

import boto3  # noqa: E402
import openpyxl  # noqa: E402
import yaml  # noqa: E402

from sandbox import aws as aws_sandbox  # noqa: E402
from sandbox.controller import start as start_controller  # noqa: E402
from sandbox.terminal import run_with_password  # noqa: E402

BIN = pathlib.Path(sys.executable).parent
PASSWORD = "pa55"
ESTATE = {
    A: {
        "us-east-1": [
            {"cidr": "10.0.0.0/16", "name": "web", "subnets": ["10.0.0.0/24"]},
            {"cidr": "10.1.0.0/16", "name": "db"},
            {"cidr": "10.2.0.0/16", "name": "batch"},
            {"cidr": "10.3.0.0/24", "name": "old"},
        ],
        "eu-west-1": [{"cidr": "10.4.0.0/16", "name": "eu app"}, {"cidr": "10.5.0.0/16", "name": "eu db"}],
    },
    B: {
        "us-east-1": [{"cidr": "10.6.0.0/16", "name": "shared"}, {"cidr": "10.7.0.0/20", "name": "tools"},
                      {"cidr": "10.8.0.0/24", "name": "legacy"}],
        "eu-west-1": [{"cidr": "10.9.0.0/16", "name": "edge"}, {"cidr": "10.10.0.0/16", "name": "lab"},
                      {"cidr": "10.11.0.0/16", "name": "misc"}],
    },
}
# What the engineer changes in the generated workbook: (account, region, VPC name) -> {column: value}.
# 30 cells across 10 rows: booleans (as cells and as words), lists, tags, a block, a gateway name.
B_ACCOUNT = {"managed_tgw": False, "filter_cidrs": "10.10.0.0/16, 10.30.0.0/16"}  # on every row of account B
EDITS = {
    (A, "us-east-1", "web"): {"crvn_cidr": "10.0.3.0/27", "domain": "web", "spoke_routes": "['10.50.0.0/16']"},
    (A, "us-east-1", "db"): {"spoke_gw_name": "db-primary-CRVGW", "encrypt": True, "spoke_gw_tags": "App=db"},
    (A, "us-east-1", "batch"): {"domain": "batch", "transit_gw_name": "tgw 2"},
    (A, "eu-west-1", "eu app"): {"inspection": True, "gw_zones": "eu-west-1a, eu-west-1b",
                                 "spoke_gw_tags": "Team=eu"},
    (B, "us-east-1", "shared"): {**B_ACCOUNT, "spoke_gw_tags": "Owner=netops, Env=prod", "encrypt": True,
                                 "gw_zones": "['us-east-1a']"},
    (B, "us-east-1", "tools"): {**B_ACCOUNT, "domain": "shared-svc", "inspection": "yes"},
    (B, "us-east-1", "legacy"): {**B_ACCOUNT, "spoke_advertisement": "10.8.0.0/24", "domain": "legacy"},
    (B, "eu-west-1", "edge"): dict(B_ACCOUNT),
    (B, "eu-west-1", "lab"): dict(B_ACCOUNT),
    (B, "eu-west-1", "misc"): dict(B_ACCOUNT),
}
ADDED = {A: {"us-east-1": [{"cidr": "10.20.0.0/16", "name": "new one"}],
             "eu-west-1": [{"cidr": "10.22.0.0/16", "name": "new three"}]},
         B: {"eu-west-1": [{"cidr": "10.21.0.0/16", "name": "new two"}]}}


@pytest.fixture(scope="module")
def sandbox():
    with start_controller({A: "prod", B: "shared"}, "admin", PASSWORD) as controller:
        with aws_sandbox.start() as aws:
            ids = aws_sandbox.seed(aws.endpoint, ESTATE)
            env = {k: v for k, v in os.environ.items() if k not in ("AWS_PROFILE", "AWS_SESSION_TOKEN")}
            env.update(aws_sandbox.client_env(aws.endpoint))
            yield controller, aws, ids, env


def ec2_in(endpoint, account, region):
    """An EC2 client acting in the account, as the estate's owners change it."""
    sts = boto3.client("sts", endpoint_url=endpoint, region_name="us-east-1", aws_access_key_id="testing",
                       aws_secret_access_key="testing")
    creds = sts.assume_role(RoleArn=f"arn:aws:iam::{account}:role/owner", RoleSessionName="owner")["Credentials"]
    return boto3.client("ec2", endpoint_url=endpoint, region_name=region, aws_access_key_id=creds["AccessKeyId"],
                        aws_secret_access_key=creds["SecretAccessKey"], aws_session_token=creds["SessionToken"])


def generate(folder, env, *args):
    return run_with_password([str(BIN / "generate"), "-c", "config.yaml", *args], PASSWORD, env=env, cwd=folder,
                             timeout=300)


def sheet_rows(sheet):
    table = [[c.value for c in row] for row in sheet.iter_rows()]
    return [dict(zip(table[0], row)) for row in table[1:]]


@pytest.mark.slow  # the console script end to end, against both servers
def test_refresh_keeps_every_edit(tmp_path, sandbox):
    controller, aws, ids, env = sandbox
    (tmp_path / "config.yaml").write_text(yaml.safe_dump({
        "account_ids": [A, B],
        "aws_regions": ["us-east-1", "eu-west-1"],
        "controller": {"ip": controller.address, "username": "admin"},
        "defaults": {"role_name": "corvane-migration", "hpe": False, "managed_tgw": True,
                     "filter_cidrs": ["10.10.0.0/16"], "transit_gw_name": "tgw 1"},
    }))
    # Nothing to refresh yet: the workbook is written anew.
    first = generate(tmp_path, env, "-e", "vpcs.xlsx", "--refresh")
    assert first.returncode == 0, first.stderr
    assert ("generator.generate:WARNING vpcs.xlsx does not exist yet: nothing to refresh, a new workbook is "
            "written") in first.stderr.splitlines()
    name_of = {vpc_id: seeded["name"] for account, regions in ESTATE.items() for region, vpcs in regions.items()
               for vpc_id, seeded in zip(ids[account][region], vpcs)}

    # The engineer edits 30 cells across 10 rows and adds a row by hand.
    book = openpyxl.load_workbook(tmp_path / "vpcs.xlsx")
    sheet = book.worksheets[0]
    generated = sheet_rows(sheet)
    # The workbook remembers, out of sight, what generate wrote.
    assert [(s.title, s.sheet_state) for s in book.worksheets] == [
        ("Sheet1", "visible"), ("Coverage", "visible"), ("Overlaps", "visible"), ("generated", "veryHidden")]
    assert [{k: r[k] for k in gen.HEADERS} for r in sheet_rows(book["generated"])] == generated
    assert len(generated) == 12
    column = {cell.value: cell.column for cell in sheet[1]}
    edited_cells = 0
    for number, row in enumerate(generated, start=2):
        for title, value in EDITS.get((row["account_id"], row["region"], name_of[row["vpc_id"]]), {}).items():
            sheet.cell(number, column[title]).value = value
            edited_cells += 1
    assert edited_cells == 30
    by_name = {name_of[r["vpc_id"]]: r for r in generated}
    hand = {**by_name["eu db"], "vpc_id": "vpc-0hand000000000001", "crvn_cidr": "10.99.0.0/27",
            "spoke_gw_name": "hand-CRVGW"}
    sheet.append([hand[title] for title in column])
    notes = book.create_sheet("Notes")  # and keeps notes of their own
    notes["A1"], notes["B2"], notes.column_dimensions["A"].width = "=ask netops", "=SUM(1, 2)", 42
    notes["A1"].data_type = "s"
    book.save(tmp_path / "vpcs.xlsx")
    edited = sheet_rows(openpyxl.load_workbook(tmp_path / "vpcs.xlsx").worksheets[0])

    # Meanwhile the estate changes.
    web, db, batch, old = ids[A]["us-east-1"]
    legacy = ids[B]["us-east-1"][2]
    east = ec2_in(aws.endpoint, A, "us-east-1")
    east.delete_vpc(VpcId=old)
    ec2_in(aws.endpoint, B, "us-east-1").delete_vpc(VpcId=legacy)
    east.create_subnet(VpcId=web, CidrBlock="10.0.1.0/24")  # takes web's proposed block 10.0.1.0/27
    east.create_tags(Resources=[db], Tags=[{"Key": "Name", "Value": "database"}])  # its gateway name was edited
    east.create_tags(Resources=[batch], Tags=[{"Key": "Name", "Value": "batch jobs"}])  # not edited
    added = aws_sandbox.seed(aws.endpoint, ADDED)

    refreshed = generate(tmp_path, env, "-e", "vpcs.xlsx", "--refresh")
    assert refreshed.returncode == 0, refreshed.stderr
    log = refreshed.stderr.splitlines()
    assert [line for line in log if "WARNING" in line] == [
        "generator.generate:WARNING Conflict in vpcs.xlsx cell J2 (crvn_cidr of VPC %s, account %s, region "
        "us-east-1): kept your '10.0.3.0/27'; AWS now gives '10.0.2.0/27'" % (web, A),
        "generator.generate:WARNING Conflict in vpcs.xlsx cell R3 (spoke_gw_name of VPC %s, account %s, region "
        "us-east-1): kept your 'db-primary-CRVGW'; AWS now gives 'database-CRVGW'" % (db, A),
    ]
    assert log[-1] == ("generator.generate:INFO Refreshed vpcs.xlsx: 11 rows kept, 1 cells updated, "
                       "3 VPCs added, 2 removed, 2 conflicts")

    book = openpyxl.load_workbook(tmp_path / "vpcs.xlsx")
    # The sheets in the engineer's order, Removed after generate's others.
    assert [(s.title, s.sheet_state) for s in book.worksheets] == [("Sheet1", "visible"), ("Coverage", "visible"),
                                                                   ("Overlaps", "visible"), ("Removed", "visible"),
                                                                   ("generated", "veryHidden"),
                                                                   ("Notes", "visible")]
    notes = book["Notes"]
    assert [(c.coordinate, c.value, c.data_type) for row in notes.iter_rows() for c in row if c.value] == [
        ("A1", "=ask netops", "s"), ("B2", "=SUM(1, 2)", "f")]
    assert notes.column_dimensions["A"].width == 42
    rows = sheet_rows(book.worksheets[0])
    # Every edited row, the hand-written one included, is kept with every cell as the engineer left it,
    # except the one cell the engineer did not touch and AWS changed.
    expected = [r for r in edited if r["vpc_id"] not in (old, legacy)]
    batch_row = next(r for r in expected if r["vpc_id"] == batch)
    batch_row["spoke_gw_name"] = "batch_jobs-CRVGW"
    assert rows[:11] == expected
    # The new VPCs follow, in discovery order, with the generated values, and the account settings
    # that the engineer gave their account.
    new_one, new_three, new_two = added[A]["us-east-1"][0], added[A]["eu-west-1"][0], added[B]["eu-west-1"][0]
    assert [(r["account_id"], r["region"], r["vpc_id"], r["crvn_cidr"], r["spoke_gw_name"], r["managed_tgw"],
             r["filter_cidrs"]) for r in rows[11:]] == [
        (A, "us-east-1", new_one, "10.20.0.0/27", "new_one-CRVGW", True, "['10.10.0.0/16']"),
        (A, "eu-west-1", new_three, "10.22.0.0/27", "new_three-CRVGW", True, "['10.10.0.0/16']"),
        (B, "eu-west-1", new_two, "10.21.0.0/27", "new_two-CRVGW", False, "10.10.0.0/16, 10.30.0.0/16"),
    ]
    first_sheet = book.worksheets[0]
    for number in (13, 14, 15):
        assert {c.fill.fgColor.rgb for c in first_sheet[number]} == {"00C6EFCE"}
    for ref, now in (("J2", "'10.0.2.0/27'"), ("R3", "'database-CRVGW'")):
        assert first_sheet[ref].fill.fgColor.rgb == "00FFC7CE"
        assert now in first_sheet[ref].comment.text
    assert sum(c.comment is not None for row in first_sheet.iter_rows(min_row=2, max_row=12) for c in row) == 2

    # The VPCs no longer found, with the engineer's last values; the base now holds the new discovery.
    assert sheet_rows(book["Removed"]) == [r for r in edited if r["vpc_id"] in (old, legacy)]
    base = {r["vpc_id"]: r for r in sheet_rows(book["generated"])}
    assert len(base) == 13 and old not in base and "vpc-0hand000000000001" not in base
    assert (base[web]["crvn_cidr"], base[db]["spoke_gw_name"]) == ("10.0.2.0/27", "database-CRVGW")

    # convert reads only the first sheet: the removed VPCs are left out, every edit is in the configuration.
    converted = subprocess_run([str(BIN / "convert"), "-e", "vpcs.xlsx", "-y", "tandrel.yaml"], tmp_path)
    assert converted.returncode == 0, converted.stderr
    accounts = yaml.safe_load((tmp_path / "tandrel.yaml").read_text())["account_info"]
    vpcs = {(a["account_id"], r["region"]): {v["vpc_id"]: v for v in r["vpcs"]} for a in accounts for r in a["regions"]}
    assert {key: list(found) for key, found in vpcs.items()} == {
        (A, "us-east-1"): [web, db, batch, new_one],
        (A, "eu-west-1"): [*ids[A]["eu-west-1"], "vpc-0hand000000000001", new_three],
        (B, "us-east-1"): ids[B]["us-east-1"][:2],
        (B, "eu-west-1"): [*ids[B]["eu-west-1"], new_two],
    }
    account_b = next(a for a in accounts if a["account_id"] == B)
    assert (account_b["managed_tgw"], account_b["filter_cidrs"]) == (False, ["10.10.0.0/16", "10.30.0.0/16"])
    web_vpc = vpcs[A, "us-east-1"][web]
    assert (web_vpc["crvn_cidr"], web_vpc["domain"], web_vpc["spoke_routes"]) == ("10.0.3.0/27", "web",
                                                                                 ["10.50.0.0/16"])
    assert vpcs[A, "us-east-1"][db]["spoke_gw_name"] == "db-primary-CRVGW"
    assert vpcs[A, "us-east-1"][db]["spoke_gw_tags"] == [{"key": "App", "value": "db"}]
    assert vpcs[A, "us-east-1"][batch]["spoke_gw_name"] == "batch_jobs-CRVGW"
    assert vpcs[A, "us-east-1"][batch]["transit_gw_name"] == "tgw 2"
    assert vpcs[A, "eu-west-1"][ids[A]["eu-west-1"][0]]["gw_zones"] == ["eu-west-1a", "eu-west-1b"]
    assert vpcs[B, "us-east-1"][ids[B]["us-east-1"][1]]["inspection"] is True
    assert vpcs[B, "us-east-1"][ids[B]["us-east-1"][0]]["spoke_gw_tags"] == [
        {"key": "Owner", "value": "netops"}, {"key": "Env", "value": "prod"}]

    # Refreshed again with nothing changed in AWS, the inventory written from the same walk: nothing moves,
    # nothing conflicts, the Removed rows stay.
    again = generate(tmp_path, env, "-e", "vpcs.xlsx", "-d", "inventory.yaml", "--refresh")
    assert again.returncode == 0, again.stderr
    assert again.prompts == 1 and (tmp_path / "inventory.yaml").exists()
    # The two conflicts stay marked until resolved.
    assert again.stderr.splitlines()[-1] == ("generator.generate:INFO Refreshed vpcs.xlsx: 14 rows kept, "
                                             "0 cells updated, 0 VPCs added, 0 removed, 2 conflicts")
    book = openpyxl.load_workbook(tmp_path / "vpcs.xlsx")
    assert sheet_rows(book.worksheets[0]) == rows
    assert len(sheet_rows(book["Removed"])) == 2

    # An account's region that cannot be walked is not a region without VPCs: its rows stay, marked.
    try:
        aws.set_faults(fail=[{"account": B, "region": "us-east-1", "action": "DescribeVpcs", "code": "AuthFailure",
                              "message": "not allowed here"}])
        partial = generate(tmp_path, env, "-e", "vpcs.xlsx", "--refresh", "--keep-going")
    finally:
        aws.set_faults()
    assert partial.returncode == 3, partial.stderr
    assert partial.stderr.splitlines()[-2:] == [
        "generator.generate:INFO Refreshed vpcs.xlsx: 14 rows kept, 0 cells updated, 0 VPCs added, 0 removed, "
        "2 conflicts, 2 not re-checked",
        "partial: 1 of 4 account-regions failed; see the Coverage sheet"]
    book = openpyxl.load_workbook(tmp_path / "vpcs.xlsx")
    assert sheet_rows(book.worksheets[0]) == rows
    unchecked = [number for number, row in enumerate(book.worksheets[0].iter_rows(min_row=2), start=2)
                 if row[0].fill.fgColor.rgb == "00D9D9D9"]
    assert [rows[n - 2]["vpc_id"] for n in unchecked] == ids[B]["us-east-1"][:2]
    assert len(sheet_rows(book["generated"])) == 13  # their generated values are still the base


def subprocess_run(argv, folder):
    import subprocess

    return subprocess.run(argv, capture_output=True, text=True, cwd=folder, timeout=120)


NO_BASE = ("vpcs.xlsx: cannot refresh: it has no hidden sheet 'generated' with the values generate wrote, so it "
           "was not written by generate (or by a version before --refresh); nothing was changed. Without "
           "--refresh, generate writes a new workbook in its place, without your edits")


def plain_workbook(path):
    book = openpyxl.Workbook()
    book.active.append(list(gen.HEADERS))
    book.save(path)


def workbook_without_column(path):
    book = openpyxl.Workbook()
    for sheet in (book.active, book.create_sheet("generated")):
        sheet.append([title for title in gen.HEADERS if title != "region" or sheet.title == "generated"])
        sheet.append([A] * (len(sheet[1])))
    book.save(path)


@pytest.mark.parametrize("make, args, status, message", [
    (plain_workbook, ["-e", "vpcs.xlsx", "-d", "inventory.yaml", "--refresh"], 1, "generate: error: " + NO_BASE),
    (workbook_without_column, ["-e", "vpcs.xlsx", "--refresh"], 1,
     "generate: error: vpcs.xlsx: cannot refresh: the VPC sheet 'Sheet' has no column region; put it back under "
     "its title (nothing was changed)"),
    (plain_workbook, ["-d", "inventory.yaml", "--refresh"], 2,
     "generate: error: --refresh needs -e/--excel: the workbook to refresh"),
])
def test_refusals_touch_nothing(tmp_path, sandbox, make, args, status, message):
    controller, _, _, env = sandbox
    (tmp_path / "config.yaml").write_text(yaml.safe_dump({
        "account_ids": [A], "controller": {"ip": controller.address, "username": "admin"},
        "defaults": {"role_name": "corvane-migration"}}))
    make(tmp_path / "vpcs.xlsx")
    before = (tmp_path / "vpcs.xlsx").read_bytes()
    controller.requests.clear()

    done = generate(tmp_path, env, *args)

    assert (done.returncode, done.stderr.splitlines()[-1]) == (status, message)
    assert (done.prompts, controller.requests) == (0, [])
    assert (tmp_path / "vpcs.xlsx").read_bytes() == before
    assert sorted(p.name for p in tmp_path.iterdir()) == ["config.yaml", "vpcs.xlsx"]


# ------------------------------------------------------- sheets, conflicts, blocks, the hidden sheet


def write_config(folder, controller, accounts, region, **defaults):
    (folder / "config.yaml").write_text(yaml.safe_dump({
        "account_ids": accounts, "aws_regions": [region],
        "controller": {"ip": controller.address, "username": "admin"},
        "defaults": {"role_name": "corvane-migration", "hpe": False, **defaults}}))


def edit_book(path, change):
    """Opens the workbook, lets `change` edit it and saves it, as a spreadsheet program would."""
    book = openpyxl.load_workbook(path)
    change(book)
    book.save(path)


def cell_of(sheet, vpc_id, title):
    """The cell of a VPC's row in the column titled `title`."""
    titles = [c.value for c in sheet[1]]
    (row,) = [r for r in sheet.iter_rows(min_row=2) if r[titles.index("vpc_id")].value == vpc_id]
    return row[titles.index(title)]


def last_lines(done):
    return done.stderr.splitlines()[-1]


@pytest.mark.slow
def test_sheets_found_by_what_they_are(tmp_path, sandbox):
    controller, aws, _, env = sandbox
    region = "us-west-1"
    ids = aws_sandbox.seed(aws.endpoint, {A: {region: [{"cidr": "10.40.0.0/16", "name": "alpha"},
                                                       {"cidr": "10.41.0.0/16", "name": "beta"}]}})[A][region]
    write_config(tmp_path, controller, [A], region)
    path = tmp_path / "vpcs.xlsx"
    assert generate(tmp_path, env, "-e", "vpcs.xlsx").returncode == 0

    # A workbook written before the hidden sheet recorded its VPC sheet, with Coverage dragged to the front.
    def old_with_coverage_first(book):
        hidden = book["generated"]
        hidden.delete_cols([c.value for c in hidden[1]].index("conflicts") + 1, 3)
        book.move_sheet("Coverage", offset=-1)
        book.active = 0
    edit_book(path, old_with_coverage_first)
    before = path.read_bytes()
    refused = generate(tmp_path, env, "-e", "vpcs.xlsx", "--refresh")
    assert (refused.returncode, last_lines(refused)) == (1, (
        "generate: error: vpcs.xlsx: cannot refresh: its first sheet 'Coverage' is one of the sheets generate "
        "writes, and the workbook does not record which sheet holds the VPC rows; move the VPC sheet first "
        "(nothing was changed)"))
    assert path.read_bytes() == before and refused.prompts == 0
    converted = subprocess_run([str(BIN / "convert"), "-e", "vpcs.xlsx", "-y", "out.yaml"], tmp_path)
    assert (converted.returncode, converted.stderr.splitlines()[-1]) == (1, (
        "convert: error: vpcs.xlsx: the first sheet 'Coverage' is one of the sheets generate writes, not the VPC "
        "sheet; move the VPC sheet first (convert reads the first sheet)"))
    assert not (tmp_path / "out.yaml").exists()

    # Put back first, the old workbook refreshes, and records its VPC sheet from now on.
    edit_book(path, lambda book: book.move_sheet("Coverage", offset=1))
    done = generate(tmp_path, env, "-e", "vpcs.xlsx", "--refresh")
    assert (done.returncode, last_lines(done)) == (0, "generator.generate:INFO Refreshed vpcs.xlsx: 2 rows kept, "
                                                      "0 cells updated, 0 VPCs added, 0 removed, 0 conflicts")

    # The engineer puts notes first and the VPC sheet last, and edits it: found wherever it stands.
    def rearrange(book):
        notes = book.create_sheet("Notes", 0)
        notes.append(["what"])
        notes.append(["ask netops"])
        book.move_sheet("Sheet1", offset=len(book.sheetnames) - 1 - book.sheetnames.index("Sheet1"))
        cell_of(book["Sheet1"], ids[0], "domain").value = "mine"
        book.active = 0
    edit_book(path, rearrange)
    order = [("Notes", "visible"), ("Coverage", "visible"), ("Overlaps", "visible"), ("generated", "veryHidden"),
             ("Sheet1", "visible")]
    done = generate(tmp_path, env, "-e", "vpcs.xlsx", "--refresh")
    assert (done.returncode, last_lines(done)) == (0, "generator.generate:INFO Refreshed vpcs.xlsx: 2 rows kept, "
                                                      "0 cells updated, 0 VPCs added, 0 removed, 0 conflicts")
    book = openpyxl.load_workbook(path)
    assert [(s.title, s.sheet_state) for s in book.worksheets] == order
    assert [(r["vpc_id"], r["domain"]) for r in sheet_rows(book["Sheet1"])] == [(ids[0], "mine"), (ids[1], None)]
    assert sheet_rows(book["Notes"]) == [{"what": "ask netops"}]
    converted = subprocess_run([str(BIN / "convert"), "-e", "vpcs.xlsx", "-y", "out.yaml"], tmp_path)
    assert (converted.returncode, converted.stderr.splitlines()[-1]) == (1, (
        "convert: error: vpcs.xlsx: the first sheet 'Notes' is not the VPC sheet (it has no column vpc_id); move "
        "the VPC sheet first (convert reads the first sheet)"))

    # Renamed, the VPC sheet is no longer the one recorded: refused, not guessed.
    edit_book(path, lambda book: setattr(book["Sheet1"], "title", "VPCs"))
    before = path.read_bytes()
    refused = generate(tmp_path, env, "-e", "vpcs.xlsx", "--refresh")
    assert (refused.returncode, last_lines(refused)) == (1, (
        "generate: error: vpcs.xlsx: cannot refresh: its VPC sheet 'Sheet1' is not in it; give the sheet of VPC "
        "rows back the name 'Sheet1' (nothing was changed)"))
    assert path.read_bytes() == before


def conflict_cells(sheet):
    """(cell, note) of each cell marked as a conflict."""
    return [(c.coordinate, c.comment.text if c.comment else None) for row in sheet.iter_rows(min_row=2)
            for c in row if c.fill.fgColor.rgb == "00FFC7CE"]


@pytest.mark.slow
def test_conflicts_stay_until_resolved(tmp_path, sandbox):
    controller, aws, _, env = sandbox
    region = "us-west-2"
    web, db = aws_sandbox.seed(aws.endpoint, {A: {region: [
        {"cidr": "10.50.0.0/16", "name": "web", "subnets": ["10.50.0.0/24"]},
        {"cidr": "10.51.0.0/16", "name": "db"}]}, B: {region: [{"cidr": "10.52.0.0/16", "name": "other"}]}})[A][region]
    write_config(tmp_path, controller, [A, B], region)
    path = tmp_path / "vpcs.xlsx"
    assert generate(tmp_path, env, "-e", "vpcs.xlsx").returncode == 0

    def edit(book):
        cell_of(book["Sheet1"], web, "crvn_cidr").value = "10.50.3.0/27"
        cell_of(book["Sheet1"], db, "spoke_gw_name").value = "db-primary-CRVGW"
    edit_book(path, edit)
    east = ec2_in(aws.endpoint, A, region)
    east.create_subnet(VpcId=web, CidrBlock="10.50.1.0/24")  # takes web's proposed block
    east.create_tags(Resources=[db], Tags=[{"Key": "Name", "Value": "database"}])
    warnings = [
        "generator.generate:WARNING Conflict in vpcs.xlsx cell J2 (crvn_cidr of VPC %s, account %s, region %s): "
        "kept your '10.50.3.0/27'; AWS now gives '10.50.2.0/27'" % (web, A, region),
        "generator.generate:WARNING Conflict in vpcs.xlsx cell R3 (spoke_gw_name of VPC %s, account %s, region %s): "
        "kept your 'db-primary-CRVGW'; AWS now gives 'database-CRVGW'" % (db, A, region)]
    marked = [("J2", "AWS now gives '10.50.2.0/27'; your value was kept (generate --refresh)"),
              ("R3", "AWS now gives 'database-CRVGW'; your value was kept (generate --refresh)")]

    # Found once, and again by each refresh while the engineer leaves them as they are, also after a
    # refresh that could not walk their account and kept the rows as they were.
    for step in ("found", "again", "not walked", "after"):
        if step == "not walked":
            try:
                aws.set_faults(fail=[{"account": A, "region": region, "action": "DescribeVpcs",
                                      "code": "AuthFailure", "message": "not allowed here"}])
                partial = generate(tmp_path, env, "-e", "vpcs.xlsx", "--refresh", "--keep-going")
            finally:
                aws.set_faults()
            assert partial.returncode == 3, partial.stderr
            assert conflict_cells(openpyxl.load_workbook(path)["Sheet1"]) == [
                ("J2", "AWS gave '10.50.2.0/27' when last walked; your value was kept (generate --refresh)"),
                ("R3", "AWS gave 'database-CRVGW' when last walked; your value was kept (generate --refresh)")]
            continue
        done = generate(tmp_path, env, "-e", "vpcs.xlsx", "--refresh")
        assert done.returncode == 0, done.stderr
        assert [line for line in done.stderr.splitlines() if "WARNING" in line] == warnings
        assert last_lines(done) == ("generator.generate:INFO Refreshed vpcs.xlsx: 3 rows kept, 0 cells updated, "
                                    "0 VPCs added, 0 removed, 2 conflicts")
        assert conflict_cells(openpyxl.load_workbook(path)["Sheet1"]) == marked

    # Resolved: one mark cleared by deleting its note, the other cell given AWS's value.
    def resolve(book):
        cell_of(book["Sheet1"], web, "crvn_cidr").comment = None
        cell_of(book["Sheet1"], db, "spoke_gw_name").value = "database-CRVGW"
    edit_book(path, resolve)
    done = generate(tmp_path, env, "-e", "vpcs.xlsx", "--refresh")
    assert [line for line in done.stderr.splitlines() if "WARNING" in line] == []
    assert last_lines(done) == ("generator.generate:INFO Refreshed vpcs.xlsx: 3 rows kept, 0 cells updated, "
                                "0 VPCs added, 0 removed, 0 conflicts")
    sheet = openpyxl.load_workbook(path)["Sheet1"]
    assert conflict_cells(sheet) == []
    assert [(r["crvn_cidr"], r["spoke_gw_name"]) for r in sheet_rows(sheet)][:2] == [
        ("10.50.3.0/27", "web-CRVGW"), ("10.51.0.0/27", "database-CRVGW")]


@pytest.mark.slow
def test_blocks_sized_and_checked_by_the_rows_hpe(tmp_path, sandbox):
    controller, aws, _, env = sandbox
    region = "eu-central-1"
    seeded = aws_sandbox.seed(aws.endpoint, {A: {region: [{"cidr": "10.60.0.0/16", "name": "one"}]},
                                             B: {region: [{"cidr": "10.64.0.0/16", "name": "five"},
                                                          {"cidr": "10.61.0.0/16", "name": "two"}]}})
    (one,), (five, two) = seeded[A][region], seeded[B][region]
    write_config(tmp_path, controller, [A, B], region)
    path = tmp_path / "vpcs.xlsx"
    assert generate(tmp_path, env, "-e", "vpcs.xlsx").returncode == 0

    def edit(book):
        cell_of(book["Sheet1"], one, "hpe").value = True  # account A's gateways are high-performance now
        cell_of(book["Sheet1"], five, "crvn_cidr").value = "10.64.5.0/27"
        cell_of(book["Sheet1"], two, "crvn_cidr").value = "10.99.0.0/27"
    edit_book(path, edit)
    # convert takes the /27 of an hpe row, and says so.
    converted = subprocess_run([str(BIN / "convert"), "-e", "vpcs.xlsx", "-y", "out.yaml"], tmp_path)
    assert converted.returncode == 0, converted.stderr
    assert [line for line in converted.stderr.splitlines() if "WARNING" in line] == [
        "generator.convert:WARNING row 2: crvn_cidr 10.60.0.0/27 is a /27 block, but hpe TRUE calls for a /25 block"]

    ec2_in(aws.endpoint, B, region).create_subnet(VpcId=five, CidrBlock="10.64.5.0/24")
    (four,) = aws_sandbox.seed(aws.endpoint, {A: {region: [{"cidr": "10.63.0.0/16", "name": "four"}]}})[A][region]
    done = generate(tmp_path, env, "-e", "vpcs.xlsx", "--refresh")
    assert done.returncode == 0, done.stderr
    assert [line for line in done.stderr.splitlines() if "WARNING" in line] == [
        "generator.generate:WARNING Conflict in vpcs.xlsx cell J3 (crvn_cidr of VPC %s, account %s, region %s): "
        "kept your '10.64.5.0/27', but it overlaps the VPC's subnet 10.64.5.0/24" % (five, B, region),
        "generator.generate:WARNING Conflict in vpcs.xlsx cell J4 (crvn_cidr of VPC %s, account %s, region %s): "
        "kept your '10.99.0.0/27', but it lies outside the VPC's blocks (10.61.0.0/16)" % (two, B, region)]
    assert last_lines(done) == ("generator.generate:INFO Refreshed vpcs.xlsx: 3 rows kept, 1 cells updated, "
                                "1 VPCs added, 0 removed, 2 conflicts")
    sheet = openpyxl.load_workbook(path)["Sheet1"]
    # Account A's proposals, the new VPC's included, are /25 blocks now.
    assert [(r["vpc_id"], r["hpe"], r["crvn_cidr"]) for r in sheet_rows(sheet)] == [
        (one, True, "10.60.0.0/25"), (five, False, "10.64.5.0/27"), (two, False, "10.99.0.0/27"),
        (four, True, "10.63.0.0/25")]
    assert conflict_cells(sheet) == [
        ("J3", "Your value was kept, but it overlaps the VPC's subnet 10.64.5.0/24 (generate --refresh)"),
        ("J4", "Your value was kept, but it lies outside the VPC's blocks (10.61.0.0/16) (generate --refresh)")]


@pytest.mark.slow
def test_a_baseline_changed_by_hand_is_refused(tmp_path, sandbox):
    controller, aws, _, env = sandbox
    region = "ap-southeast-2"
    aws_sandbox.seed(aws.endpoint, {A: {region: [{"cidr": "10.70.0.0/16"}, {"cidr": "10.71.0.0/16"}]}})
    write_config(tmp_path, controller, [A], region)
    path = tmp_path / "vpcs.xlsx"
    assert generate(tmp_path, env, "-e", "vpcs.xlsx").returncode == 0
    edit_book(path, lambda book: book["generated"].delete_rows(3))
    before = path.read_bytes()
    controller.requests.clear()

    refused = generate(tmp_path, env, "-e", "vpcs.xlsx", "--refresh")

    assert (refused.returncode, last_lines(refused)) == (1, (
        "generate: error: vpcs.xlsx: cannot refresh: the hidden sheet 'generated', which holds the values generate "
        "wrote, was changed by hand (its rows no longer match their checksum), so your edits can no longer be told "
        "from what AWS changed; nothing was changed. To start over, run generate without --refresh to a new file "
        "(such as -e new.xlsx) and carry your edits over to it"))
    assert (refused.prompts, controller.requests) == (0, [])
    assert path.read_bytes() == before
