"""Gateway naming and the choice of a free block inside a VPC (plain VPC doubles)."""
import ipaddress
import logging
import random
from pprint import pformat
from types import SimpleNamespace

import pytest

import generator.generate as gen

LOGGER = "generator.generate"


class Subnets:
    """The subnet collection of a VPC: records the page size it is listed with."""

    def __init__(self, blocks):
        self.blocks = blocks
        self.counts = []

    def page_size(self, count):
        self.counts.append(count)
        return iter([SimpleNamespace(id=f"subnet-{i}", cidr_block=b) for i, b in enumerate(self.blocks)])


def vpc(cidr, blocks=(), vpc_id="vpc-0a1", tags=None):
    return SimpleNamespace(id=vpc_id, cidr_block=cidr, subnets=Subnets(list(blocks)), tags=tags)


def reference(cidr, blocks, hpe):
    """The lowest free block as the ipaddress library finds it."""
    prefix = 25 if hpe else 27
    taken = [ipaddress.ip_network(b) for b in blocks if b is not None]
    for candidate in ipaddress.ip_network(cidr).subnets(new_prefix=prefix):
        if not any(candidate.overlaps(t) for t in taken):
            return str(candidate)
    return ""


def reference_log(cidr, blocks, hpe):
    """The debug messages of an exhaustive walk, formatted."""
    prefix = 25 if hpe else 27
    taken = [ipaddress.ip_network(b) for b in blocks if b is not None]
    net = ipaddress.ip_network(cidr)
    lines = [f"VPC cidr_block: {net}", "VPC subnets:\n" + pformat(taken)]
    viable = []
    for candidate in net.subnets(new_prefix=prefix):
        lines.append(f"Checking candidate subnet: {candidate}")
        if any(candidate.overlaps(t) for t in taken):
            lines.append(f"Subnet '{candidate}' overlaps with existing subnet.")
        else:
            lines.append(f"Subnet '{candidate}' is viable.")
            viable.append(candidate)
    lines.append("Viable subnets:\n" + pformat(viable))
    return lines


@pytest.fixture
def debug_records(caplog):
    caplog.set_level(logging.DEBUG, logger=LOGGER)
    return caplog


# ------------------------------------------------------------------ results


@pytest.mark.parametrize(
    "cidr, blocks, hpe, expected",
    [
        ("10.0.0.0/24", ["10.0.0.0/25"], False, "10.0.0.128/27"),
        ("10.0.0.0/24", ["10.0.0.0/25"], True, "10.0.0.128/25"),
        ("10.0.0.0/16", [], False, "10.0.0.0/27"),
        ("10.0.0.0/16", [], True, "10.0.0.0/25"),
        ("10.0.0.0/27", [], False, "10.0.0.0/27"),  # its own single candidate
        ("10.0.0.0/24", ["10.0.0.0/26", "10.0.0.96/27", "10.0.0.64/28"], False, "10.0.0.128/27"),
        # a subnet covering the middle of a block makes the whole block unusable
        ("10.0.0.0/24", ["10.0.0.8/29"], False, "10.0.0.32/27"),
        # listing order does not matter
        ("10.0.0.0/24", ["10.0.0.64/26", "10.0.0.0/26"], True, "10.0.0.128/25"),
        ("192.168.0.0/255.255.255.0", ["192.168.0.0/27"], False, "192.168.0.32/27"),
    ],
)
def test_lowest_free_block(cidr, blocks, hpe, expected):
    assert gen.compute_crvn_cidr(vpc(cidr, blocks), hpe) == expected
    assert reference(cidr, blocks, hpe) == expected


@pytest.mark.parametrize("hpe, prefix", [(None, 27), (False, 27), (0, 27), ("", 27), (True, 25), (1, 25), ("no", 25)])
def test_hpe_truth_selects_block_size(hpe, prefix):
    assert gen.compute_crvn_cidr(vpc("10.0.0.0/16", ["10.0.0.0/24"]), hpe) == f"10.0.1.0/{prefix}"


