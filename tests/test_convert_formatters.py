"""The cell formatters of the convert command and the module's shape."""

import pytest
import yaml

import generator.convert as cv


def test_columns_match_the_workbook():
    assert cv.ACCOUNT_INFO_FIELDS == [
        "account_id", "account_name", "hpe", "managed_tgw", "filter_cidrs", "spoke_gw_size", "role_name",
    ]
    assert cv.VPC_FIELDS == [
        "vpc_id", "crvn_cidr", "gw_zones", "spoke_gw_tags", "domain", "encrypt", "inspection",
        "spoke_advertisement", "spoke_routes", "spoke_gw_name", "transit_gw_name",
    ]
    assert cv.NULL == ""


def test_field_formatters_table():
    f = cv.FIELD_FORMATTERS
    assert list(f) == [
        "hpe", "managed_tgw", "encrypt", "inspection", "gw_zones", "filter_cidrs", "spoke_routes", "spoke_gw_tags",
    ]
    assert all(f[c] is cv._bool for c in ("hpe", "managed_tgw", "encrypt", "inspection"))
    assert f["spoke_gw_tags"] is cv.parse_spoke_gw_tags
    lists = [f["gw_zones"], f["filter_cidrs"], f["spoke_routes"]]
    assert len({id(x) for x in lists}) == 3, "each list column has its own formatter"
    for fmt in lists:
        assert fmt.formatter is str
        assert fmt.__qualname__ == "_list.<locals>._format"
        assert fmt.__name__ == "_format"


@pytest.mark.parametrize(
    "cell, expected",
    [
        ("true", True), ("TRUE", True), (" True ", True), ("yes", True), ("Y", True), ("1", True), ("on", True),
        ("false", False), ("FALSE", False), ("False", False), ("no", False), ("N", False), ("0", False),
        (" off\n", False),
        (True, True), (False, False), (1, True), (0, False), (0.0, False), (None, False),
    ],
)
def test_bool(cell, expected):
    assert cv._bool(cell) is expected


@pytest.mark.parametrize("cell", ["maybe", "n/a", "", "tru", "yes please", "2"])
def test_bool_refuses_other_words(cell):
    with pytest.raises(ValueError) as err:
        cv._bool(cell)
    assert repr(cell) in str(err.value)


@pytest.mark.parametrize(
    "cell, expected",
    [
        ("[]", []),
        ("['a']", ["a"]),
        ("['10.1.0.0/16', '10.2.0.0/16']", ["10.1.0.0/16", "10.2.0.0/16"]),
        ("10.1.0.0/16", ["10.1.0.0/16"]),
        ("a, b, c", ["a", "b", "c"]),
        ("a,b", ["a", "b"]),
        ("['a',  'b']", ["a", "b"]),
        ("a ,, b,", ["a", "b"]),
        (" us-east-1a ,\n us-east-1b ", ["us-east-1a", "us-east-1b"]),
        ('["a", "b"]', ['"a"', '"b"']),
        ("", []),
    ],
)
def test_list_cells(cell, expected):
    result = cv._list(str)(cell)
    assert result == expected
    assert all(type(item) is str for item in result)


def test_list_applies_its_formatter_to_each_piece():
    seen = []

    def record(piece):
        seen.append(piece)
        return piece.upper()

    assert cv._list(record)("['a', 'b']") == ["A", "B"]
    assert seen == ["a", "b"]
    assert cv._list(int)("1, 2,3") == [1, 2, 3]


@pytest.mark.parametrize("cell", [42, 1.5, True])
def test_list_refuses_cells_that_are_not_text(cell):
    with pytest.raises(TypeError) as err:
        cv._list(str)(cell)
    assert repr(cell) in str(err.value)


@pytest.mark.parametrize(
    "cell, expected",
    [
        ("Name=web,Env=prod", [("Name", "web"), ("Env", "prod")]),
        ("Name=web, Env=prod", [("Name", "web"), ("Env", "prod")]),
        (" Name = web server , Env=prod ", [("Name", "web server"), ("Env", "prod")]),
        (",", []),
        (",,", []),
        ("k=", [("k", "")]),
        ("k=v,", [("k", "v")]),
    ],
)
def test_spoke_gw_tags(cell, expected):
    tags = cv.parse_spoke_gw_tags(cell)
    assert [(t["key"], t["value"]) for t in tags] == expected
    for tag in tags:
        assert list(tag) == ["key", "value"]
        assert type(tag["key"]) is cv._quoted and type(tag["value"]) is cv._quoted


