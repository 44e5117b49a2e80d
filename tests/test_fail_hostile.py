"""Hostile files: a configuration or template built from YAML aliases is refused
as such, and no error line quotes more than a few hundred characters of input."""
import os
import pathlib
import subprocess
import sys
import time

import pytest
import yaml

import generator.generate as gen
from generator.common.serializers import xlsx

SCRIPTS = pathlib.Path(sys.executable).parent
LONG = "x" * 1_000_000
BOMB_LINE = "refused as an alias bomb"


def alias_bomb(levels=9):
    """A few hundred bytes that stand for 9**9 values."""
    lines = ['l0: &l0 ["lol", "lol", "lol", "lol", "lol", "lol", "lol", "lol", "lol"]']
    lines += [f"l{i}: &l{i} [{', '.join([f'*l{i - 1}'] * 9)}]" for i in range(1, levels)]
    return "\n".join(lines) + "\n"


def config(**controller):
    return yaml.safe_dump({"account_ids": ["111111111111"], "controller": {"ip": "127.0.0.1:1", "username": "a",
                           **controller}, "defaults": {"role_name": "r"}})


TEMPLATE = {"config": {"configure_gw_name": True}, "account_info": []}


@pytest.fixture
def folder(tmp_path):
    row = dict.fromkeys(gen.HEADERS, "") | {"account_id": "111111111111", "account_name": "prod", "hpe": False,
                                            "region": "us-east-1", "vpc_id": "vpc-1", "role_name": "r"}
    xlsx.export_to_xlsx([row], tmp_path / "book.xlsx")
    return tmp_path


CONVERT = ["convert", "-e", "book.xlsx", "-y", "out.yaml", "--template", "in.yaml"]
GENERATE = ["generate", "-c", "in.yaml", "-e", "out.xlsx"]


@pytest.mark.slow
@pytest.mark.parametrize(
    "argv, text, expected",
    [
        (GENERATE, alias_bomb(), f"generate: error: in.yaml: its aliases (*name) would expand the document by more "
                                 f"than 10000 values; {BOMB_LINE}"),
        (GENERATE, "account_ids: &a [1, *a]\n",
         "generate: error: in.yaml: an alias at line 1 makes the document contain itself"),
        (CONVERT, alias_bomb(), f"convert: error: YAML file in.yaml: its aliases (*name) would expand the document "
                                f"by more than 10000 values; {BOMB_LINE}"),
        (GENERATE, config(ip=LONG), "is not a controller address"),
        (GENERATE, config(timeout=LONG), "is not a time-out: give a positive number of seconds"),
        (GENERATE, config(**{LONG: 1}), "unknown key"),
        (CONVERT, yaml.safe_dump({**TEMPLATE, "config": {"configure_gw_name": LONG}}), "not a yes/no value"),
    ],
    ids=["config alias bomb", "config containing itself", "template alias bomb", "long address", "long time-out",
         "long key", "long template value"],
)
def test_hostile_file_is_refused_in_a_short_line(folder, argv, text, expected):
    (folder / "in.yaml").write_text(text)
    began = time.monotonic()
    done = subprocess.run([str(SCRIPTS / argv[0]), *argv[1:]], cwd=folder, capture_output=True, text=True,
                          timeout=120, stdin=subprocess.DEVNULL, start_new_session=True,
                          env={k: v for k, v in os.environ.items() if k != "CORVANE_PASSWORD"})
    assert time.monotonic() - began < 30
    assert done.returncode == 1
    assert expected in done.stderr
    assert len(done.stderr) < 2000 and max(map(len, done.stderr.splitlines())) <= 500
    assert not (folder / "out.yaml").exists() and not (folder / "out.xlsx").exists()


def test_aliases_within_the_bound_are_read(tmp_path):
    """Reusing blocks by alias, as people do, stays allowed."""
    from generator.common.serializers import load_from_path

    path = tmp_path / "t.yaml"
    path.write_text("base: &b {hpe: true, zones: [a, b]}\nfirst: *b\nsecond: {<<: *b, hpe: false}\n" + alias_bomb(4))
    data = load_from_path(path)
    assert data["first"] == {"hpe": True, "zones": ["a", "b"]} and data["second"]["hpe"] is False
    assert len(data["l3"]) == 9
