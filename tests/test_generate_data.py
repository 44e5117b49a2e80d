"""Workbook rows and the minimal inventory, built in-process against moto's AWS."""
import logging

import pydantic
import pytest
import yaml

import generator.generate as gen
from tests.moto_support import handle, new_vpc, vpc_ids

A = "111111111111"
B = "222222222222"
REGIONS = ["eu-west-1", "us-west-2"]
CONTROLLER_ACCOUNTS = [
    {"account_number": A, "account_name": "prod", "cloud_type": 1},
    {"account_number": "333333333333", "account_name": "other"},
]


def load(tmp_path, defaults, regions=REGIONS, accounts=(A, B)):
    body = {
        "account_ids": list(accounts),
        "aws_regions": regions,
        "controller": {"ip": "127.0.0.1:1", "username": "admin"},
        "defaults": {"role_name": "corvane-migration", **defaults},
    }
    path = tmp_path / "config.yaml"
    path.write_text(yaml.safe_dump(body, sort_keys=False))
    return gen.load_config(path)


@pytest.fixture
def controller_list(monkeypatch):
    """The controller's answer, without the password prompt; records the configs it was asked with."""
    asked = []

    def fake(config):
        asked.append(config)
        return CONTROLLER_ACCOUNTS

    monkeypatch.setattr(gen, "get_account_list", fake)
    return asked


@pytest.fixture
def estate(aws):
    """A: eu-west-1 with a named VPC (one subnet) and an unnamed one, us-west-2 empty.
    B: eu-west-1 empty, us-west-2 with one full VPC."""
    ec2 = {(acc, region): handle(acc, region, clear_default=True) for acc in (A, B) for region in REGIONS}
    web = new_vpc(ec2[A, "eu-west-1"], "10.0.0.0/24", name="prod web", subnets=["10.0.0.0/25"])
    bare = new_vpc(ec2[A, "eu-west-1"], "10.1.0.0/16")
    full = new_vpc(ec2[B, "us-west-2"], "10.2.0.0/24", name="full", subnets=["10.2.0.0/24"])
    order = vpc_ids(ec2[A, "eu-west-1"])
    assert sorted(order) == sorted([web.id, bare.id])
    return {"web": web, "bare": bare, "full": full, "order": order}


# ------------------------------------------------------------------ helpers


@pytest.mark.parametrize("value, expected", [(None, ""), (False, False), (True, True), ("x", "x"), (0, 0)])
def test_bool_or_null(value, expected):
    result = gen._bool_or_null(value)
    assert result == expected and type(result) is type(expected)


@pytest.mark.parametrize(
    "items, expected",
    [(None, ""), ([], []), (("a", 1), ["a", "1"]), (iter(["z"]), ["z"])],
)
def test_list_or_null(items, expected):
    assert gen._list_or_null(items) == expected


def test_list_or_null_of_networks():
    import ipaddress

    nets = [ipaddress.ip_network("10.10.0.0/16"), ipaddress.ip_network("10.20.0.0/16")]
    assert gen._list_or_null(nets) == ["10.10.0.0/16", "10.20.0.0/16"]


def test_module_constants():
    assert gen.HEADERS == [
        "account_id", "account_name", "hpe", "managed_tgw", "filter_cidrs", "spoke_gw_size", "role_name", "region",
        "vpc_id", "crvn_cidr", "gw_zones", "spoke_gw_tags", "domain", "encrypt", "inspection",
        "spoke_advertisement", "spoke_routes", "spoke_gw_name", "transit_gw_name",
    ]
    assert gen.MIN_ACCOUNT_INFO_FIELDS == ["hpe", "managed_tgw", "filter_cidrs", "spoke_gw_size", "role_name"]
    assert gen.NULL == "" and gen.VPC_PAGE_SIZE == 64 and gen.SUBNET_PAGE_SIZE == 64
    assert issubclass(gen.CorvaneError, Exception) and gen.CorvaneError.__bases__ == (Exception,)
    assert gen.CorvaneError.__module__ == "generator.generate"
    assert gen.log.name == "generator.generate"


# --------------------------------------------------------------------- rows


FULL_DEFAULTS = {
    "hpe": True,
    "managed_tgw": False,
    "encrypt": True,
    "filter_cidrs": ["10.10.0.0/16", "10.20.0.0/16"],
    "gw_zones": ["eu-west-1a", "eu-west-1b"],
    "spoke_gw_size": "t3.medium",
    "transit_gw_name": "tgw-main",
    "domain": "prod",
}