@pytest.mark.parametrize("hpe, prefix", [(False, 27), (True, 25)])
def test_full_vpc_gives_empty_text_and_a_warning(caplog, hpe, prefix):
    caplog.set_level(logging.INFO, logger=LOGGER)
    assert gen.compute_crvn_cidr(vpc("10.0.0.0/24", ["10.0.0.0/25", "10.0.0.128/25"], "vpc-full"), hpe) == ""
    [record] = caplog.records
    assert record.levelname == "WARNING"
    assert record.getMessage() == f"Could not compute crvn_cidr for vpc 'vpc-full': No available subnets with prefix {prefix}"
    assert record.args == ("vpc-full", prefix)
    assert record.funcName == "compute_crvn_cidr"


def test_subnets_listed_in_pages_of_subnet_page_size():
    v = vpc("10.0.0.0/24", ["10.0.0.0/27"])
    gen.compute_crvn_cidr(v, False)
    assert v.subnets.counts == [gen.SUBNET_PAGE_SIZE] == [64]


def test_ipv6_only_subnet_takes_no_space():
    assert gen.compute_crvn_cidr(vpc("10.0.0.0/24", [None, "10.0.0.0/27", None]), False) == "10.0.0.32/27"


@pytest.mark.parametrize("seed", range(40))
def test_matches_ipaddress_walk_on_random_vpcs(seed):
    rng = random.Random(seed)
    hpe = rng.random() < 0.4
    vpc_prefix = rng.randint(16, 25 if hpe else 27)
    base = rng.getrandbits(32) & ~((1 << (32 - vpc_prefix)) - 1)
    net = ipaddress.ip_network((base, vpc_prefix))
    blocks = []
    for _ in range(rng.randint(0, 60)):
        prefix = rng.randint(vpc_prefix, 28)
        size = 1 << (32 - prefix)
        offset = rng.randrange(0, net.num_addresses, size)
        blocks.append(str(ipaddress.ip_network((base + offset, prefix))))
    if rng.random() < 0.2:  # a VPC whose first half is entirely taken, block by block
        half = list(net.subnets(new_prefix=vpc_prefix + 1))[0] if vpc_prefix < 28 else net
        blocks += [str(s) for s in half.subnets(new_prefix=min(28, half.prefixlen + 2))]
    if rng.random() < 0.2:  # a subnet outside the VPC does not matter either way
        blocks.append("172.16.0.0/24")
    rng.shuffle(blocks)
    assert gen.compute_crvn_cidr(vpc(str(net), blocks), hpe) == reference(str(net), blocks, hpe)


# ------------------------------------------------------------------- errors


@pytest.mark.parametrize(
    "text",
    [
        "10.0.0.0/16", "10.0.0.0/255.255.0.0", "10.0.0.0/0.0.255.255", "10.0.0.0/016", "10.0.0.0/0.0.0.0",
        "0.0.0.0/0", "255.255.255.224/27", "10.0.0.0", "10.0.0.1/16", "010.0.0.0/16", "10.0.0.0/33",
        "10.0.0.0/-1", "10.0.0.0/+16", "10.0.0.0/ 16", " 10.0.0.0/16", "10.0.0.0/16 ", "10.0.0/16",
        "10.0.0.0.0/16", "10.0.0.256/16", "10.0.0.0//16", "10.0.0.0/16/16", "", "10.0.0.0/", "/16",
        "1e.0.0.0/16", "\u0661\u0660.0.0.0/16", "10.0.0.0/255.0.255.0", "10.0.0.0/255.255.255.1", "1000.0.0.0/8",
        "10..0.0/16", "::/0", "fd00::/8", "10.0.0.0/16\n",
    ],
)
def test_network_texts_parse_as_ipaddress_does(text):
    """A VPC block is accepted exactly when ipaddress takes it as an IPv4 network."""
    try:
        expected = ipaddress.ip_network(text)
    except ValueError:
        expected = None
    if expected is not None and expected.version == 4 and expected.prefixlen <= 27:
        assert gen.compute_crvn_cidr(vpc(text), False) == str(next(expected.subnets(new_prefix=27)))
    elif expected is not None and expected.version == 4:
        with pytest.raises(ValueError, match="new prefix must be longer"):
            gen.compute_crvn_cidr(vpc(text), False)
    else:
        with pytest.raises(ValueError, match=r"vpc 'vpc-0a1'.*does not appear to be an IPv4 network"):
            gen.compute_crvn_cidr(vpc(text), False)


