"""Grouping workbook records into accounts, regions and VPCs, and checking them."""

import logging

import pytest

import generator.convert as cv

COLUMNS = cv.ACCOUNT_INFO_FIELDS + ["region"] + cv.VPC_FIELDS


def record(account="111122223333", region="us-east-1", vpc="vpc-1", **cells):
    """One workbook row as the reader hands it over: every column, empty cells as ""."""
    row = dict.fromkeys(COLUMNS, "")
    row.update(
        account_id=account,
        account_name=f"acct-{account}",
        role_name="tandrel-role",
        region=region,
        vpc_id=vpc,
        crvn_cidr="10.200.0.0/27",
        spoke_gw_name=f"gw-{vpc}",
        transit_gw_name="transit-1",
    )
    row.update(cells)
    return row


def vpc_ids(account_entry):
    return {r["region"]: [v["vpc_id"] for v in r["vpcs"]] for r in account_entry["regions"]}


def test_empty_record_list():
    assert cv.generate_tandrel_account_info([]) == {"account_info": []}


def test_grouping_keeps_first_appearance_order():
    rows = [
        record("111111111111", "r1", "vpc-a1"),
        record("222222222222", "r1", "vpc-b1"),
        record("111111111111", "r2", "vpc-a2"),
        record("111111111111", "r1", "vpc-a3"),
    ]
    accounts = cv.generate_tandrel_account_info(rows)["account_info"]
    assert [a["account_id"] for a in accounts] == ["111111111111", "222222222222"]
    assert [r["region"] for r in accounts[0]["regions"]] == ["r1", "r2"]
    assert vpc_ids(accounts[0]) == {"r1": ["vpc-a1", "vpc-a3"], "r2": ["vpc-a2"]}
    assert vpc_ids(accounts[1]) == {"r1": ["vpc-b1"]}
    assert list(accounts[0]["regions"][0]) == ["region", "vpcs"]


GW_NAMES = {"spoke_gw_name", "transit_gw_name"}


@pytest.mark.parametrize(
    "template, named",
    [
        (None, False),
        ({}, False),
        ({"label": "x"}, False),
        ({"config": {}}, False),
        ({"config": {"configure_gw_name": False}}, False),
        ({"config": {"configure_gw_name": "no"}}, False),
        ({"config": {"configure_gw_name": True}}, True),
        ({"config": {"configure_gw_name": "yes"}}, True),
    ],
)
def test_gateway_naming_setting(template, named):
    accounts = cv.generate_tandrel_account_info([record(), record(vpc="vpc-2")], template)["account_info"]
    for vpc in accounts[0]["regions"][0]["vpcs"]:
        assert (GW_NAMES <= set(vpc)) is named
        assert GW_NAMES.isdisjoint(vpc) is not named
    assert (GW_NAMES <= set(cv._get_vpc_data(record(), template))) is named


def test_gateway_names_with_empty_cells_are_left_out():
    vpc = cv._get_vpc_data(record(spoke_gw_name="", transit_gw_name=""), {"config": {"configure_gw_name": True}})
    assert GW_NAMES.isdisjoint(vpc)
    vpc = cv._get_vpc_data(record(spoke_gw_name=""), None)
    assert GW_NAMES.isdisjoint(vpc)


@pytest.mark.parametrize("config", [None, "yes", ["configure_gw_name"]])
def test_config_entry_must_be_a_mapping(config):
    with pytest.raises(TypeError, match="config"):
        cv._get_vpc_data(record(), {"config": config})


def test_vpc_entry_fields():
    row = record(
        crvn_cidr="",
        domain="",
        gw_zones="['us-east-1a', 'us-east-1b']",
        spoke_gw_tags="Name=web, Env=prod",
        encrypt=True,
        inspection="no",
        spoke_advertisement="10.0.0.0/8, 172.16.0.0/12",
        spoke_routes="10.0.0.0/8,172.16.0.0/12",
    )
    vpc = cv._get_vpc_data(row, {"config": {"configure_gw_name": True}})
    assert vpc == {
        "vpc_id": "vpc-1",
        "crvn_cidr": "",
        "gw_zones": ["us-east-1a", "us-east-1b"],
        "spoke_gw_tags": [{"key": "Name", "value": "web"}, {"key": "Env", "value": "prod"}],
        "encrypt": True,
        "inspection": False,
        "spoke_advertisement": "10.0.0.0/8, 172.16.0.0/12",
        "spoke_routes": ["10.0.0.0/8", "172.16.0.0/12"],
        "spoke_gw_name": "gw-vpc-1",
        "transit_gw_name": "transit-1",
    }
    assert list(vpc) == [c for c in cv.VPC_FIELDS if c in vpc]


