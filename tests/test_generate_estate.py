"""The estate as one address space (moto in-process, seeded through the sandbox): a VPC
shared through RAM listed once, every associated block searched, reserved ranges kept
free, the Overlaps sheet, and a refresh that follows a shared VPC to its owner."""
import logging
import sys

import openpyxl
import pytest
import yaml

import generator.generate as gen
from generator.config import ConfigError
from sandbox import aws as sandbox_aws
from tests.moto_support import handle, new_vpc

OWNER, APP, OTHER = "111111111111", "222222222222", "333333333333"
REGION = "us-east-1"


def write_config(folder, accounts, **defaults):
    (folder / "config.yaml").write_text(yaml.safe_dump({
        "account_ids": list(accounts),
        "aws_regions": [REGION],
        "controller": {"ip": "127.0.0.1:1", "username": "admin"},
        "defaults": {"role_name": "corvane-migration", "transit_gw_name": "tgw", **defaults},
    }, sort_keys=False))


def run_main(monkeypatch, folder, *args):
    logins = []
    monkeypatch.setattr(gen, "get_account_list", lambda config: logins.append(config) or [])
    monkeypatch.setattr(sys, "argv", ["generate", "-c", str(folder / "config.yaml"), *map(str, args)])
    monkeypatch.chdir(folder)
    gen.main()
    return logins


def sheets(path):
    book = openpyxl.load_workbook(path)
    return {sheet.title: [[cell.value for cell in row] for row in sheet.iter_rows()] for sheet in book.worksheets}


def first_sheet(path):
    rows = sheets(path)[openpyxl.load_workbook(path).sheetnames[0]]
    return [dict(zip(rows[0], row)) for row in rows[1:]]


def messages(caplog, level=logging.INFO):
    return [r.getMessage() for r in caplog.records if r.levelno >= level and r.name.startswith("generator")]


SHARED = {
    OWNER: {REGION: [{"cidr": "10.50.0.0/24", "name": "network", "subnets": ["10.50.0.0/27", "10.50.0.32/27"],
                      "shared_with": {APP: ["10.50.0.32/27"], OTHER: ["10.50.0.32/27"]}}]},
    APP: {REGION: [{"cidr": "10.70.0.0/24", "name": "app"}]},
    OTHER: {REGION: []},
}


@pytest.mark.parametrize("accounts", [(APP, OWNER, OTHER), (APP, OTHER)], ids=["owner walked", "owner not walked"])
def test_a_shared_vpc_is_listed_once(tmp_path, aws, monkeypatch, caplog, accounts):
    ids = sandbox_aws.seed(None, SHARED)
    network, = ids[OWNER][REGION]
    app, = ids[APP][REGION]
    write_config(tmp_path, accounts)
    caplog.set_level(logging.INFO, logger="generator")
    run_main(monkeypatch, tmp_path, "-e", "vpcs.xlsx", "-d", "inventory.yaml")

    rows = [(r["account_id"], r["vpc_id"], r["crvn_cidr"] or "") for r in first_sheet(tmp_path / "vpcs.xlsx")]
    inventory = yaml.safe_load((tmp_path / "inventory.yaml").read_text())["account_info"]
    listed = [(a["account_id"], v["vpc_id"], v["crvn_cidr"]) for a in inventory for r in a["regions"]
              for v in r["vpcs"]]
    coverage = {row[0]: row[4] for row in sheets(tmp_path / "vpcs.xlsx")["Coverage"][1:]}
    log = messages(caplog)
    if OWNER in accounts:
        # Under its owner, who sees every subnet: the first /27 free of both.
        expected = [(APP, app, "10.70.0.0/27"), (OWNER, network, "10.50.0.64/27")]
        for participant in (APP, OTHER):
            assert (f"vpc {network} in account {participant}, region {REGION} is shared from account {OWNER}: "
                    f"listed under its owner") in log
        assert coverage == {APP: 1, OWNER: 1, OTHER: 0}
    else:
        # Under the first participant, with no proposal: 10.50.0.0/27 is taken, and it cannot see that.
        expected = [(APP, app, "10.70.0.0/27"), (APP, network, "")]
        warning = (f"vpc {network} is shared from account {OWNER}, which this run does not walk: no crvn_cidr "
                   f"proposed (add {OWNER} to the accounts to get one)")
        assert messages(caplog, logging.WARNING).count(warning) == 1
        assert coverage == {APP: 2, OTHER: 0}
    assert rows == listed == expected
    assert any(line.startswith("Walk done in ") and ", VPCs 2," in line for line in log)


