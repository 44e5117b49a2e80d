"""Configuration model of the Tandrel Migration script.

`AccountInfo` describes one AWS account of the "account_info" section (its
regions and their VPCs); `load_from_dict` validates a whole configuration.
Validation is strict: a value of the wrong kind is refused, never guessed
(the text "yes" is not a boolean, a number is not a name). The one
conversion is the account ID given as a number, because a spreadsheet keeps
account IDs as numbers and drops their leading zeros.
"""

import ipaddress
import numbers
import re
from typing import Annotated, Any, List, Optional

from pydantic import (
    AfterValidator,
    BaseModel,
    BeforeValidator,
    ConfigDict,
    Field,
    field_validator,
)

__all__ = [
    "AccountInfo",
    "ConfigSection",
    "RegionInfo",
    "SpokeGwTag",
    "TandrelConfig",
    "VpcInfo",
    "load_from_dict",
]

_ACCOUNT_ID = re.compile(r"[0-9]{12}")
# Only the a.b.c.d/len notation: ipaddress would also take a netmask or a
# hostmask after the slash, or a bare address as a /32.
_CIDR = re.compile(r"[0-9]{1,3}(?:\.[0-9]{1,3}){3}/[0-9]{1,2}")


class _Model(BaseModel):
    """Strict, closed model whose JSON rendering keeps the field order."""

    model_config = ConfigDict(extra="forbid", strict=True)

    def json(self, *, include=None, exclude=None, by_alias=False, exclude_unset=False,
             exclude_defaults=False, exclude_none=False, indent=None) -> str:
        """JSON text of the model, as the migration script's callers ask for it."""
        return self.model_dump_json(
            include=include,
            exclude=exclude,
            by_alias=by_alias,
            exclude_unset=exclude_unset,
            exclude_defaults=exclude_defaults,
            exclude_none=exclude_none,
            indent=indent,
        )

    @property
    def __fields_set__(self) -> set:
        """Names of the fields given at construction."""
        return set(self.model_fields_set)


def _text(value: Any) -> str:
    # A str subtype (such as a marker for quoted YAML output) is text too, but
    # is stored as plain text so it renders like any other.
    if isinstance(value, str):
        return str.__str__(value)
    return value


def _account_id(value: Any) -> Any:
    if isinstance(value, bool):
        return value
    if isinstance(value, numbers.Integral):
        if 0 <= value < 10**12:
            return f"{int(value):012d}"
        raise ValueError(f"{value} is not an account ID: an account ID has 12 digits")
    if isinstance(value, str):
        return _text(value)
    raise ValueError(f"an account ID is 12-digit text, not {type(value).__name__} {value!r}")


def _check_account_id(value: str) -> str:
    if not _ACCOUNT_ID.fullmatch(value):
        raise ValueError(f"an account ID is 12 digits, not {value!r}")
    return value


def _network_text(value: Any) -> Any:
    if isinstance(value, ipaddress.IPv4Network):
        return str(value)
    return _text(value)


def _check_network(value: str) -> str:
    if not _CIDR.fullmatch(value):
        raise ValueError(f"{value!r} is not an IPv4 network in CIDR notation (a.b.c.d/len)")
    try:
        return str(ipaddress.IPv4Network(value, strict=True))
    except ValueError as err:
        raise ValueError(f"{value!r} is not an IPv4 network: {err}") from None


def _check_crvn_cidr(value: str) -> str:
    return value if value == "" else _check_network(value)


def _check_region(value: str) -> str:
    # An empty or blank-padded name would send the VPCs to a region that does not exist.
    if not value or any(c.isspace() for c in value):
        raise ValueError(f"{value!r} is not a region name (such as us-east-1)")
    return value


Text = Annotated[str, BeforeValidator(_text)]
AccountId = Annotated[str, BeforeValidator(_account_id), AfterValidator(_check_account_id)]
Network = Annotated[str, BeforeValidator(_network_text), AfterValidator(_check_network)]
CrvnCidr = Annotated[str, BeforeValidator(_text), AfterValidator(_check_crvn_cidr)]
RegionName = Annotated[str, BeforeValidator(_text), AfterValidator(_check_region)]


class SpokeGwTag(_Model):
    """One tag of a spoke gateway."""

    key: Text
    value: Text


class VpcInfo(_Model):
    """A VPC to migrate and the spoke gateway that will serve it."""

    vpc_id: Text
    crvn_cidr: CrvnCidr = ""
    gw_zones: List[Text] = Field(default_factory=list)
    spoke_gw_tags: List[SpokeGwTag] = Field(default_factory=list)
    domain: Text = None
    encrypt: bool = False
    inspection: bool = False
    spoke_advertisement: Text = None
    spoke_routes: List[Network] = Field(default_factory=list)
    spoke_gw_name: Text = None
    transit_gw_name: Text = ""


class RegionInfo(_Model):
    """The VPCs of one region of an account."""

    region: RegionName
    vpcs: List[VpcInfo]


class AccountInfo(_Model):
    """One AWS account of the migration.

    `managed_tgw`, `filter_cidrs` and `spoke_gw_size` may be null: the
    migration script then applies its own default.
    """

    account_id: AccountId
    account_name: Optional[Text] = None
    hpe: bool = False
    managed_tgw: Optional[bool] = None
    filter_cidrs: Optional[List[Network]] = None
    spoke_gw_size: Optional[Text] = None
    role_name: Text = None
    regions: List[RegionInfo]


class ConfigSection(_Model):
    """Settings of the migration script itself."""

    configure_gw_name: bool = False


class TandrelConfig(_Model):
    """A whole migration configuration."""

    label: Optional[Text] = None
    config: ConfigSection = Field(default_factory=ConfigSection)
    account_info: List[AccountInfo] = Field(min_length=1)

    @field_validator("account_info")
    @classmethod
    def _distinct_accounts(cls, accounts: List[AccountInfo]) -> List[AccountInfo]:
        # Two entries for one account would migrate it twice.
        seen = set()
        for account in accounts:
            if account.account_id in seen:
                raise ValueError(f"account {account.account_id} is listed more than once")
            seen.add(account.account_id)
        return accounts


def load_from_dict(data: Any) -> TandrelConfig:
    """Validate a whole configuration mapping and return its model.

    Raises pydantic's ValidationError, which names each refused field.
    """
    return TandrelConfig.model_validate(data)
