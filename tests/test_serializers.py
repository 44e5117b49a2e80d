import os
import uuid
from pathlib import Path

import pytest
import yaml

import generator.common.serializers as serializers
from generator.common.serializers import export
from generator.common.serializers.load import LoaderError


class _marked(str):
    """A text the YAML writer must emit double-quoted, as the commands' own marker type."""


@pytest.fixture
def quoted_representer(monkeypatch):
    """Register the double-quote representer on the default dumper for one test only."""
    monkeypatch.setattr(yaml.Dumper, "yaml_representers", dict(yaml.Dumper.yaml_representers))
    yaml.add_representer(_marked, lambda dumper, data: dumper.represent_scalar("tag:yaml.org,2002:str", data, style='"'))


def test_package_names():
    assert serializers.load_from_path.__module__ == "generator.common.serializers.load"
    assert serializers.export_to_path is export.export_to_path


@pytest.mark.parametrize("name", ["out.yaml", "out.yml", "OUT.YAML"])
def test_yaml_round_trip_keeps_order_and_unicode(tmp_path, name):
    data = {"zeta": 1, "alpha": {"b": [1, 2], "a": None}, "name": "Zürich-1", "on": True}
    serializers.export_to_path(data, str(tmp_path / name))
    text = (tmp_path / name).read_text(encoding="utf-8")
    assert text == "zeta: 1\nalpha:\n  b:\n  - 1\n  - 2\n  a: null\nname: Zürich-1\n'on': true\n"
    loaded = serializers.load_from_path(tmp_path / name)
    assert loaded == data and list(loaded) == list(data)
    loaded.update({"account_info": [{"account_id": "1"}]})


def test_marked_texts_are_double_quoted_and_the_rest_plain(tmp_path, quoted_representer):
    data = {
        "config": {"name": _marked("gw-1"), "count": 3, "enabled": False, "none": None},
        "account_info": [{"account_id": _marked("123456789012"), "cidrs": [_marked("10.0.0.0/24")]}],
    }
    serializers.export_to_path(data, tmp_path / "q.yaml")
    assert (tmp_path / "q.yaml").read_text() == (
        "config:\n"
        '  name: "gw-1"\n'
        "  count: 3\n"
        "  enabled: false\n"
        "  none: null\n"
        "account_info:\n"
        '- account_id: "123456789012"\n'
        "  cidrs:\n"
        '  - "10.0.0.0/24"\n'
    )


@pytest.mark.parametrize(
    "content, found", [("", "found nothing"), ("# only a comment\n", "found nothing"), ("- a\n- b\n", "found a list"), ("text\n", "found a str")]
)
def test_yaml_reader_wants_a_mapping(tmp_path, content, found):
    path = tmp_path / "template.yaml"
    path.write_text(content)
    with pytest.raises(ValueError) as err:
        serializers.load_from_path(path)
    assert str(err.value) == f"YAML file {path} must hold a mapping at its top level, {found}"


def test_yaml_syntax_error_names_the_file(tmp_path):
    path = tmp_path / "broken.yaml"
    path.write_text("a: [1, 2\nb: 3\n")
    with pytest.raises(yaml.YAMLError) as err:
        serializers.load_from_path(path)
    assert str(path) in str(err.value)


def test_unknown_extension_for_export(tmp_path):
    with pytest.raises(ValueError) as err:
        serializers.export_to_path({"a": 1}, "out/data.txt")
    assert str(err.value) == f"Could not determine exporter from {Path('out/data.txt')}"
    with pytest.raises(ValueError):
        serializers.export_to_path({"a": 1}, tmp_path / "noext")
    assert list(tmp_path.iterdir()) == []


def test_exporter_registration_rules(tmp_path):
    first, second, later = ("t" + uuid.uuid4().hex[:8] for _ in range(3))
    calls = []

    def writer(data, path):
        calls.append((data, path))

    assert export.register_exporter([first, second])(writer) is writer
    assert export.register_exporter(later)(writer) is writer
    serializers.export_to_path({"x": 1}, f"dir/out.{second.upper()}")
    assert calls == [({"x": 1}, Path(f"dir/out.{second.upper()}"))]
    fresh = "t" + uuid.uuid4().hex[:8]
    with pytest.raises(LoaderError) as err:
        export.register_exporter([fresh, first])(print)
    assert str(err.value) == f"Exporter for file extension {first} already exists in registry."
    serializers.export_to_path({"y": 2}, f"out.{first}")
    assert calls[-1] == ({"y": 2}, Path(f"out.{first}")), "an existing writer is never replaced"


ORIGINAL = "kept: true\n"


@pytest.fixture
def existing_yaml(tmp_path):
    path = tmp_path / "config.yaml"
    path.write_text(ORIGINAL)
    return path


def test_failed_yaml_write_leaves_the_file_and_no_temporary(existing_yaml, monkeypatch):
    def half_dump(data, stream, **kwargs):
        stream.write("half: ")
        raise yaml.representer.RepresenterError("cannot represent an object", data)

    monkeypatch.setattr(yaml, "dump", half_dump)
    with pytest.raises(yaml.representer.RepresenterError) as err:
        serializers.export_to_path({"new": 1}, existing_yaml)
    assert existing_yaml.read_text() == ORIGINAL
    assert list(existing_yaml.parent.iterdir()) == [existing_yaml]
    assert err.value.__notes__ == [f"while writing {existing_yaml}"]