def test_rows_one_per_vpc_in_account_region_vpc_order(tmp_path, estate, controller_list):
    config = load(tmp_path, FULL_DEFAULTS)
    rows = gen.generate_tandrel_excel_data(config)

    assert controller_list == [config]
    assert [(r["account_id"], r["region"], r["vpc_id"]) for r in rows] == [
        (A, "eu-west-1", estate["order"][0]),
        (A, "eu-west-1", estate["order"][1]),
        (B, "us-west-2", estate["full"].id),
    ]
    for row in rows:
        assert list(row) == gen.HEADERS
        assert {k: row[k] for k in gen.HEADERS if k not in ("account_id", "account_name", "region", "vpc_id",
                                                          "crvn_cidr", "spoke_gw_name")} == {
            "hpe": True, "managed_tgw": False, "filter_cidrs": ["10.10.0.0/16", "10.20.0.0/16"],
            "spoke_gw_size": "t3.medium", "role_name": "corvane-migration", "gw_zones": ["eu-west-1a", "eu-west-1b"],
            "spoke_gw_tags": "", "domain": "prod", "encrypt": True, "inspection": "", "spoke_advertisement": "",
            "spoke_routes": "", "transit_gw_name": "tgw-main",
        }
    by_vpc = {r["vpc_id"]: r for r in rows}
    web, bare, full = (by_vpc[estate[k].id] for k in ("web", "bare", "full"))
    assert (web["account_name"], web["crvn_cidr"], web["spoke_gw_name"]) == ("prod", "10.0.0.128/25", "prod_web-CRVGW")
    assert (bare["crvn_cidr"], bare["spoke_gw_name"]) == ("10.1.0.0/25", estate["bare"].id[:23] + "-CRVGW")
    assert (full["account_name"], full["crvn_cidr"], full["spoke_gw_name"]) == (None, "", "full-CRVGW")


def test_rows_with_defaults_left_out(tmp_path, estate, controller_list):
    rows = gen.generate_tandrel_excel_data(load(tmp_path, {}, accounts=(A,)))
    assert len(rows) == 2
    for row in rows:
        assert row["hpe"] is False
        assert row["crvn_cidr"] in ("10.0.0.128/27", "10.1.0.0/27")
        for key in ("managed_tgw", "filter_cidrs", "spoke_gw_size", "gw_zones", "domain", "encrypt", "inspection",
                    "transit_gw_name"):
            assert row[key] == "", key


def test_falsy_defaults_of_any_configuration_object(estate, controller_list):
    """A configuration object other than load_config's, with empty and null defaults:
    `or NULL` columns turn every falsy value into NULL, hpe is copied even when null,
    and false booleans stay false."""
    from types import SimpleNamespace

    defaults = SimpleNamespace(
        add_vpc_cidr=0, hpe=None, role_name="corvane-migration", managed_tgw=False, encrypt=None, inspection=False,
        filter_cidrs=(), gw_zones=None, spoke_gw_size="", transit_gw_name=0, domain=[],
        __fields_set__={"managed_tgw", "spoke_gw_size", "add_vpc_cidr"},
    )
    config = SimpleNamespace(account_ids=[B], aws_regions=["us-west-2"], defaults=defaults)
    [row] = gen.generate_tandrel_excel_data(config)
    assert list(row) == gen.HEADERS
    assert {k: row[k] for k in ("hpe", "managed_tgw", "filter_cidrs", "spoke_gw_size", "gw_zones", "domain",
                                "encrypt", "inspection", "transit_gw_name", "crvn_cidr")} == {
        "hpe": None, "managed_tgw": False, "filter_cidrs": [], "spoke_gw_size": "", "gw_zones": "", "domain": "",
        "encrypt": "", "inspection": False, "transit_gw_name": "", "crvn_cidr": "",
    }
    assert row["inspection"] is False and row["managed_tgw"] is False

    [entry] = gen.generate_min_tandrel_yaml(config)["account_info"]
    assert list(entry) == ["account_id", "account_name", "managed_tgw", "spoke_gw_size", "regions"]
    assert (entry["managed_tgw"], entry["spoke_gw_size"]) == (False, "")  # set, though falsy
    assert entry["regions"][0]["vpcs"][0]["transit_gw_name"] == ""


