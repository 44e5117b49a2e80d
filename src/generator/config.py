"""Configuration file of the generate command.

`load_config(path)` reads the YAML file that names the AWS accounts and
regions, the Corvane Controller and the default values of the workbook, and
returns it as a `Config` object. Every problem is reported as one
`ConfigError` whose message starts with the file's path and names each bad
field by its dotted location (for example "defaults.hpe").
"""

import difflib
import functools
import ipaddress
import re
import reprlib
import ssl
from pathlib import Path
from typing import Annotated, Any, Dict, List, Literal, Optional, Union

import yaml
from pydantic import (AfterValidator, BaseModel, BeforeValidator, ConfigDict, Field, SecretStr, ValidationError,
                      ValidationInfo, field_validator, model_validator)

from generator.common.serializers.yaml_file import AliasLimitError, LimitedLoader

__all__ = ["AccountOverride", "Accounts", "Config", "ConfigError", "Controller", "Defaults", "load_config"]


class ConfigError(ValueError):
    """The configuration file cannot be used; the message says where and why."""


# Messages quote what the file holds, but never more than a few dozen characters
# of one value: a file may hold megabytes in a single line.
_REPR = reprlib.Repr()
_REPR.maxstring = _REPR.maxother = 60
_REPR.maxlevel = 2
_REPR.maxlist = _REPR.maxtuple = _REPR.maxdict = _REPR.maxset = 4


def _shown(value: Any) -> str:
    return _REPR.repr(value)


def _shown_key(value: Any) -> str:
    return value if isinstance(value, str) and len(value) <= 60 else _shown(value)


CONTROLLER_TIMEOUT = 30  # seconds to connect, then as long to answer
_MAX_TIMEOUT = 86400  # a day: longer is surely a slip, and far longer overflows the socket library

_ACCOUNT_ID = re.compile(r"[0-9]{12}")
# The organization's root (r-...) and its organizational units (ou-<root part>-<unit part>).
_OU_ID = re.compile(r"r-[0-9a-z]{4,32}|ou-[0-9a-z]{4,32}-[0-9a-z]{8,32}")
# What IAM takes as sts:ExternalId.
_EXTERNAL_ID = re.compile(r"[\w+=,.@:/-]{2,1224}")
_CIDR = re.compile(r"[0-9]{1,3}(?:\.[0-9]{1,3}){3}/[0-9]{1,2}")
# A host name, an IPv4 address or a bracketed IPv6 address, optionally with a port.
_HOST = re.compile(r"(?:\[[0-9A-Fa-f:.]+\]|[A-Za-z0-9](?:[A-Za-z0-9.-]*[A-Za-z0-9])?)(?::([0-9]{1,5}))?")


def _account_id(value: Any) -> Any:
    # YAML reads an unquoted ID as a number: harmless only when no leading zero
    # was lost (12 digits); a leading 0 makes it shorter or even octal.
    if isinstance(value, int) and not isinstance(value, bool):
        if 10**11 <= value < 10**12:
            return str(value)
        raise ValueError(
            f"{value} is not a 12-digit account ID; write account IDs in quotes, such as "
            f"\"012345678901\", since YAML drops leading zeros or reads them as octal numbers"
        )
    if isinstance(value, float):
        raise ValueError(
            f"{value} is not an account ID; write account IDs in quotes, such as \"012345678901\", "
            f"since YAML reads an unquoted number as a number"
        )
    if isinstance(value, str) and not _ACCOUNT_ID.fullmatch(value):
        raise ValueError(f"{_shown(value)} is not an account ID: an account ID is 12 digits")
    return value


def _ou_id(value: Any) -> Any:
    if isinstance(value, str) and not _OU_ID.fullmatch(value):
        raise ValueError(
            f"{_shown(value)} is not an OU ID: an organizational unit's ID looks like ou-ab12-11111111, "
            f"the organization's root like r-ab12"
        )
    return value


def _external_id(value: Any) -> Any:
    # The value is never quoted back: an external ID is kept out of messages and logs.
    if not isinstance(value, str):
        raise ValueError(f"an external ID is text, not {type(value).__name__}")
    if not _EXTERNAL_ID.fullmatch(value):
        raise ValueError(
            "not an external ID: an external ID is 2 to 1224 letters, digits and the characters _+=,.@:/- "
            "(the value is not shown here)"
        )
    return value