@pytest.mark.parametrize(
    "cidr, blocks, message",
    [
        ("10.0.0.1/16", [], "Cannot compute crvn_cidr for vpc 'vpc-0a1': its cidr_block '10.0.0.1/16' does not "
                            "appear to be an IPv4 network (10.0.0.1/16 has host bits set)"),
        ("10.0.0.256/16", [], "(Octet 256 (> 255) not permitted in '10.0.0.256')"),
        ("10.0.0.0/16", ["10.0.0.0/24", "10.0.1.5/24"],
         "Cannot compute crvn_cidr for vpc 'vpc-0a1': the cidr_block of subnet 'subnet-1' '10.0.1.5/24' does not "
         "appear to be an IPv4 network (10.0.1.5/24 has host bits set)"),
        ("10.0.0.0/28", [], "Cannot compute crvn_cidr for vpc 'vpc-0a1': its block 10.0.0.0/28 is narrower than a "
                            "/27 block (new prefix must be longer)"),
        (None, [], "Cannot compute crvn_cidr for vpc 'vpc-0a1': it has no IPv4 cidr_block"),
    ],
)
def test_errors_name_the_vpc(cidr, blocks, message):
    with pytest.raises(ValueError) as err:
        gen.compute_crvn_cidr(vpc(cidr, blocks), False)
    assert message in str(err.value)


def test_narrow_vpc_with_hpe():
    with pytest.raises(ValueError, match="narrower than a /25 block"):
        gen.compute_crvn_cidr(vpc("10.0.0.0/26"), True)
    assert gen.compute_crvn_cidr(vpc("10.0.0.0/26"), False) == "10.0.0.0/27"


# ------------------------------------------------------------------ logging


@pytest.mark.parametrize(
    "cidr, blocks, hpe",
    [
        ("10.0.0.0/24", ["10.0.0.0/26", "10.0.0.96/27", None], False),
        ("10.0.0.0/24", ["10.0.0.0/24"], True),
        ("10.1.0.0/22", [f"10.1.{i}.0/24" for i in (0, 2)], False),
        ("10.0.0.0/27", [], False),
    ],
)
def test_debug_logs_every_candidate(debug_records, cidr, blocks, hpe):
    result = gen.compute_crvn_cidr(vpc(cidr, blocks), hpe)
    records = [r for r in debug_records.records if r.levelno == logging.DEBUG]
    assert [r.getMessage() for r in records] == reference_log(cidr, blocks, hpe)
    assert {r.funcName for r in debug_records.records} == {"compute_crvn_cidr"}
    assert {r.name for r in debug_records.records} == {LOGGER}
    assert result == reference(cidr, blocks, hpe)


def test_debug_walk_of_a_large_vpc_is_exhaustive(debug_records):
    blocks = [f"10.0.{i}.0/24" for i in range(256) if i != 200]
    assert gen.compute_crvn_cidr(vpc("10.0.0.0/16", blocks), False) == "10.0.200.0/27"
    checked = [r for r in debug_records.records if r.getMessage().startswith("Checking candidate subnet: ")]
    assert len(checked) == 2048
    assert checked[-1].getMessage() == "Checking candidate subnet: 10.0.255.224/27"


def test_dumps_built_only_when_debug_enabled(monkeypatch, caplog):
    calls = []

    def counting_pformat(value):
        calls.append(value)
        return pformat(value)

    def refuse(*args, **kwargs):
        raise AssertionError("network objects built with DEBUG disabled")

    monkeypatch.setattr(gen, "pformat", counting_pformat)
    monkeypatch.setattr(gen, "ipaddress", SimpleNamespace(ip_network=refuse))
    caplog.set_level(logging.INFO, logger=LOGGER)
    assert gen.compute_crvn_cidr(vpc("10.0.0.0/24", ["10.0.0.0/27"]), False) == "10.0.0.32/27"
    assert calls == []

    monkeypatch.setattr(gen, "ipaddress", ipaddress)  # the module's global is what builds the dumps
    caplog.set_level(logging.DEBUG, logger=LOGGER)
    gen.compute_crvn_cidr(vpc("10.0.0.0/24", ["10.0.0.0/27"]), False)
    assert calls == [[ipaddress.ip_network("10.0.0.0/27")], list(ipaddress.ip_network("10.0.0.0/24").subnets(new_prefix=27))[1:]]


