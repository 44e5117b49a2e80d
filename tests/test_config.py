"""The generate command's configuration file (generator.config.load_config)."""

import ipaddress
import json
import os
import textwrap
import warnings
from importlib import resources
from pathlib import Path

import pytest

from generator.config import ConfigError, load_config
from tm.core.config import AccountInfo

EXAMPLE = Path(str(resources.files("generator") / "data" / "config.yaml"))

MINIMAL = """\
account_ids: ["012345678901"]
controller: {ip: ctrl.example.net, username: admin}
defaults: {role_name: ops}
"""


def write(tmp_path, text, name="config.yaml"):
    path = tmp_path / name
    path.write_text(textwrap.dedent(text), encoding="utf-8")
    return path


def test_example_loads_with_every_key_documented():
    config = load_config(EXAMPLE)
    assert config.account_ids == ["111111111111", "222222222222"]
    assert config.aws_regions == ["us-east-1", "eu-west-1"]
    assert (config.controller.ip, config.controller.username) == ("203.0.113.10", "admin")
    assert config.defaults.role_name == "corvane-migration"
    previous = ""
    for line in EXAMPLE.read_text(encoding="utf-8").splitlines():
        if line.strip() and not line.lstrip().startswith("#"):
            # a key is explained on its own line or by the comment just above it
            assert "#" in line or previous.lstrip().startswith("#"), f"key without a comment: {line}"
        if line.strip():
            previous = line


def test_example_set_fields_are_accepted_by_the_account_model():
    # generate copies the explicitly given account defaults into each inventory account.
    defaults = load_config(EXAMPLE).defaults
    fields = {name: getattr(defaults, name)
              for name in ("hpe", "managed_tgw", "filter_cidrs", "spoke_gw_size", "role_name")
              if name in defaults.__fields_set__}
    assert set(fields) == {"hpe", "managed_tgw", "filter_cidrs", "spoke_gw_size", "role_name"}
    entry = json.loads(AccountInfo(account_id="111111111111", regions=[], **fields).json(exclude_unset=True))
    assert entry["managed_tgw"] is None and entry["hpe"] is False


def test_minimal_file_fills_defaults_and_tracks_given_fields(tmp_path):
    config = load_config(write(tmp_path, MINIMAL + "aws_regions: []\n"))
    defaults = config.defaults
    assert config.aws_regions == []
    assert (defaults.add_vpc_cidr, defaults.hpe) == (False, False)
    for name in ("managed_tgw", "encrypt", "inspection", "filter_cidrs", "gw_zones",
                 "spoke_gw_size", "transit_gw_name", "domain"):
        assert getattr(defaults, name) is None
    assert defaults.reserved_cidrs == [] and load_config(write(tmp_path, MINIMAL.replace(
        "{role_name: ops}", "{role_name: ops, reserved_cidrs: null}"))).defaults.reserved_cidrs == []
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        assert defaults.__fields_set__ == {"role_name"}


def test_absent_regions_are_null(tmp_path):
    assert load_config(write(tmp_path, MINIMAL)).aws_regions is None


def test_fields_set_holds_explicit_values_only(tmp_path):
    path = write(tmp_path, MINIMAL.replace("{role_name: ops}", "{role_name: ops, hpe: false, managed_tgw: null}"))
    assert load_config(path).defaults.__fields_set__ == {"role_name", "hpe", "managed_tgw"}


