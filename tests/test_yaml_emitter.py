"""The native YAML writer of both commands against PyYAML itself: the same bytes for any data."""

import pytest
import yaml
from hypothesis import given, settings
from hypothesis import strategies as st

import generator.convert as cv
import generator.generate as gen
from generator.common import serializers


def pyyaml_text(data):
    return yaml.dump(data, Dumper=yaml.Dumper, default_flow_style=False, sort_keys=False, allow_unicode=True)


@pytest.fixture(autouse=True)
def registered():
    for module in (cv, gen):
        yaml.add_representer(module._quoted, module._quoted_presenter)


# Texts that exercise every rule of the double-quoted style: control characters, quotes,
# backslashes, blanks at both ends, long runs with and without blanks (folding at 80
# columns, also right after an escape), and characters of every Unicode plane.
CHARACTERS = st.one_of(
    st.characters(codec=None, min_codepoint=0, max_codepoint=0x10FFFF),
    st.sampled_from(list(' "\\\'\t\n\r\x00\x07\x1b\x7f\x85\xa0\u2028\u2029\ufeff\ud800\udfff\U0001F600é=+-@#:')),
    st.sampled_from([" ", "a", "b"]),
)
TEXTS = st.one_of(
    st.text(CHARACTERS, max_size=40),
    st.text(CHARACTERS, min_size=60, max_size=260),
    st.text(st.sampled_from("ab \\\x01é"), min_size=70, max_size=400),
    st.builds(lambda n, s: "x" * n + s, st.integers(0, 200), st.text(CHARACTERS, max_size=10)),
)
KEYS = st.one_of(
    st.from_regex(r"[A-Za-z_][A-Za-z0-9_-]{0,20}", fullmatch=True),
    st.sampled_from(["on", "off", "yes", "No", "true", "NULL", "account_info", "vpc_id", "a" * 122]),
)
SCALARS = st.one_of(TEXTS.map(cv._quoted), st.booleans(), st.integers(), st.none())


def structures(scalars):
    return st.recursive(
        scalars,
        lambda inner: st.one_of(st.lists(inner, max_size=4), st.dictionaries(KEYS, inner, max_size=4)),
        max_leaves=25,
    )


@settings(max_examples=400, deadline=None)
@given(st.dictionaries(KEYS, structures(SCALARS), max_size=5) | st.lists(structures(SCALARS), max_size=4))
def test_native_text_is_pyyaml_text(data):
    text = cv._dump_quoted(data)
    assert text is not None
    assert text == pyyaml_text(data)


@settings(max_examples=200, deadline=None)
@given(data=st.dictionaries(st.text(max_size=8) | st.just("a" * 123), structures(
    st.one_of(SCALARS, TEXTS, TEXTS.map(gen._quoted), st.floats(allow_nan=False), st.tuples(st.integers()))
), max_size=4))
def test_data_it_cannot_write_is_left_to_pyyaml_never_written_otherwise(data, tmp_path_factory):
    # Plain texts, odd keys, floats, tuples and the other module's marker type go to PyYAML
    # whole; whatever the native writer does write is PyYAML's text.
    text = cv._dump_quoted(data)
    assert text is None or text == pyyaml_text(data)
    path = tmp_path_factory.mktemp("y") / "out.yaml"
    serializers.export_to_path(data, path, dump=cv._dump_quoted)
    assert path.read_bytes() == pyyaml_text(data).encode("utf-8")


def test_falls_back_where_pyyaml_would_write_differently(monkeypatch):
    shared = [cv._quoted("a")]
    assert cv._dump_quoted({"x": shared, "y": shared}) is None, "a list met twice is written with an alias"
    assert cv._dump_quoted({"x": gen._quoted("a")}) is None
    assert gen._dump_quoted({"x": gen._quoted("a")}) == 'x: "a"\n'
    assert cv._dump_quoted(cv._quoted("top")) is None
    monkeypatch.setattr(yaml.Dumper, "yaml_representers", dict(yaml.Dumper.yaml_representers))
    yaml.add_representer(int, lambda dumper, data: dumper.represent_scalar("tag:yaml.org,2002:int", hex(data)))
    assert cv._dump_quoted({"n": 10}) is None, "a representer replaced by the caller is obeyed"
    monkeypatch.setattr(yaml.Dumper, "yaml_representers", dict(yaml.Dumper.yaml_representers))
    yaml.add_representer(cv._quoted, lambda dumper, data: dumper.represent_scalar("tag:yaml.org,2002:str", data))
    assert cv._dump_quoted({"n": cv._quoted("a")}) is None