def test_vpc_cidr_block_logged_as_the_network(debug_records):
    gen.compute_crvn_cidr(vpc("10.0.0.0/255.255.255.0"), False)
    assert debug_records.records[0].getMessage() == "VPC cidr_block: 10.0.0.0/24"


# ------------------------------------------------------------------- naming


@pytest.mark.parametrize(
    "tags, expected",
    [
        ([{"Key": "Name", "Value": "prod web tier"}], "prod_web_tier-CRVGW"),
        ([{"Key": "Name", "Value": "a b" * 10}], ("a b" * 10)[:23].replace(" ", "_") + "-CRVGW"),
        ([{"Key": "Name", "Value": ""}], "vpc-0a1b2c3d4e5f6a7b8c9-CRVGW"),
        (None, "vpc-0a1b2c3d4e5f6a7b8c9-CRVGW"),
        ([], "vpc-0a1b2c3d4e5f6a7b8c9-CRVGW"),
        ([{"Key": "Owner", "Value": "me"}], "vpc-0a1b2c3d4e5f6a7b8c9-CRVGW"),
        ([{"Key": "name", "Value": "lower"}], "vpc-0a1b2c3d4e5f6a7b8c9-CRVGW"),
        ([{"Key": "Env", "Value": "x"}, {"Key": "Name", "Value": "first"}, {"Key": "Name", "Value": "second"}],
         "first-CRVGW"),
        ([{"Key": "Name", "Value": "réseau partagé"}], "réseau_partagé-CRVGW"),
    ],
)
def test_spoke_gw_name(tags, expected):
    v = SimpleNamespace(id="vpc-0a1b2c3d4e5f6a7b8c9d0e1f2", tags=tags)
    assert gen.get_spoke_gw_name(v) == expected


@pytest.mark.parametrize(
    "value, expected, dropped",
    [
        ("prod\tweb\nnet", "prod_web_net-CRVGW", 0),  # control characters read as blanks
        ("admin\u202egpj.exe", "admingpj.exe-CRVGW", 1),  # a bidi override would show "exe.jpg"
        ("pay\u200bments\ufeff", "payments-CRVGW", 2),  # zero-width characters
        ("\u200b\u2060", "vpc-0a1-CRVGW", 2),  # nothing visible: the VPC's ID
        ("x" * 22 + "\u200dyz", "x" * 22 + "y-CRVGW", 1),  # cut after cleaning: 23 characters that show
    ],
)
def test_spoke_gw_name_never_reads_as_something_else(caplog, value, expected, dropped):
    caplog.set_level(logging.WARNING, logger="generator.generate")
    name = gen.get_spoke_gw_name(SimpleNamespace(id="vpc-0a1", tags=[{"Key": "Name", "Value": value}]))
    assert name == expected
    warnings = [r.getMessage() for r in caplog.records]
    assert warnings == ([f"VPC vpc-0a1: its Name tag {value!r} holds {dropped} invisible characters (such as bidi "
                         "controls or zero-width spaces), left out of its gateway name"] if dropped else [])


def test_spoke_gw_name_length():
    name = gen.get_spoke_gw_name(SimpleNamespace(id="vpc-1", tags=[{"Key": "Name", "Value": "x y" * 10}]))
    assert len(name) == 29 and " " not in name


def test_spoke_gw_name_missing_members():
    with pytest.raises(KeyError):
        gen.get_spoke_gw_name(SimpleNamespace(id="vpc-1", tags=[{"Value": "x"}]))
    with pytest.raises(KeyError):
        gen.get_spoke_gw_name(SimpleNamespace(id="vpc-1", tags=[{"Key": "Name"}]))