@pytest.mark.parametrize(
    "cell, piece",
    [("a=b=c", "a=b=c"), ("Name=web, Env", "Env"), ("=v", "=v"), ("Name=web, = x", "= x")],
)
def test_spoke_gw_tags_refuses_bad_pieces(cell, piece):
    with pytest.raises(ValueError) as err:
        cv.parse_spoke_gw_tags(cell)
    assert repr(piece) in str(err.value)


def test_spoke_gw_tags_refuses_a_number():
    with pytest.raises(TypeError, match="42"):
        cv.parse_spoke_gw_tags(42)


def test_tags_are_written_double_quoted():
    yaml.add_representer(cv._quoted, cv._quoted_presenter)
    text = yaml.dump(cv.parse_spoke_gw_tags("Env=0123, On=yes"), sort_keys=False)
    assert text == '- key: "Env"\n  value: "0123"\n- key: "On"\n  value: "yes"\n'
    assert yaml.safe_load(text) == [{"key": "Env", "value": "0123"}, {"key": "On", "value": "yes"}]


def test_recurse_quoted_marks_every_text_and_leaves_the_input():
    data = {"a": ["x", {"b": "0123", "c": 1, "d": None, "e": True}], "f": ""}
    quoted = cv._recurse_quoted(data)
    assert quoted == data
    assert type(quoted["a"][0]) is cv._quoted and type(quoted["a"][1]["b"]) is cv._quoted
    assert type(quoted["f"]) is cv._quoted
    assert all(type(k) is str for k in quoted)
    assert type(data["a"][0]) is str, "the input stays unchanged"
    assert quoted["a"][1]["c"] == 1 and quoted["a"][1]["d"] is None and quoted["a"][1]["e"] is True


def test_quoted_type_is_the_modules_own(monkeypatch):
    import generator.generate as gen

    other = gen._quoted
    assert other is not cv._quoted
    assert issubclass(other, str)
    monkeypatch.delitem(yaml.Dumper.yaml_representers, other, raising=False)
    yaml.add_representer(cv._quoted, cv._quoted_presenter)
    assert yaml.dump(cv._quoted("yes")) == '"yes"\n'
    assert not yaml.dump(other("yes")).startswith('"yes"'), "the registration covers only this module's type"


def test_quoted_yaml_text(tmp_path):
    from generator.common import serializers

    data = {"texts": ["0123", "true", "no", "null", "1.0", ""], "n": 3, "f": 1.5, "b": False, "z": None,
            "nested": [{"k": cv._quoted("already")}]}
    yaml.add_representer(cv._quoted, cv._quoted_presenter)
    serializers.export_to_path(cv._recurse_quoted(data), tmp_path / "q.yaml")
    text = (tmp_path / "q.yaml").read_text()
    assert text == (
        'texts:\n- "0123"\n- "true"\n- "no"\n- "null"\n- "1.0"\n- ""\n'
        "n: 3\nf: 1.5\nb: false\nz: null\n"
        'nested:\n- k: "already"\n'
    )
    assert yaml.safe_load(text) == data


def test_recurse_quoted_container_kinds():
    import collections

    class Rows(list):
        pass

    data = collections.OrderedDict(a=Rows(["x", ("t", "u")]), b={"s"}, c=b"raw")
    quoted = cv._recurse_quoted(data)
    assert type(quoted) is dict and list(quoted) == ["a", "b", "c"]
    assert type(quoted["a"]) is list and type(quoted["a"][0]) is cv._quoted
    assert quoted["a"][1] is data["a"][1], "a tuple is neither copied nor descended into"
    assert quoted["b"] is data["b"] and quoted["c"] is data["c"]


@pytest.mark.slow
@pytest.mark.parametrize("module", ["generator.convert", "generator.generate"])
@pytest.mark.parametrize("build", ["a = []; a.append(a)", "a = {}; a['self'] = [a]"])
def test_recurse_quoted_on_a_structure_holding_itself_is_an_error_not_a_crash(module, build):
    import subprocess
    import sys

    code = (
        f"import {module} as m\n{build}\n"
        "try:\n    m._recurse_quoted(a)\nexcept RecursionError:\n    print('refused')\n"
    )
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert result.returncode == 0, result.stderr
    assert result.stdout == "refused\n"