def _network(value: Any) -> Any:
    if isinstance(value, str):
        if not _CIDR.fullmatch(value):
            raise ValueError(f"{_shown(value)} is not an IPv4 network in CIDR notation (a.b.c.d/len)")
        try:
            return ipaddress.IPv4Network(value, strict=True)
        except ValueError as err:
            raise ValueError(f"{_shown(value)} is not an IPv4 network: {err}") from None
    if isinstance(value, ipaddress.IPv4Network):
        return value
    raise ValueError(f"{_shown(value)} is not an IPv4 network: write it as text in CIDR notation (a.b.c.d/len)")


def _controller_address(value: str) -> str:
    # A host name has at most 253 characters; a port adds at most 6.
    match = _HOST.fullmatch(value) if len(value) <= 259 else None
    if not match or (match.group(1) is not None and not 0 < int(match.group(1)) < 65536):
        raise ValueError(
            f"{_shown(value)} is not a controller address: give a host name or an IP address, "
            f"optionally followed by :port, without https:// or a path"
        )
    return value


def _seconds(value: Any) -> Any:
    if isinstance(value, bool) or not isinstance(value, (int, float)) or not 0 < value <= _MAX_TIMEOUT:
        raise ValueError(
            f"{_shown(value)} is not a time-out: give a positive number of seconds (at most {_MAX_TIMEOUT}), "
            f"such as {CONTROLLER_TIMEOUT}"
        )
    return value


def _verify(value: Any, info: ValidationInfo) -> Any:
    """False or None: no check; True: the trusted authorities; a text: a PEM file
    of authorities, relative to the configuration file's folder, checked now so
    that a bad path is refused before the password is asked."""
    if value is None or isinstance(value, bool):
        return bool(value)
    if not isinstance(value, str) or not value.strip():
        raise ValueError(
            f"{_shown(value)} is not true, false or the path of a PEM file holding the controller's "
            f"certificate or its authority's"
        )
    path = Path(value).expanduser()
    if not path.is_absolute() and info.context and "folder" in info.context:
        path = info.context["folder"] / path
    if path.is_dir():
        raise ValueError(f"{path} is a folder, not a PEM file of certificates")
    if not path.exists():
        raise ValueError(f"no such file {path} (a relative path starts at the configuration file's folder)")
    authorities = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
    try:
        authorities.load_verify_locations(cafile=path)
    except ssl.SSLError:
        pass  # counted below: nothing usable was loaded
    except OSError as err:
        raise ValueError(f"{path} cannot be read: {err.strerror or err}") from None
    if not authorities.cert_store_stats()["x509"]:
        raise ValueError(f"{path} holds no certificate in PEM form (-----BEGIN CERTIFICATE-----)")
    return str(path)


def _not_blank(value: str) -> str:
    if not value.strip():
        raise ValueError("must not be empty")
    return value


def _distinct(values: Optional[list]) -> Optional[list]:
    if values:
        seen = set()
        for value in values:
            if value in seen:
                raise ValueError(f"{_shown_key(str(value))} is listed more than once")
            seen.add(value)
    return values


def _no_empty_mapping(value: Any) -> Any:
    # A section whose entries are all commented out reads as null.
    return {} if value is None else value


def _distinct_accounts(value: Any) -> Any:
    # 123456789012 and "123456789012" are the same account: one override each.
    if isinstance(value, dict):
        seen = set()
        for key in value:
            try:
                normal = _account_id(key)
            except ValueError:
                continue  # reported with the key itself
            if normal in seen:
                raise ValueError(f"account {normal} is given twice")
            seen.add(normal)
    return value


def _none_is_empty(value: Any) -> Any:
    return [] if value is None else value


Name = Annotated[str, AfterValidator(_not_blank)]


@functools.lru_cache(maxsize=1)
def _known_regions() -> frozenset:
    """Every region botocore's own endpoint data names, in all partitions (no request is made)."""
    import botocore.session

    session = botocore.session.get_session()
    return frozenset(
        region
        for partition in session.get_available_partitions()
        for region in session.get_available_regions("ec2", partition_name=partition)
    )


