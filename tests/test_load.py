import uuid
from pathlib import Path

import pytest

from generator.common.serializers import load
from generator.common.serializers.load import Loaders, LoaderError, load_from_path, register_loader


@pytest.fixture
def ext():
    """A fresh extension per test: the registry lives as long as the process."""
    return lambda: "t" + uuid.uuid4().hex[:10]


def loader(path):
    return {"loaded": path}


def test_list_registration_keeps_the_function(ext):
    first, second = ext(), ext()
    decorated = register_loader([first, second])(loader)
    assert decorated is loader
    assert Loaders._registry["." + first] is loader and Loaders._registry["." + second] is loader


def test_register_without_applying_changes_nothing(ext):
    name = ext()
    before = dict(Loaders._registry)
    decorator = Loaders.register_loader(name)
    assert decorator.__name__ == "_register_func"
    assert Loaders._registry == before


def test_duplicate_registration(ext):
    taken, new, later = ext(), ext(), ext()
    register_loader(taken)(loader)

    def other(path):
        return path

    with pytest.raises(LoaderError) as err:
        register_loader([new, taken, later])(other)
    assert str(err.value) == f"Loader for file extension {taken} already exists in registry."
    assert Loaders._registry["." + taken] is loader, "an entry is never replaced"
    assert Loaders._registry["." + new] is other, "extensions before the duplicate stay registered"
    assert "." + later not in Loaders._registry


@pytest.mark.parametrize("make", [lambda name: (name, "b"), lambda name: int(name[1:], 16)])
def test_a_non_list_is_one_extension(ext, make):
    given = make(ext())
    register_loader(given)(loader)
    assert Loaders._registry["." + str(given)] is loader


def test_guess_lowers_the_suffix_and_load_from_path_hands_a_path(ext):
    name = ext()
    register_loader(name)(loader)
    assert Loaders.guess(Path(f"data/Accounts.{name.upper()}")) is loader
    result = load_from_path(f"data/Accounts.{name.upper()}")
    assert result == {"loaded": Path(f"data/Accounts.{name.upper()}")}
    assert isinstance(result["loaded"], Path)


@pytest.mark.parametrize("registered", ["UPPER", ".dotted"])
def test_keys_are_stored_as_given_and_then_never_chosen(registered):
    suffix = uuid.uuid4().hex[:6]
    name = registered + suffix
    register_loader(name)(loader)
    assert Loaders._registry["." + name] is loader
    assert Loaders.guess(Path("book." + name)) is load._ambiguous_loader


@pytest.mark.parametrize("name", ["data/accounts", "data/.xlsx", "data/book.", "."])
def test_no_usable_suffix_means_ambiguous(name):
    assert Loaders.guess(Path(name)) is load._ambiguous_loader
    with pytest.raises(ValueError) as err:
        load_from_path(name)
    assert str(err.value) == f"Could not determine loader from {Path(name)}"
    assert type(err.value) is ValueError


def test_guess_takes_the_last_suffix_only(ext):
    name = ext()
    register_loader(name)(loader)
    assert Loaders.guess(Path(f"dir.{name}/archive.tar.{name}")) is loader
    assert Loaders.guess(Path(f"dir.{name}/archive")) is load._ambiguous_loader


def test_loader_errors_pass_through(ext):
    name = ext()

    @register_loader(name)
    def missing(path):
        return open(path)

    with pytest.raises(FileNotFoundError):
        load_from_path(f"/nonexistent/file.{name}")


def test_subclass_shares_the_registry_and_errors_are_catchable(ext):
    class Local(Loaders):
        pass

    name = ext()
    Local.register_loader(name)(loader)
    assert Loaders.guess(Path("x." + name)) is loader
    assert Local.guess(Path("x." + name)) is loader
    with pytest.raises(Exception) as err:
        Local.register_loader(name)(loader)
    assert isinstance(err.value, LoaderError)