def test_values_of_a_full_defaults_section(tmp_path):
    path = write(tmp_path, """\
        account_ids: [123456789012, "000000000001"]
        controller: {ip: "10.1.2.3:8443", username: admin}
        defaults:
          role_name: path/to/role
          add_vpc_cidr: true
          hpe: yes
          managed_tgw: false
          filter_cidrs: [10.0.0.0/8, 172.16.0.0/12]
          gw_zones: [us-east-1a]
          spoke_gw_size: t3.small
          transit_gw_name: tgw-core
          domain: prod
          reserved_cidrs: [10.255.0.0/16]
        """)
    config = load_config(path)
    assert config.account_ids == ["123456789012", "000000000001"]
    assert config.controller.ip == "10.1.2.3:8443"
    defaults = config.defaults
    assert (defaults.add_vpc_cidr, defaults.hpe, defaults.managed_tgw) == (True, True, False)
    assert defaults.filter_cidrs == [ipaddress.IPv4Network("10.0.0.0/8"), ipaddress.IPv4Network("172.16.0.0/12")]
    assert [str(network) for network in defaults.filter_cidrs] == ["10.0.0.0/8", "172.16.0.0/12"]
    assert (defaults.gw_zones, defaults.spoke_gw_size, defaults.transit_gw_name, defaults.domain) == (
        ["us-east-1a"], "t3.small", "tgw-core", "prod")
    assert defaults.reserved_cidrs == [ipaddress.IPv4Network("10.255.0.0/16")]


@pytest.mark.parametrize(
    "text, location, detail",
    [
        (MINIMAL.replace('["012345678901"]', "[12345678901]"), "account_ids.0", "quotes"),
        (MINIMAL.replace('["012345678901"]', "[0123456701234]"), "account_ids.0", "quotes"),
        (MINIMAL.replace('["012345678901"]', "[123456789012.0]"), "account_ids.0", "quotes"),
        (MINIMAL.replace('["012345678901"]', "[1.2e+11]"), "account_ids.0", "quotes"),
        (MINIMAL.replace('["012345678901"]', '["12345678901"]'), "account_ids.0", "12 digits"),
        (MINIMAL.replace('["012345678901"]', "[]"), "account_ids", ""),
        (MINIMAL.replace('["012345678901"]', '["012345678901", "012345678901"]'), "account_ids", "more than once"),
        (MINIMAL.replace('["012345678901"]', "[true]"), "account_ids.0", ""),
        (MINIMAL.replace('account_ids: ["012345678901"]\n', ""), "account_ids", "required key missing"),
        (MINIMAL + "aws_regions: us-east-1\n", "aws_regions", ""),
        (MINIMAL + "aws_regions: [us-east-1, eu-wset-1]\n", "aws_regions.1",
         "'eu-wset-1' is not an AWS region known to botocore; did you mean eu-west-1?"),
        (MINIMAL + "aws_regions: [mars-north-1]\n", "aws_regions.0", "'mars-north-1' is not an AWS region known"),
        (MINIMAL + "regions: [us-east-1]\n", "regions", "unknown key"),
        (MINIMAL.replace("ip: ctrl.example.net", "ip: https://ctrl.example.net"), "controller.ip", "without https"),
        (MINIMAL.replace("ip: ctrl.example.net", "ip: 'ctrl:99999'"), "controller.ip", ":port"),
        (MINIMAL.replace("username: admin", "username: admin, port: 443"), "controller.port", "unknown key"),
        (MINIMAL.replace("username: admin", "username: ''"), "controller.username", "empty"),
        (MINIMAL.replace("username: admin", "username: admin, verify: 1"), "controller.verify", "true, false or"),
        (MINIMAL.replace("username: admin", "username: admin, verify: ."), "controller.verify", "is a folder"),
        (MINIMAL.replace("{role_name: ops}", "{role_name: ops, hpe: 'false'}"), "defaults.hpe", "boolean, not 'false'"),
        (MINIMAL.replace("{role_name: ops}", "{role_name: ops, encrypt: 1}"), "defaults.encrypt", "boolean"),
        (MINIMAL.replace("{role_name: ops}", "{role_name: ops, filter_cidrs: [10.0.0.1/8]}"),
         "defaults.filter_cidrs.0", "host bits"),
        (MINIMAL.replace("{role_name: ops}", "{role_name: ops, filter_cidrs: [10.0.0.0]}"),
         "defaults.filter_cidrs.0", "CIDR"),
        (MINIMAL.replace("{role_name: ops}", "{role_name: ops, reserved_cidrs: ['2001:db8::/32']}"),
         "defaults.reserved_cidrs.0", "'2001:db8::/32' is not an IPv4 network"),
        (MINIMAL.replace("{role_name: ops}", "{role_name: ops, reserved_cidrs: [10.0.0.0/8, 10.9.0.1/16]}"),
         "defaults.reserved_cidrs.1", "'10.9.0.1/16' is not an IPv4 network: 10.9.0.1/16 has host bits set"),
        (MINIMAL.replace("{role_name: ops}", "{role_name: ops, reserved_cidrs: 10.0.0.0/8}"),
         "defaults.reserved_cidrs", "list"),
        (MINIMAL.replace("{role_name: ops}", "{role_name: ops, spoke_gw_size: 3}"), "defaults.spoke_gw_size", ""),
        (MINIMAL.replace("{role_name: ops}", "{role_name: ops, vpc_size: 3}"), "defaults.vpc_size", "unknown key"),
        (MINIMAL.replace("{role_name: ops}", "{hpe: true}"), "defaults.role_name", "required key missing"),
        (MINIMAL.replace("{role_name: ops}", "null"), "defaults", ""),
    ],
)
def test_refusals_name_file_and_field(tmp_path, text, location, detail):
    path = write(tmp_path, text)
    with pytest.raises(ConfigError) as excinfo:
        load_config(path)
    message = str(excinfo.value)
    assert message.startswith(f"{path}: ")
    bad = [line.strip() for line in message.splitlines()[1:]]
    assert [line.split(": ", 1)[0] for line in bad] == [location]
    assert detail in bad[0]