def test_add_vpc_cidr_skips_the_computation(tmp_path, estate, controller_list, monkeypatch):
    def refuse(*args):
        raise AssertionError("compute_crvn_cidr called")

    monkeypatch.setattr(gen, "compute_crvn_cidr", refuse)
    config = load(tmp_path, {"add_vpc_cidr": True})
    rows = gen.generate_tandrel_excel_data(config)
    assert len(rows) == 3 and all(r["crvn_cidr"] == "" for r in rows)
    inventory = gen.generate_min_tandrel_yaml(config)
    crvn = [v["crvn_cidr"] for a in inventory["account_info"] for r in a["regions"] for v in r["vpcs"]]
    assert crvn == ["", "", ""]


def test_no_vpc_anywhere_gives_no_rows(tmp_path, aws, controller_list, aws_calls):
    for acc in (A, B):
        for region in REGIONS:
            handle(acc, region, clear_default=True)
    assert gen.generate_tandrel_excel_data(load(tmp_path, {})) == []
    assert sorted(aws_calls.operations("AssumeRole")) == [(A, "eu-west-1", "AssumeRole"), (B, "eu-west-1", "AssumeRole")]
    assert aws_calls.operations("DescribeSubnets") == []  # no VPC, nothing to compute


@pytest.mark.parametrize("regions", [[], None])
def test_regions_from_aws_when_none_configured(tmp_path, estate, controller_list, aws_calls, regions):
    aws_calls.answer("DescribeRegions", {"Regions": [{"RegionName": "us-west-2", "Endpoint": "x"}]})
    rows = gen.generate_tandrel_excel_data(load(tmp_path, {}, regions=regions))
    assert sorted(aws_calls.operations("DescribeRegions")) == [(A, "us-east-1", "DescribeRegions"),
                                                               (B, "us-east-1", "DescribeRegions")]
    assert [(r["account_id"], r["vpc_id"]) for r in rows] == [(B, estate["full"].id)]


def test_row_debug_dump(tmp_path, estate, controller_list, caplog):
    caplog.set_level(logging.DEBUG, logger="generator.generate")
    rows = gen.generate_tandrel_excel_data(load(tmp_path, {}, accounts=(B,)))
    dumps = [r for r in caplog.records if r.msg == "Row Data:\n%s"]
    assert [r.args for r in dumps] == [(gen.pformat(rows[0]),)]
    assert dumps[0].funcName == "generate_tandrel_excel_data"
    info = [r.getMessage() for r in caplog.records if r.levelno == logging.INFO]
    assert info[:1] == [f"Discovering info for account {B}"] and len(info) == 4
    assert info[1].startswith("Walk done in ") and info[1].endswith(
        " s: accounts 1, regions 2, VPCs 1, VPCs without a free block 1, regions skipped 0")
    assert info[2:] == ["Coverage: 2 ok, 0 skipped, 0 failed of 2 account-regions", "Overlaps: none"]


# ---------------------------------------------------------------- inventory


def test_inventory_layout(tmp_path, estate, controller_list):
    config = load(tmp_path, {"hpe": False, "role_name": "corvane-migration", "transit_gw_name": "tgw-main",
                             "domain": "prod", "encrypt": True})
    inventory = gen.generate_min_tandrel_yaml(config)

    assert controller_list == [config]
    assert list(inventory) == ["account_info"]
    first, second = inventory["account_info"]
    assert list(first) == ["account_id", "account_name", "hpe", "role_name", "regions"]
    assert (first["account_id"], first["account_name"], first["hpe"], first["role_name"]) == (
        A, "prod", False, "corvane-migration")
    assert [r["region"] for r in first["regions"]] == REGIONS
    vpcs = first["regions"][0]["vpcs"]
    assert [v["vpc_id"] for v in vpcs] == estate["order"]
    web = next(v for v in vpcs if v["vpc_id"] == estate["web"].id)
    assert web == {"vpc_id": estate["web"].id, "crvn_cidr": "10.0.0.128/27", "spoke_gw_name": "prod_web-CRVGW",
                   "transit_gw_name": "tgw-main"}
    assert list(web) == ["vpc_id", "crvn_cidr", "spoke_gw_name", "transit_gw_name"]
    assert first["regions"][1] == {"region": "us-west-2", "vpcs": []}
    assert second["account_name"] is None
    assert second["regions"][0] == {"region": "eu-west-1", "vpcs": []}
    assert second["regions"][1]["vpcs"] == [{"vpc_id": estate["full"].id, "crvn_cidr": "",
                                              "spoke_gw_name": "full-CRVGW", "transit_gw_name": "tgw-main"}]


