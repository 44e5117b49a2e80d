"""The migration tool's configuration model (tm.core.config) as generate and convert use it."""

import ipaddress
import json
import warnings
from importlib import resources

import pytest
import yaml
from pydantic import ValidationError

from tm.core.config import AccountInfo, load_from_dict


class Marked(str):
    """A str subtype, like the marker the YAML writer uses for quoted texts."""


def vpc(**fields):
    return {"vpc_id": "vpc-0a1b", "crvn_cidr": "10.8.0.0/25", **fields}


def account(**fields):
    data = {"account_id": "012345678901", "regions": [{"region": "us-east-1", "vpcs": [vpc()]}]}
    data.update(fields)
    return data


def error_locations(excinfo):
    return [".".join(str(part) for part in error["loc"]) for error in excinfo.value.errors()]


@pytest.mark.parametrize(
    "given, stored",
    [
        (12345678901, "012345678901"),
        (0, "000000000000"),
        (999999999999, "999999999999"),
        ("000000000042", "000000000042"),
        (Marked("123456789012"), "123456789012"),
    ],
)
def test_account_id_is_twelve_digit_text(given, stored):
    model = AccountInfo(account_id=given, regions=[])
    assert model.account_id == stored
    assert type(model.account_id) is str


@pytest.mark.parametrize(
    "given",
    [10**12, -1, True, 12345678901.0, "12345678901", "1234567890123", " 123456789012", "12345678901a", None, "１２３４５６７８９０１２"],
)
def test_account_id_refusals_name_the_field(given):
    with pytest.raises(ValidationError) as excinfo:
        AccountInfo(account_id=given, regions=[])
    assert error_locations(excinfo) == ["account_id"]


@pytest.mark.parametrize(
    "fields, location",
    [
        ({"hpe": "yes"}, "hpe"),
        ({"hpe": 1}, "hpe"),
        ({"managed_tgw": "false"}, "managed_tgw"),
        ({"account_name": 1234}, "account_name"),
        ({"filter_cidrs": "10.0.0.0/8"}, "filter_cidrs"),
        ({"filter_cidrs": ["10.0.0.1/8"]}, "filter_cidrs.0"),
        ({"filter_cidrs": ["10.0.0.0/8", "10.0.0.0/255.0.0.0"]}, "filter_cidrs.1"),
        ({"filter_cidrs": ["10.0.0.0"]}, "filter_cidrs.0"),
        ({"role_name": None}, "role_name"),
        ({"spoke_gw_size": 3}, "spoke_gw_size"),
        ({"region": "us-east-1"}, "region"),
        ({"regions": [{"region": "us-east-1"}]}, "regions.0.vpcs"),
        ({"regions": [{"region": "eu-west-1", "vpcs": [], "zone": "a"}]}, "regions.0.zone"),
        ({"regions": [{"region": "", "vpcs": [vpc()]}]}, "regions.0.region"),
        ({"regions": [{"region": " us-east-1", "vpcs": [vpc()]}]}, "regions.0.region"),
        ({"regions": [{"region": 1, "vpcs": [vpc()]}]}, "regions.0.region"),
        ({"regions": [{"region": "r", "vpcs": [vpc(encrypt="true")]}]}, "regions.0.vpcs.0.encrypt"),
        ({"regions": [{"region": "r", "vpcs": [vpc(inspection=0)]}]}, "regions.0.vpcs.0.inspection"),
        ({"regions": [{"region": "r", "vpcs": [vpc(crvn_cidr="10.8.0.1/25")]}]}, "regions.0.vpcs.0.crvn_cidr"),
        ({"regions": [{"region": "r", "vpcs": [vpc(crvn_cidr="10.8.0.0/33")]}]}, "regions.0.vpcs.0.crvn_cidr"),
        ({"regions": [{"region": "r", "vpcs": [vpc(spoke_routes=["10.1.0.0/16", "x"])]}]},
         "regions.0.vpcs.0.spoke_routes.1"),
        ({"regions": [{"region": "r", "vpcs": [vpc(gw_zones="us-east-1a")]}]}, "regions.0.vpcs.0.gw_zones"),
        ({"regions": [{"region": "r", "vpcs": [vpc(spoke_gw_tags=[{"key": "Name"}])]}]},
         "regions.0.vpcs.0.spoke_gw_tags.0.value"),
        ({"regions": [{"region": "r", "vpcs": [vpc(spoke_gw_tags=[{"key": "a", "value": "b", "c": "d"}])]}]},
         "regions.0.vpcs.0.spoke_gw_tags.0.c"),
        ({"regions": [{"region": "r", "vpcs": [vpc(transit_gw_name=None)]}]}, "regions.0.vpcs.0.transit_gw_name"),
        ({"regions": [{"region": "r", "vpcs": [vpc(subnet="x")]}]}, "regions.0.vpcs.0.subnet"),
    ],
)
def test_refusals_name_the_field(fields, location):
    with pytest.raises(ValidationError) as excinfo:
        AccountInfo(**account(**fields))
    assert error_locations(excinfo) == [location]