class _NotedError(Exception):
    """An error whose add_note is its own, as some libraries' are: the note must still go through it."""

    def add_note(self, note):
        self.seen = note
        self.__notes__ = [*getattr(self, "__notes__", ()), note]


def test_a_failed_write_notes_the_file_by_the_error_own_rule(existing_yaml, monkeypatch):
    raised = _NotedError("refused")

    def refuse(data, stream, **kwargs):
        raise raised

    monkeypatch.setattr(yaml, "dump", refuse)
    with pytest.raises(_NotedError) as err:
        serializers.export_to_path({"new": 1}, existing_yaml)
    assert err.value is raised and raised.seen == f"while writing {existing_yaml}"
    assert raised.__notes__ == [f"while writing {existing_yaml}"]


@pytest.mark.parametrize("dump, writer", [
    (lambda data: "native: 1\n", "with the native YAML writer"),
    (lambda data: None, "with PyYAML: the native YAML writer cannot write this data as PyYAML would"),
    (None, "with PyYAML"),
])
def test_the_yaml_writer_that_ran_is_logged_at_debug(tmp_path, caplog, dump, writer):
    caplog.set_level("DEBUG", logger="generator")
    path = tmp_path / "out.yaml"
    serializers.export_to_path({"native": 1}, path, **({} if dump is None else {"dump": dump}))
    assert path.read_text() == "native: 1\n"
    assert [(r.levelname, r.getMessage()) for r in caplog.records] == [("DEBUG", f"YAML written {writer}")]


def test_failed_replace_names_the_destination(existing_yaml, monkeypatch):
    def refuse(src, dst):
        raise PermissionError(13, "Permission denied", str(src), None, str(dst))

    monkeypatch.setattr(os, "replace", refuse)
    with pytest.raises(PermissionError) as err:
        serializers.export_to_path({"new": 1}, existing_yaml)
    assert str(err.value) == f"[Errno 13] Permission denied: '{existing_yaml}'"
    assert existing_yaml.read_text() == ORIGINAL
    assert list(existing_yaml.parent.iterdir()) == [existing_yaml]


@pytest.mark.parametrize("make_parent, error", [(lambda p: None, FileNotFoundError), (lambda p: p.write_text("x"), NotADirectoryError)])
def test_unusable_destination_folder(tmp_path, make_parent, error):
    parent = tmp_path / "folder"
    make_parent(parent)
    destination = parent / "out.yaml"
    with pytest.raises(error) as err:
        serializers.export_to_path({"a": 1}, destination)
    assert err.value.filename == str(destination)
    assert str(destination) in str(err.value)


@pytest.mark.skipif(os.name != "posix" or os.geteuid() == 0, reason="needs POSIX permissions that bind the user")
def test_read_only_destination_folder(existing_yaml):
    existing_yaml.parent.chmod(0o500)
    try:
        with pytest.raises(PermissionError) as err:
            serializers.export_to_path({"new": 1}, existing_yaml)
    finally:
        existing_yaml.parent.chmod(0o700)
    assert err.value.filename == str(existing_yaml)
    assert existing_yaml.read_text() == ORIGINAL


@pytest.mark.skipif(os.name != "posix", reason="POSIX permission bits")
def test_permissions_of_new_and_replaced_files(existing_yaml):
    existing_yaml.chmod(0o640)
    serializers.export_to_path({"new": 1}, existing_yaml)
    assert existing_yaml.stat().st_mode & 0o777 == 0o640
    assert existing_yaml.read_text() == "new: 1\n"
    old_umask = os.umask(0o027)
    try:
        serializers.export_to_path({"new": 1}, existing_yaml.parent / "fresh.yaml")
    finally:
        os.umask(old_umask)
    assert (existing_yaml.parent / "fresh.yaml").stat().st_mode & 0o777 == 0o640


@pytest.mark.parametrize("ending, data", [(".yaml", {"a": 1}), (".xlsx", [{"a": 1}])], ids=["yaml", "xlsx"])
def test_longest_names_and_links_are_outputs_as_meant(tmp_path, ending, data):
    """A name as long as the file system takes is written; a link stays and its file is replaced."""
    from generator.common.serializers import xlsx  # noqa: F401  (registers the workbook writer)

    longest = tmp_path / ("n" * (os.pathconf(tmp_path, "PC_NAME_MAX") - len(ending)) + ending)
    serializers.export_to_path(data, longest)
    assert sorted(tmp_path.iterdir()) == [longest]

    real_folder, link_folder = tmp_path / "real", tmp_path / "links"
    real_folder.mkdir(), link_folder.mkdir()
    real, link = real_folder / f"review{ending}", link_folder / f"review{ending}"
    real.write_bytes(b"old")
    real.chmod(0o640)
    link.symlink_to(os.path.relpath(real, link_folder))
    serializers.export_to_path(data, link)
    assert link.is_symlink() and os.readlink(link) == os.path.relpath(real, link_folder)
    assert serializers.load_from_path(real) == serializers.load_from_path(longest)
    assert real.stat().st_mode & 0o777 == 0o640
    assert list(real_folder.iterdir()) == [real] and list(link_folder.iterdir()) == [link]