@pytest.mark.parametrize(
    "defaults, expected_keys",
    [
        # role_name is a required key of the file, so it is always set
        ({}, ["account_id", "account_name", "role_name", "regions"]),
        ({"hpe": False}, ["account_id", "account_name", "hpe", "role_name", "regions"]),
        ({"managed_tgw": None, "spoke_gw_size": "t3.large", "filter_cidrs": ["10.0.0.0/8"], "domain": "x"},
         ["account_id", "account_name", "managed_tgw", "filter_cidrs", "spoke_gw_size", "role_name", "regions"]),
    ],
)
def test_inventory_carries_only_defaults_set_in_the_file(tmp_path, estate, controller_list, defaults, expected_keys):
    inventory = gen.generate_min_tandrel_yaml(load(tmp_path, defaults, accounts=(A,)))
    [entry] = inventory["account_info"]
    assert list(entry) == expected_keys
    for key in set(expected_keys) & set(defaults):
        assert entry[key] == defaults[key]
    vpc = entry["regions"][0]["vpcs"][0]
    assert vpc["transit_gw_name"] == ""


def test_inventory_refused_by_the_account_model(tmp_path, estate, controller_list, monkeypatch):
    monkeypatch.setattr(gen, "get_acct_name", lambda account_id, account_list: 42)  # a name must be text
    with pytest.raises(pydantic.ValidationError):
        gen.generate_min_tandrel_yaml(load(tmp_path, {}, accounts=(A,)))


def test_inventory_debug_dumps(tmp_path, estate, controller_list, caplog):
    caplog.set_level(logging.DEBUG, logger="generator.generate")
    gen.generate_min_tandrel_yaml(load(tmp_path, {"hpe": True}, accounts=(B,)))
    own = [r for r in caplog.records if r.funcName == "generate_min_tandrel_yaml"]
    assert [r.msg for r in own] == [
        "Discovering info for account %s",
        "Account %s is not in the Corvane Controller's account list: its account_name stays empty",
        "Account Info data:\n%s",
        "Region Data:\n%s",
        "VPC Data:\n%s",
        "Region Data:\n%s",
        "Account Data:\n%s",
        "Accounts:\n%s",
        "Walk done in %.1f s: accounts %s, regions %s, VPCs %s, VPCs without a free block %s, regions skipped %s",
        "Coverage: %s ok, %s skipped, %s failed of %s account-regions",
        "Overlaps: none",
    ]
    assert own[1].levelname == "WARNING" and own[1].args == (B,)  # the controller does not list B
    assert own[2].args == (gen.pformat({"account_id": B, "account_name": None, "regions": [], "hpe": True,
                                        "role_name": "corvane-migration"}),)


def test_dumps_not_built_below_debug(tmp_path, estate, controller_list, monkeypatch, caplog):
    def refuse(value):
        raise AssertionError("pretty-printed with DEBUG disabled")

    monkeypatch.setattr(gen, "pformat", refuse)
    caplog.set_level(logging.INFO, logger="generator.generate")
    config = load(tmp_path, {})
    assert len(gen.generate_tandrel_excel_data(config)) == 3
    assert len(gen.generate_min_tandrel_yaml(config)["account_info"]) == 2


def test_own_quoted_machinery():
    data = {"a": ["x", 1, None, {"b": "0123"}], "c": True}
    quoted = gen._recurse_quoted(data)
    assert data == {"a": ["x", 1, None, {"b": "0123"}], "c": True} and type(data["a"][0]) is str
    assert type(quoted["a"][0]) is gen._quoted and type(quoted["a"][3]["b"]) is gen._quoted
    assert [type(k) for k in quoted] == [str, str]
    assert gen._quoted.__bases__ == (str,) and gen._quoted.__module__ == "generator.generate"
    dumper = type("QuotedDumper", (yaml.Dumper,), {})
    dumper.add_representer(gen._quoted, gen._quoted_presenter)
    assert yaml.dump(quoted, Dumper=dumper, sort_keys=False) == (
        'a:\n- "x"\n- 1\n- null\n- b: "0123"\nc: true\n'
    )