BLOCKS = {OWNER: {REGION: [
    # The primary block is full; a disassociated block is listed before the secondary one and never used.
    {"cidr": "10.0.0.0/24", "name": "full", "subnets": ["10.0.0.0/25", "10.0.0.128/25", "10.1.0.0/27"],
     "disassociated": ["10.2.0.0/24"], "secondary": ["10.1.0.0/24"]},
    {"cidr": "10.3.0.0/24", "name": "empty"},
]}}


@pytest.mark.parametrize("reserved, full, empty", [
    (None, "10.1.0.32/27", "10.3.0.0/27"),
    (["192.0.2.0/24"], "10.1.0.32/27", "10.3.0.0/27"),  # far away: changes nothing
    (["10.1.0.32/27", "10.3.0.0/26"], "10.1.0.64/27", "10.3.0.64/27"),  # pushes both proposals up
    (["10.1.0.0/24", "10.3.0.0/24"], "", ""),  # leaves no room at all
])
def test_every_associated_block_searched_and_reserved_ranges_kept_free(tmp_path, aws, monkeypatch, caplog, reserved,
                                                                       full, empty):
    ids = sandbox_aws.seed(None, BLOCKS)
    full_id, empty_id = ids[OWNER][REGION]
    write_config(tmp_path, [OWNER], **({} if reserved is None else {"reserved_cidrs": reserved}))
    caplog.set_level(logging.INFO, logger="generator")
    run_main(monkeypatch, tmp_path, "-e", "vpcs.xlsx", "-d", "inventory.yaml")
    rows = first_sheet(tmp_path / "vpcs.xlsx")
    assert [(r["vpc_id"], r["crvn_cidr"] or "") for r in rows] == [(full_id, full), (empty_id, empty)]
    inventory = (tmp_path / "inventory.yaml").read_text()
    assert "reserved" not in inventory and all("reserved_cidrs" not in r for r in rows)
    log = messages(caplog)
    secondary = (f"vpc {full_id}: no free /27 in its primary block 10.0.0.0/24; proposed {full} from its "
                 f"secondary block 10.1.0.0/24")
    assert (secondary in log) == bool(full)
    for vpc_id, proposal in ((full_id, full), (empty_id, empty)):
        assert (f"Could not compute crvn_cidr for vpc '{vpc_id}': No available subnets with prefix 27" in log) \
            == (not proposal)


