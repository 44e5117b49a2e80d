"""The generate command's configuration file (generator.config.load_config)."""

import ipaddress
import json
import os
import pprint
import re
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


def org(accounts):
    return MINIMAL.replace('account_ids: ["012345678901"]', f"accounts: {accounts}")


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


def test_example_keys_left_commented_out_load_when_taken_in(tmp_path):
    # The commented-out keys of the example are a working configuration once uncommented
    # (accounts then replaces account_ids).
    key = re.compile(r"^(\s*)# (\s*[\w\"]+:(?:| .*\s# .*))$")
    lines = []
    for line in EXAMPLE.read_text(encoding="utf-8").splitlines():
        if not line.startswith("account_ids:"):
            match = key.match(line)
            lines.append(match.group(1) + match.group(2) if match else line)
    config = load_config(write(tmp_path, "\n".join(lines) + "\n"))
    assert config.account_ids is None
    accounts = config.accounts
    assert (accounts.source, accounts.include_ous, accounts.exclude_ous, accounts.exclude_accounts) == (
        "organization", ["ou-ab12-11111111"], ["ou-ab12-22222222"], ["333333333333"])
    override = config.account_overrides["444444444444"]
    assert (override.role_name, override.external_id.get_secret_value()) == ("legacy-migration", "ops-4444")
    assert config.exclude_regions == ["ap-east-1"]
    assert config.defaults.external_id.get_secret_value() == "ops-0000"


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
    config = load_config(write(tmp_path, MINIMAL))
    assert config.aws_regions is None
    assert (config.accounts, config.account_overrides, config.exclude_regions, config.defaults.external_id) == (
        None, {}, None, None)


ORGANIZATION = """\
accounts:
  from: organization
  include_ous: [r-ab12, ou-ab12-11111111]
  exclude_ous: [ou-ab12-22222222]
  exclude_accounts: [123456789012, "000000000001"]
account_overrides:
  123456789013: {role_name: legacy}
  "000000000002": {external_id: "ops+4444@example.com"}
exclude_regions: [ap-east-1]
controller: {ip: ctrl.example.net, username: admin}
defaults: {role_name: ops, external_id: "site-wide=1"}
"""


def test_accounts_from_a_source_with_overrides_and_regions_left_out(tmp_path):
    config = load_config(write(tmp_path, ORGANIZATION))
    assert config.account_ids is None
    assert config.accounts.exclude_accounts == ["123456789012", "000000000001"]
    assert sorted(config.account_overrides) == ["000000000002", "123456789013"]
    assert config.account_overrides["123456789013"].external_id is None
    assert config.account_overrides["000000000002"].role_name is None
    assert config.exclude_regions == ["ap-east-1"] and config.aws_regions is None
    # An external ID never shows in the configuration's printed form (debug dumps).
    shown = repr(config) + pprint.pformat(config) + str(config.model_dump())
    assert "site-wide" not in shown and "ops+4444" not in shown
    assert "role_name" in repr(config)
    controller = load_config(write(tmp_path, MINIMAL.replace('account_ids: ["012345678901"]',
                                                             "accounts: {from: controller}\naccount_overrides:")))
    assert (controller.accounts.source, controller.accounts.include_ous, controller.account_overrides) == (
        "controller", None, {})


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
        (MINIMAL + "exclude_regions: [eu-west-1, us-eats-1]\n", "exclude_regions.1",
         "'us-eats-1' is not an AWS region known to botocore; did you mean us-east-1?"),
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
        (MINIMAL + "accounts: {from: controller}\n", "account_ids, accounts", "not both"),
        (org("{from: cloud}"), "accounts.from", "'organization' or 'controller'"),
        (org("{include_ous: [r-ab12]}"), "accounts.from", "required key missing"),
        (org("organization"), "accounts", ""),
        (org("{from: organization, colour: red}"), "accounts.colour", "unknown key"),
        (org("{from: organization, include_ous: [ou-1]}"), "accounts.include_ous.0", "not an OU ID"),
        (org("{from: organization, exclude_ous: [OU-AB12-11111111]}"), "accounts.exclude_ous.0", "OU ID"),
        (org("{from: organization, include_ous: [ou-ab12-11111111, r-ab12], exclude_ous: [ou-ab12-11111111]}"),
         "accounts.exclude_ous", "ou-ab12-11111111 is also in include_ous"),
        (org("{from: controller, exclude_ous: [r-ab12]}"), "accounts.exclude_ous", "only for from: organization"),
        (org("{from: organization, exclude_accounts: ['1234']}"), "accounts.exclude_accounts.0", "12 digits"),
        (org("{from: organization, exclude_accounts: [12345678901]}"), "accounts.exclude_accounts.0", "quotes"),
        (MINIMAL + "account_overrides: {'1234': {role_name: x}}\n", "account_overrides.1234", "12 digits"),
        (MINIMAL + "account_overrides: {'123456789012': {role: x}}\n", "account_overrides.123456789012.role",
         "unknown key"),
        (MINIMAL + "account_overrides: {'123456789012': {}}\n", "account_overrides.123456789012", "give role_name"),
        (MINIMAL + "account_overrides: {'123456789012': {role_name: ''}}\n",
         "account_overrides.123456789012.role_name", "empty"),
        (MINIMAL + "account_overrides: {123456789012: {role_name: a}, '123456789012': {role_name: b}}\n",
         "account_overrides", "given twice"),
        (MINIMAL + "account_overrides: ['123456789012']\n", "account_overrides", ""),
        (MINIMAL + "aws_regions: [us-east-1, eu-west-1]\nexclude_regions: [eu-west-1, ap-east-1]\n",
         "exclude_regions", "eu-west-1 is also in aws_regions"),
        (MINIMAL + "exclude_regions: ap-east-1\n", "exclude_regions", ""),
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


@pytest.mark.parametrize("value", ["87654321", "ab cd", "Q", "'semi;colon'", "[secret-ish]"])
@pytest.mark.parametrize("where", ["defaults", "override"])
def test_a_bad_external_id_is_named_but_never_shown(tmp_path, value, where):
    if where == "defaults":
        text, location = MINIMAL.replace("{role_name: ops}", f"{{role_name: ops, external_id: {value}}}"), \
            "defaults.external_id"
    else:
        text, location = MINIMAL + f"account_overrides: {{'123456789012': {{external_id: {value}}}}}\n", \
            "account_overrides.123456789012.external_id"
    with pytest.raises(ConfigError) as excinfo:
        load_config(write(tmp_path, text))
    message = str(excinfo.value)
    assert [line.strip().split(": ")[0] for line in message.splitlines()[1:]] == [location]
    assert value.strip("'[]") not in message


def test_every_bad_field_is_listed(tmp_path):
    path = write(tmp_path, """\
        account_ids: ["1"]
        accounts: {from: controller, exclude_accounts: [x]}
        account_overrides: {"111111111111": {role_name: ops, external_id: "?"}}
        controller: {ip: ctrl}
        defaults: {role_name: ops, hpe: maybe, colour: red}
        """)
    with pytest.raises(ConfigError) as excinfo:
        load_config(path)
    locations = [line.strip().split(":")[0] for line in str(excinfo.value).splitlines()[1:]]
    assert locations == ["account_ids, accounts", "account_ids.0", "accounts.exclude_accounts.0",
                         "account_overrides.111111111111.external_id", "controller.username", "defaults.hpe",
                         "defaults.colour"]


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