def _known_region(value: str) -> str:
    # A misspelt region would otherwise be accepted here and fail late, in the middle of the walk.
    known = _known_regions()
    if value not in known:
        close = difflib.get_close_matches(value, sorted(known), n=1)
        hint = f"; did you mean {close[0]}?" if close else ""
        raise ValueError(f"{_shown(value)} is not an AWS region known to botocore{hint}")
    return value


Region = Annotated[Name, AfterValidator(_known_region)]
AccountId = Annotated[str, BeforeValidator(_account_id)]
OuId = Annotated[str, BeforeValidator(_ou_id)]
# Held as a secret: the configuration's repr, debug dumps and pydantic's own dumps show asterisks.
ExternalId = Annotated[SecretStr, BeforeValidator(_external_id)]
Network = Annotated[ipaddress.IPv4Network, BeforeValidator(_network)]


class _Section(BaseModel):
    model_config = ConfigDict(extra="forbid", strict=True, arbitrary_types_allowed=True)

    @property
    def __fields_set__(self) -> set:
        """Names of the fields that the configuration file gave."""
        return set(self.model_fields_set)


class Controller(_Section):
    """The Corvane Controller that knows the accounts' names."""

    ip: Annotated[str, AfterValidator(_controller_address)]
    username: Name
    # Seconds each request may take to connect, and then to answer.
    timeout: Annotated[Union[int, float], BeforeValidator(_seconds)] = CONTROLLER_TIMEOUT
    # How the controller proves who it is before the password is sent: False,
    # True or the path of a PEM file (kept as text, as the HTTP client takes it).
    verify: Annotated[Union[bool, str], BeforeValidator(_verify)] = False


class Defaults(_Section):
    """Values written into every workbook row and inventory account."""

    role_name: Name
    add_vpc_cidr: bool = False
    hpe: bool = False
    managed_tgw: Optional[bool] = None
    encrypt: Optional[bool] = None
    inspection: Optional[bool] = None
    filter_cidrs: Optional[List[Network]] = None
    gw_zones: Optional[List[Name]] = None
    spoke_gw_size: Optional[Name] = None
    transit_gw_name: Optional[Name] = None
    domain: Optional[Name] = None
    # Ranges no proposed block may overlap (on premises, the transit network, the controller).
    reserved_cidrs: Annotated[List[Network], BeforeValidator(_none_is_empty), AfterValidator(_distinct)] = []
    # sts:ExternalId of every account's role unless its override gives one; none: not passed.
    external_id: Optional[ExternalId] = None


class Accounts(_Section):
    """Where the accounts come from when they are not listed: the organization or the controller."""

    source: Literal["organization", "controller"] = Field(alias="from")
    include_ous: Annotated[Optional[List[OuId]], Field(min_length=1), AfterValidator(_distinct)] = None
    exclude_ous: Annotated[Optional[List[OuId]], AfterValidator(_distinct)] = None
    exclude_accounts: Annotated[Optional[List[AccountId]], AfterValidator(_distinct)] = None

    @field_validator("include_ous", "exclude_ous")
    @classmethod
    def _organization_only(cls, value, info: ValidationInfo):
        if value is not None and info.data.get("source") == "controller":
            raise ValueError("only for from: organization (the controller's accounts have no OUs)")
        return value

    @field_validator("exclude_ous")
    @classmethod
    def _not_included(cls, value, info: ValidationInfo):
        both = [ou for ou in value or () if ou in (info.data.get("include_ous") or ())]
        if both:
            raise ValueError(f"{', '.join(both)} is also in include_ous: an OU is either included or left out")
        return value


class AccountOverride(_Section):
    """How one account's role is entered, where it differs from the defaults."""

    role_name: Optional[Name] = None
    external_id: Optional[ExternalId] = None

    @model_validator(mode="after")
    def _something(self):
        if self.role_name is None and self.external_id is None:
            raise ValueError("give role_name, external_id or both")
        return self