def test_account_info_skips_empty_cells_and_formats():
    row = record(hpe="TRUE", managed_tgw=False, filter_cidrs="['10.0.0.0/8']", spoke_gw_size="")
    assert cv._get_account_info(row) == {
        "account_id": "111122223333",
        "account_name": "acct-111122223333",
        "hpe": True,
        "managed_tgw": False,
        "filter_cidrs": ["10.0.0.0/8"],
        "role_name": "tandrel-role",
    }


def test_crvn_cidr_empty_kept_and_domain_left_out_after_the_model():
    accounts = cv.generate_tandrel_account_info([record(crvn_cidr="", domain="")])["account_info"]
    vpc = accounts[0]["regions"][0]["vpcs"][0]
    assert vpc["crvn_cidr"] == ""
    assert "domain" not in vpc


def test_only_cells_present_reach_the_entry():
    accounts = cv.generate_tandrel_account_info([record()])["account_info"]
    entry = accounts[0]
    assert set(entry) == {"account_id", "account_name", "role_name", "regions"}
    assert set(entry["regions"][0]["vpcs"][0]) == {"vpc_id", "crvn_cidr"}


def test_agreeing_rows_give_one_account():
    rows = [record(vpc="vpc-1", hpe=True), record(vpc="vpc-2", hpe="yes"), record(region="eu-west-1", vpc="vpc-3")]
    rows[2]["hpe"] = "TRUE"
    accounts = cv.generate_tandrel_account_info(rows)["account_info"]
    assert len(accounts) == 1
    assert accounts[0]["hpe"] is True


@pytest.mark.parametrize(
    "changes, message",
    [
        ({"role_name": "other-role"}, "row 4, column role_name: 'other-role', but 'tandrel-role' in row 2 of "
                                      "account 111122223333; every row of an account must agree"),
        ({"hpe": ""}, "row 4, column hpe: empty, but True in row 2 of account 111122223333; every row of an "
                      "account must agree"),
        ({"filter_cidrs": "10.1.0.0/16"}, "row 4, column filter_cidrs: ['10.1.0.0/16'], but ['10.0.0.0/8'] in row 2 "
                                          "of account 111122223333; every row of an account must agree"),
    ],
)
def test_disagreeing_rows(changes, message):
    rows = [
        record(vpc="vpc-1", hpe=True, filter_cidrs="10.0.0.0/8"),
        record("999988887777", vpc="vpc-9"),
        record(vpc="vpc-2", **{"hpe": True, "filter_cidrs": "10.0.0.0/8", **changes}),
    ]
    with pytest.raises(ValueError) as err:
        cv.generate_tandrel_account_info(rows)
    assert str(err.value) == message


@pytest.mark.parametrize(
    "ids, message",
    [
        (["111122223333", 111122223333, "111122223333"],
         "row 3, column account_id: 111122223333, but '111122223333' in row 2 of account 111122223333 "
         "(a number in one row and text in the other; give every row of the account the same form)"),
        ([12345678901, "999988887777", "012345678901"],
         "row 4, column account_id: '012345678901', but 12345678901 in row 2 of account 012345678901 "
         "(a number in one row and text in the other; give every row of the account the same form)"),
    ],
)
def test_one_account_typed_as_number_and_as_text(ids, message):
    rows = [record(account, vpc=f"vpc-{i}", account_name="acct") for i, account in enumerate(ids)]
    with pytest.raises(ValueError) as err:
        cv.generate_tandrel_account_info(rows)
    assert str(err.value) == message


def test_account_ids_typed_as_numbers_alike_give_one_account():
    rows = [record(111122223333, vpc="vpc-1", account_name="a"), record(111122223333, vpc="vpc-2", account_name="a")]
    accounts = cv.generate_tandrel_account_info(rows)["account_info"]
    assert [a["account_id"] for a in accounts] == ["111122223333"]


class Captured:
    """Stands in for the account model: keeps what it was given, renders it back."""

    seen = []

    def __init__(self, **fields):
        self.fields = fields
        Captured.seen.append(fields)

    def json(self, exclude_unset):
        assert exclude_unset is True
        return cv.json.dumps(self.fields)


def test_rows_without_account_data_before_the_first_with_data(monkeypatch):
    monkeypatch.setattr(cv, "AccountInfo", Captured)
    Captured.seen = []
    blank = record(account="", vpc="vpc-1")
    for column in cv.ACCOUNT_INFO_FIELDS:
        blank[column] = ""
    named = record(account="", vpc="vpc-2")
    accounts = cv.generate_tandrel_account_info([blank, named])["account_info"]
    assert accounts[0]["account_name"] == "acct-"
    assert vpc_ids(accounts[0]) == {"us-east-1": ["vpc-1", "vpc-2"]}
    with pytest.raises(ValueError, match="row 3, column account_name: empty, but 'acct-' in row 2 of the account"):
        cv.generate_tandrel_account_info([named, blank])