def test_accepts_the_generate_inventory_keys():
    data = {
        "account_id": "111111111111",
        "account_name": "prod",
        "regions": [{"region": "eu-west-1", "vpcs": [
            {"vpc_id": "vpc-1", "crvn_cidr": "", "spoke_gw_name": "prod-web", "transit_gw_name": ""},
        ]}],
        "hpe": False,
        "managed_tgw": None,
        "filter_cidrs": [ipaddress.IPv4Network("10.0.0.0/8"), "192.168.0.0/16"],
        "spoke_gw_size": None,
        "role_name": "corvane-migration",
    }
    parsed = json.loads(AccountInfo(**data).json(exclude_unset=True))
    assert list(parsed) == ["account_id", "account_name", "hpe", "managed_tgw", "filter_cidrs",
                            "spoke_gw_size", "role_name", "regions"]
    assert parsed["filter_cidrs"] == ["10.0.0.0/8", "192.168.0.0/16"]
    assert parsed["managed_tgw"] is None
    assert parsed["regions"][0]["vpcs"][0] == data["regions"][0]["vpcs"][0]


def test_exclude_unset_json_keeps_only_given_fields_in_model_order():
    # The keys arrive in the order convert builds them: account columns, then regions.
    given = {
        "regions": [{"vpcs": [{
            "transit_gw_name": Marked("tgw-east"),
            "spoke_routes": ["10.1.0.0/16"],
            "inspection": True,
            "spoke_gw_tags": [{"value": Marked("web"), "key": Marked("Name")}],
            "crvn_cidr": "",
            "vpc_id": "vpc-9",
        }], "region": "us-west-2"}],
        "role_name": Marked("ops"),
        "hpe": True,
        "account_id": 42,
    }
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        text = AccountInfo(**given).json(exclude_unset=True)
    assert text == json.dumps(
        {
            "account_id": "000000000042",
            "hpe": True,
            "role_name": "ops",
            "regions": [{"region": "us-west-2", "vpcs": [{
                "vpc_id": "vpc-9",
                "crvn_cidr": "",
                "spoke_gw_tags": [{"key": "Name", "value": "web"}],
                "inspection": True,
                "spoke_routes": ["10.1.0.0/16"],
                "transit_gw_name": "tgw-east",
            }]}],
        },
        separators=(",", ":"),
    )


def test_json_without_exclude_unset_fills_defaults():
    parsed = json.loads(AccountInfo(**account()).json())
    assert parsed["hpe"] is False
    assert parsed["regions"][0]["vpcs"][0]["gw_zones"] == []
    assert parsed["regions"][0]["vpcs"][0]["transit_gw_name"] == ""


def test_no_warning_from_json_or_fields_set():
    model = AccountInfo(**account(hpe=False))
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        model.json(exclude_unset=True)
        assert model.__fields_set__ == {"account_id", "hpe", "regions"}


def configuration(**fields):
    data = {"config": {"configure_gw_name": True}, "account_info": [account()]}
    data.update(fields)
    return data


def test_load_from_dict_returns_the_model():
    model = load_from_dict(configuration(label="wave 1"))
    assert model.label == "wave 1"
    assert model.config.configure_gw_name is True
    assert model.account_info[0].account_id == "012345678901"
    assert load_from_dict({"account_info": [account()]}).config.configure_gw_name is False


@pytest.mark.parametrize(
    "data, location",
    [
        (configuration(account_info=[]), "account_info"),
        ({"config": {}}, "account_info"),
        (configuration(extra=1), "extra"),
        (configuration(label=5), "label"),
        (configuration(config={"configure_gw_name": "true"}), "config.configure_gw_name"),
        (configuration(config={"configure_gw": True}), "config.configure_gw"),
        (configuration(config=None), "config"),
        (configuration(account_info=[account(), account(account_id="12")]), "account_info.1.account_id"),
        (configuration(account_info=[account(), account(account_id=12345678901)]), "account_info"),
    ],
)
def test_load_from_dict_refusals_name_the_field(data, location):
    with pytest.raises(ValidationError) as excinfo:
        load_from_dict(data)
    assert error_locations(excinfo) == [location]


def test_load_from_dict_refuses_a_non_mapping():
    with pytest.raises(ValidationError):
        load_from_dict([account()])


def test_shipped_template_accepts_an_account_list():
    text = (resources.files("generator") / "data" / "template.yaml").read_text(encoding="utf-8")
    template = yaml.safe_load(text)
    assert template["config"] == {"configure_gw_name": True}
    assert template["account_info"] == []
    assert "configure_gw_name: true\n" in text  # block style, as engineers edit it
    with pytest.raises(ValidationError):
        load_from_dict(template)
    entry = json.loads(AccountInfo(**account(account_name="prod")).json(exclude_unset=True))
    template["account_info"] = [entry]
    assert load_from_dict(template).account_info[0].account_name == "prod"