def test_every_bad_field_is_listed(tmp_path):
    path = write(tmp_path, """\
        account_ids: ["1"]
        controller: {ip: ctrl}
        defaults: {role_name: ops, hpe: maybe, colour: red}
        """)
    with pytest.raises(ConfigError) as excinfo:
        load_config(path)
    locations = [line.strip().split(":")[0] for line in str(excinfo.value).splitlines()[1:]]
    assert locations == ["account_ids.0", "controller.username", "defaults.hpe", "defaults.colour"]


@pytest.mark.parametrize(
    "content, detail",
    [
        ("", "empty"),
        ("# only a comment\n", "empty"),
        ("- 111111111111\n", "mapping"),
        ("just text\n", "mapping"),
        ("account_ids: [\n", "not valid YAML"),
        ("defaults: {role_name: a}\ndefaults: {role_name: b}\n", "twice"),
        (MINIMAL.replace("{role_name: ops}", "{role_name: ops, hpe: true, hpe: false}"), "twice"),
    ],
)
def test_unusable_files_name_the_file(tmp_path, content, detail):
    path = write(tmp_path, content)
    with pytest.raises(ConfigError) as excinfo:
        load_config(path)
    assert str(excinfo.value).startswith(f"{path}: ")
    assert detail in str(excinfo.value)


def test_not_utf8(tmp_path):
    path = tmp_path / "config.yaml"
    path.write_bytes(b"account_ids: ['\xff']\n")
    with pytest.raises(ConfigError, match="UTF-8"):
        load_config(path)


def test_folder_and_missing_file(tmp_path):
    with pytest.raises(ConfigError, match="is a folder"):
        load_config(tmp_path)
    with pytest.raises(ConfigError, match="no such configuration file"):
        load_config(tmp_path / "absent.yaml")


@pytest.mark.skipif(os.geteuid() == 0, reason="root reads every file")
def test_unreadable_file(tmp_path):
    path = write(tmp_path, MINIMAL)
    path.chmod(0)
    with pytest.raises(ConfigError, match="cannot be read"):
        load_config(path)


def test_config_error_is_a_value_error(tmp_path):
    assert issubclass(ConfigError, ValueError)
    with pytest.raises(ValueError):
        load_config(write(tmp_path, "[]"))