class Config(_Section):
    """The whole configuration of the generate command."""

    # Exactly one of account_ids and accounts is given (see load_config).
    account_ids: Annotated[Optional[List[AccountId]], Field(min_length=1), AfterValidator(_distinct)] = None
    accounts: Optional[Accounts] = None
    account_overrides: Annotated[
        Dict[AccountId, AccountOverride], BeforeValidator(_no_empty_mapping), BeforeValidator(_distinct_accounts)
    ] = Field(default_factory=dict)
    aws_regions: Annotated[Optional[List[Region]], AfterValidator(_distinct)] = None
    exclude_regions: Annotated[Optional[List[Region]], AfterValidator(_distinct)] = None
    controller: Controller
    defaults: Defaults

    @field_validator("exclude_regions")
    @classmethod
    def _not_configured(cls, value, info: ValidationInfo):
        both = [region for region in value or () if region in (info.data.get("aws_regions") or ())]
        if both:
            raise ValueError(f"{', '.join(both)} is also in aws_regions: a region is either listed or left out")
        return value

    @model_validator(mode="after")
    def _one_source(self, info: ValidationInfo):
        if not (info.context or {}).get("sources_checked") and (self.account_ids is None) == (self.accounts is None):
            raise ValueError(_SOURCES)
        return self


_SOURCES = "give the accounts either as account_ids or as accounts (from: organization or controller), not both"


class _UniqueKeyLoader(LimitedLoader):
    """Safe YAML loader that refuses a key written twice in one mapping
    (PyYAML would silently keep the last value) and aliases that expand the
    document beyond a small bound."""

    def construct_mapping(self, node, deep=False):
        seen = set()
        for key_node, _ in node.value:
            key = self.construct_object(key_node, deep=deep)
            try:
                duplicate = key in seen
            except TypeError:  # an unhashable key: construct_mapping reports it
                break
            if duplicate:
                raise yaml.constructor.ConstructorError(
                    "while constructing a mapping", node.start_mark,
                    f"found the key {_shown(key)} twice", key_node.start_mark,
                )
            seen.add(key)
        return super().construct_mapping(node, deep=deep)


_MESSAGES = {
    "extra_forbidden": "unknown key",
    "missing": "required key missing",
}


def _sources(data: dict) -> List[str]:
    """The line for account_ids and accounts when not exactly one of them is given."""
    given = [key for key in ("account_ids", "accounts") if key in data]
    if len(given) == 2:
        return [f"  account_ids, accounts: {_SOURCES}"]
    if not given:
        return ["  account_ids: required key missing (or accounts: from organization or controller)"]
    return []


def _problems(err: ValidationError) -> List[str]:
    lines = []
    for error in err.errors(include_url=False):
        parts = [part for part in error["loc"] if part != "[key]"]
        location = ".".join(_shown_key(str(part)) for part in parts) or "(top level)"
        message = _MESSAGES.get(error["type"], error["msg"])
        if error["type"] == "value_error":
            message = str(error["ctx"]["error"])
        elif error["type"] not in _MESSAGES and parts and parts[-1] == "external_id":
            message = f"{message}, not a {type(error['input']).__name__} (the value is not shown here)"
        elif error["type"] not in _MESSAGES:
            message = f"{message}, not {_shown(error['input'])}"
        lines.append(f"  {location}: {message}")
    return lines


def _read(path: Path) -> Any:
    if path.is_dir():
        raise ConfigError(f"{path}: is a folder, not a configuration file")
    try:
        text = path.read_text(encoding="utf-8")
    except FileNotFoundError:
        raise ConfigError(f"{path}: no such configuration file") from None
    except UnicodeDecodeError as err:
        raise ConfigError(f"{path}: not a text file in UTF-8 ({err.reason} at byte {err.start})") from None
    except OSError as err:
        raise ConfigError(f"{path}: cannot be read: {err.strerror or err}") from None
    try:
        return yaml.load(text, Loader=_UniqueKeyLoader)
    except AliasLimitError as err:
        raise ConfigError(f"{path}: {err}") from None
    except yaml.YAMLError as err:
        raise ConfigError(f"{path}: not valid YAML:\n{err}") from None


def load_config(config_path) -> Config:
    """Read and check the configuration file at `config_path`."""
    path = Path(config_path)
    data = _read(path)
    if data is None:
        raise ConfigError(f"{path}: the configuration file is empty")
    if not isinstance(data, dict):
        raise ConfigError(
            f"{path}: the configuration must be a mapping with the keys account_ids (or accounts), "
            f"aws_regions, controller and defaults, not a {type(data).__name__}"
        )
    problems = _sources(data)
    try:
        config = Config.model_validate(data, context={"folder": path.parent, "sources_checked": True})
    except ValidationError as err:
        problems += _problems(err)
    if problems:
        raise ConfigError("\n".join([f"{path}: invalid configuration:"] + problems))
    return config