def test_overlaps_sheet_row_by_row(tmp_path, aws, monkeypatch, caplog):
    # Each account keeps the default VPC AWS gives every region: the same 172.31.0.0/16.
    owner, app = handle(OWNER, REGION), handle(APP, REGION)
    defaults = {account: [v.id for v in ec2.vpcs.all() if v.is_default][0]
                for account, ec2 in ((OWNER, owner), (APP, app))}
    wide = new_vpc(owner, "10.0.0.0/16", name="wide", subnets=["10.0.0.0/24"]).id
    alone = new_vpc(owner, "192.168.0.0/24", name="alone").id
    inside = new_vpc(app, "10.0.1.0/24", name="inside", subnets=["10.0.1.0/25"]).id
    also = new_vpc(app, "10.0.128.0/17", name="also inside", subnets=["10.0.128.0/24"]).id
    write_config(tmp_path, [OWNER, APP])
    caplog.set_level(logging.INFO, logger="generator")
    run_main(monkeypatch, tmp_path, "-e", "vpcs.xlsx")

    book = sheets(tmp_path / "vpcs.xlsx")
    assert list(book)[1:3] == ["Coverage", "Overlaps"]
    proposal = {r["vpc_id"]: r["crvn_cidr"] for r in first_sheet(tmp_path / "vpcs.xlsx")}
    assert (proposal[wide], proposal[inside], proposal[also]) == ("10.0.1.0/27", "10.0.1.128/27", "10.0.129.0/27")
    at = {wide: f"{OWNER}/{REGION}/{wide} 10.0.0.0/16", inside: f"{APP}/{REGION}/{inside} 10.0.1.0/24",
          also: f"{APP}/{REGION}/{also} 10.0.128.0/17",
          defaults[OWNER]: f"{OWNER}/{REGION}/{defaults[OWNER]} 172.31.0.0/16",
          defaults[APP]: f"{APP}/{REGION}/{defaults[APP]} 172.31.0.0/16"}
    expected = [
        ["group", "account_id", "region", "vpc_id", "cidr", "is_default", "overlaps", "with"],
        # The wide block holds the two others, which do not touch: one group of three, through it.
        [1, OWNER, REGION, wide, "10.0.0.0/16", False, 2, f"{at[inside]}; {at[also]}"],
        [1, APP, REGION, inside, "10.0.1.0/24", False, 1, at[wide]],
        [1, APP, REGION, also, "10.0.128.0/17", False, 1, at[wide]],
        # Proposals that fall on another VPC's block follow their group's blocks.
        [1, OWNER, REGION, f"{wide} (proposal)", "10.0.1.0/27", False, 1, at[inside]],
        [1, APP, REGION, f"{inside} (proposal)", "10.0.1.128/27", False, 1, at[wide]],
        [1, APP, REGION, f"{also} (proposal)", "10.0.129.0/27", False, 1, at[wide]],
        [2, OWNER, REGION, defaults[OWNER], "172.31.0.0/16", True, 1, at[defaults[APP]]],
        [2, APP, REGION, defaults[APP], "172.31.0.0/16", True, 1, at[defaults[OWNER]]],
        [2, OWNER, REGION, f"{defaults[OWNER]} (proposal)", proposal[defaults[OWNER]], True, 1, at[defaults[APP]]],
        [2, APP, REGION, f"{defaults[APP]} (proposal)", proposal[defaults[APP]], True, 1, at[defaults[OWNER]]],
    ]
    assert book["Overlaps"] == expected
    assert alone not in str(book["Overlaps"])
    summary = "Overlaps: 5 blocks in 2 groups overlap (2 of them default VPCs): see the Overlaps sheet"
    assert summary in messages(caplog, logging.WARNING)

    # The inventory alone ends with the same line; an estate without overlaps says so at INFO.
    caplog.clear()
    run_main(monkeypatch, tmp_path, "-d", "inventory.yaml")
    assert summary in messages(caplog, logging.WARNING)
    caplog.clear()
    write_config(tmp_path, [OWNER])
    run_main(monkeypatch, tmp_path, "-e", "alone.xlsx")
    assert "Overlaps: none" in messages(caplog) and sheets(tmp_path / "alone.xlsx")["Overlaps"] == [expected[0]]


def test_refresh_follows_a_shared_vpc_to_its_owner(tmp_path, aws, monkeypatch):
    ids = sandbox_aws.seed(None, SHARED)
    network, = ids[OWNER][REGION]
    write_config(tmp_path, [APP])
    run_main(monkeypatch, tmp_path, "-e", "vpcs.xlsx")
    book = openpyxl.load_workbook(tmp_path / "vpcs.xlsx")
    sheet = book.worksheets[0]
    titles = [cell.value for cell in sheet[1]]
    for row in sheet.iter_rows(min_row=2):
        if row[titles.index("vpc_id")].value == network:
            row[titles.index("domain")].value = "shared-net"
    book.save(tmp_path / "vpcs.xlsx")

    write_config(tmp_path, [APP, OWNER])
    run_main(monkeypatch, tmp_path, "-e", "vpcs.xlsx", "--refresh")
    book = sheets(tmp_path / "vpcs.xlsx")
    rows = first_sheet(tmp_path / "vpcs.xlsx")
    moved = [r for r in rows if r["vpc_id"] == network]
    assert [(r["account_id"], r["domain"], r["crvn_cidr"]) for r in moved] == [(OWNER, "shared-net", "10.50.0.64/27")]
    assert network not in str(book.get("Removed", []))


def test_invalid_reserved_range_refused_before_the_prompt(tmp_path, aws, monkeypatch):
    write_config(tmp_path, [OWNER], reserved_cidrs=["10.0.0.0/8", "10.9.0.1/16"])
    with pytest.raises(ConfigError) as refused:
        logins = []
        monkeypatch.setattr(gen, "get_account_list", lambda config: logins.append(config) or [])
        monkeypatch.setattr(sys, "argv", ["generate", "-c", str(tmp_path / "config.yaml"), "-e",
                                          str(tmp_path / "x.xlsx")])
        gen.main()
    assert "defaults.reserved_cidrs.1: '10.9.0.1/16' is not an IPv4 network" in str(refused.value)
    assert logins == [] and not (tmp_path / "x.xlsx").exists()