def test_entries_come_back_through_the_model_json(monkeypatch):
    monkeypatch.setattr(cv, "AccountInfo", Captured)
    Captured.seen = []
    accounts = cv.generate_tandrel_account_info([record(hpe=True)])["account_info"]
    assert list(Captured.seen[0]) == ["account_id", "account_name", "hpe", "role_name", "regions"]
    assert accounts[0] == cv.json.loads(cv.json.dumps(Captured.seen[0]))
    assert accounts[0] is not Captured.seen[0]


@pytest.mark.parametrize(
    "index, column, cell, error, detail",
    [
        (0, "spoke_gw_tags", "Name=web,a=b=c", ValueError, "tag 'a=b=c'"),
        (2, "encrypt", "maybe", ValueError, "'maybe'"),
        (1, "hpe", "perhaps", ValueError, "'perhaps'"),
        (2, "gw_zones", 3, ValueError, "got 3"),
        (1, "spoke_gw_tags", 7.5, ValueError, "got 7.5"),
    ],
)
def test_cell_errors_name_row_and_column(index, column, cell, error, detail):
    rows = [record(vpc="vpc-1"), record(vpc="vpc-2"), record("999988887777", vpc="vpc-3")]
    rows[index][column] = cell
    with pytest.raises(error) as err:
        cv.generate_tandrel_account_info(rows)
    assert str(err.value).startswith(f"row {index + 2}, column {column}: ")
    assert detail in str(err.value) and "\n" not in str(err.value)


@pytest.mark.parametrize("cells, lines", [
    ({"spoke_gw_tags": "a=b=c", "spoke_routes": "10.0.0.300/16"}, [
        "row 2, column spoke_gw_tags: tag 'a=b=c' must be one key=value pair (exactly one '=')",
        "row 2, column spoke_routes, item 1: '10.0.0.300/16' is not an IPv4 network: Octet 300 (> 255) not "
        "permitted in '10.0.0.300'"]),
    ({"hpe": "maybe", "filter_cidrs": "10.1.0.0/33", "encrypt": "perhaps", "crvn_cidr": "10.2.0.0/99"}, [
        "row 2, column hpe: not a yes/no value: 'maybe' (use true/false, yes/no, y/n, 1/0 or on/off)",
        "row 2, column encrypt: not a yes/no value: 'perhaps' (use true/false, yes/no, y/n, 1/0 or on/off)",
        "row 2, column filter_cidrs, item 1: '10.1.0.0/33' is not an IPv4 network: '33' is not a valid netmask",
        "row 2, column crvn_cidr: '10.2.0.0/99' is not an IPv4 network: '99' is not a valid netmask"]),
], ids=["vpc-cells", "account-and-vpc-cells"])
def test_a_row_with_a_refused_cell_still_has_its_other_cells_checked(cells, lines):
    with pytest.raises(ValueError) as err:
        cv.generate_tandrel_account_info([record(**cells)])
    assert str(err.value).splitlines() == [f"the workbook has {len(lines)} mistakes:", *lines]


def test_cell_errors_outside_a_sheet_name_the_column():
    with pytest.raises(ValueError, match=r"^column managed_tgw: not a yes/no value: 'sometimes'"):
        cv._get_account_info(record(managed_tgw="sometimes"))


def test_missing_columns_named_once():
    rows = [record(), record(vpc="vpc-2")]
    for row in rows:
        del row["domain"], row["region"]
    with pytest.raises(KeyError) as err:
        cv.generate_tandrel_account_info(rows)
    assert err.value.args == ("columns not in the workbook: region, domain",)


def test_missing_column_in_a_later_record_names_its_row():
    rows = [record(), record(vpc="vpc-2")]
    del rows[1]["encrypt"]
    with pytest.raises(KeyError) as err:
        cv.generate_tandrel_account_info(rows)
    assert err.value.args == ("row 3 has no column encrypt",)


def test_model_refusal_passes_unchanged(monkeypatch):
    class Refused(Exception):
        pass

    def refuse(**fields):
        raise Refused(sorted(fields))

    monkeypatch.setattr(cv, "AccountInfo", refuse)
    with pytest.raises(Refused) as err:
        cv.generate_tandrel_account_info([record()])
    assert err.value.args[0] == ["account_id", "account_name", "regions", "role_name"]


def test_model_refusal_names_rows_and_columns():
    rows = [
        record(vpc="vpc-1"),
        record("999988887777", vpc="vpc-2", spoke_gw_size=3),
        record("999988887777", "eu-west-1", vpc="vpc-3", spoke_routes="10.0.0.0/8, 10.0.0.0/33", spoke_gw_size=3),
    ]
    with pytest.raises(ValueError) as err:
        cv.generate_tandrel_account_info(rows)
    assert str(err.value).splitlines() == [
        "the workbook has 2 mistakes:",
        "row 3, column spoke_gw_size: Input should be a valid string (got 3)",  # the account's first row
        "row 4, column spoke_routes, item 2: '10.0.0.0/33' is not an IPv4 network: '33' is not a valid netmask",
    ]
    assert "pydantic" not in str(err.value) and "type=" not in str(err.value)


def test_model_refusal_of_an_account_id():
    with pytest.raises(ValueError, match=r"^row 2, column account_id: an account ID is 12 digits, not '12'$"):
        cv.generate_tandrel_account_info([record("12")])


def test_validate_calls_load_from_dict(monkeypatch):
    seen = []
    monkeypatch.setattr(cv, "load_from_dict", lambda data: seen.append(data) or "model")
    config = {"label": "x"}
    assert cv._validate_tandrel_config(config) is None
    assert seen == [config] and seen[0] is config


def test_debug_dumps_only_at_debug(monkeypatch, caplog):
    calls = []
    monkeypatch.setattr(cv, "pformat", lambda obj: calls.append(obj) or "dump")
    rows = [record(), record(vpc="vpc-2")]
    with caplog.at_level(logging.INFO, logger="generator"):
        cv.generate_tandrel_account_info(rows)
    assert calls == [], "no dump is built when DEBUG is off"
    with caplog.at_level(logging.DEBUG, logger="generator"):
        cv.generate_tandrel_account_info(rows)
    messages = [(r.funcName, r.msg) for r in caplog.records if r.name == "generator.convert"]
    assert {f for f, _ in messages} == {"generate_tandrel_account_info"}
    assert [m for _, m in messages] == ["Record:\n%s"] * 2 + ["Parsing VPC Record:\n%s", "VPC Data:\n%s"] * 2 + [
        "Region Data:\n%s", "Account Data:\n%s"]
    assert len(calls) == 8


def test_an_error_while_looking_up_a_formatter_passes_unchanged(monkeypatch):
    import collections.abc

    class Formatters(collections.abc.Mapping):
        def __getitem__(self, column):
            raise KeyError(column)

        def __iter__(self):
            return iter(())

        def __len__(self):
            return 0

        def __contains__(self, column):
            raise RuntimeError(f"cannot look up {column}")

    monkeypatch.setattr(cv, "FIELD_FORMATTERS", Formatters())
    with pytest.raises(RuntimeError, match="cannot look up account_id"):
        cv._get_account_info(record())


def test_assembly_calls_the_record_helpers_through_the_module(monkeypatch):
    calls = []

    def account_info(record):
        calls.append(("account", record["vpc_id"]))
        return {"account_id": record["account_id"]}

    def vpc_data(record, tm_config=None):
        calls.append(("vpc", record["vpc_id"], tm_config))
        return {"vpc_id": record["vpc_id"]}

    monkeypatch.setattr(cv, "_get_account_info", account_info)
    monkeypatch.setattr(cv, "_get_vpc_data", vpc_data)
    template = {"config": {"configure_gw_name": True}}
    rows = [{"account_id": "111122223333", "region": "r1", "vpc_id": v} for v in ("vpc-1", "vpc-2")]
    accounts = cv.generate_tandrel_account_info(rows, template)["account_info"]
    assert calls == [("account", "vpc-1"), ("vpc", "vpc-1", template), ("account", "vpc-2"), ("vpc", "vpc-2", template)]
    assert accounts == [{"account_id": "111122223333", "regions": [
        {"region": "r1", "vpcs": [{"vpc_id": "vpc-1"}, {"vpc_id": "vpc-2"}]}]}]

    # A replacement's refusals keep their rows, like the module's own helpers'.
    def refusing_vpc_data(record, tm_config=None):
        if record["vpc_id"] == "vpc-2":
            raise ValueError("column vpc_id: not this one\ncolumn domain: nor this")
        return {"vpc_id": record["vpc_id"]}

    monkeypatch.setattr(cv, "_get_vpc_data", refusing_vpc_data)
    with pytest.raises(ValueError) as err:
        cv.generate_tandrel_account_info(rows, template)
    assert str(err.value).splitlines() == [
        "the workbook has 2 mistakes:", "row 3, column vpc_id: not this one", "row 3, column domain: nor this"]


def test_model_refusal_with_an_odd_location_is_named_by_it(monkeypatch):
    class Refusal(Exception):
        def errors(self):
            return [{"loc": ("regions", 10**30, "vpcs", 0, "vpc_id"), "msg": "refused", "type": "value_error"}]

        @classmethod
        def from_exception_data(cls, title, details):
            return cls(title, details)

    def refuse(**fields):
        raise Refusal("as raised")

    monkeypatch.setattr(cv, "AccountInfo", refuse)
    with pytest.raises(ValueError) as err:
        cv.generate_tandrel_account_info([record()])
    assert str(err.value) == f"regions.{10**30}.vpcs.0.vpc_id: refused"
