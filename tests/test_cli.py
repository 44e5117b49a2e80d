import argparse
import importlib.metadata
import logging

import pytest

import generator
import generator.cli as cli
import generator.log as glog


@pytest.fixture
def configured_logger():
    """The logger 'generator' as the launcher leaves it (one handler, INFO); restored afterwards."""
    logger = logging.getLogger("generator")
    saved_level, saved_handlers = logger.level, list(logger.handlers)
    logger.handlers[:] = []
    glog.configure_logger()
    yield logger
    logger.handlers[:] = saved_handlers
    logger.setLevel(saved_level)


def command_parser(prog="generate"):
    return argparse.ArgumentParser(prog=prog, parents=cli.get_parent_parser())


@pytest.mark.parametrize("version, printed", [("0.1.0", "generate 0.1.0"), ("1.2.3", "generate 1.2.3"), (2, "generate 2")])
def test_version_prints_command_name_and_package_version(monkeypatch, capsys, version, printed):
    monkeypatch.setattr(generator, "__version__", version)
    with pytest.raises(SystemExit) as exit_info:
        command_parser().parse_args(["--version"])
    assert exit_info.value.code == 0
    assert capsys.readouterr().out == printed + "\n"


def test_version_is_written_once():
    """The installed distribution's version is the package's own, read from it at build time."""
    assert importlib.metadata.version("tandrel-generator") == generator.__version__


def test_version_is_read_when_the_parser_is_built(monkeypatch):
    first = cli.get_parent_parser()[0]
    installed = generator.__version__
    monkeypatch.setattr(generator, "__version__", "9.9")
    (version_action,) = [a for a in first._actions if a.option_strings == ["--version"]]
    assert version_action.version == f"%(prog)s {installed}"
    (version_action,) = [a for a in cli.get_parent_parser()[0]._actions if a.option_strings == ["--version"]]
    assert version_action.version == "%(prog)s 9.9"


def test_parent_parser_options():
    parents = cli.get_parent_parser()
    assert isinstance(parents, list) and len(parents) == 1
    parser = parents[0]
    assert parser.prog == "tandrel-generator" and parser.add_help is False
    actions = {tuple(sorted(a.option_strings)): a for a in parser._actions}
    assert set(actions) == {("--version",), ("--verbose", "-v"), ("--quiet", "-q")}
    verbose, quiet = actions["--verbose", "-v"], actions["--quiet", "-q"]
    assert (verbose.dest, type(verbose)) == ("verbose", cli._IncreaseVerbosityAction) and verbose.help
    assert (quiet.dest, type(quiet)) == ("quiet", cli._DecreaseVerbosityAction) and quiet.help


def test_parent_parser_has_no_help_and_is_new_each_time(capsys):
    with pytest.raises(SystemExit) as exit_info:
        cli.get_parent_parser()[0].parse_args(["-h"])
    assert exit_info.value.code == 2
    assert "unrecognized arguments: -h" in capsys.readouterr().err
    with pytest.raises(SystemExit) as exit_info:
        command_parser().parse_args(["-h"])
    assert exit_info.value.code == 0
    assert "--verbose" in capsys.readouterr().out
    first, second = cli.get_parent_parser(), cli.get_parent_parser()
    assert first is not second and first[0] is not second[0]


@pytest.mark.parametrize(
    "argv, verbose, quiet, level, fmt",
    [
        (["-v"], 1, None, logging.DEBUG, "LOG_DEBUG_FORMAT"),
        (["-vv"], 2, None, logging.DEBUG, "LOG_DEBUG_FORMAT"),
        (["-v", "--verbose"], 2, None, logging.DEBUG, "LOG_DEBUG_FORMAT"),
        (["-q"], None, 1, logging.WARNING, "LOG_QUIET_FORMAT"),
        (["-qqq"], None, 3, logging.CRITICAL, "LOG_QUIET_FORMAT"),
        (["-q", "-v"], 1, 1, logging.INFO, "LOG_DEBUG_FORMAT"),
        (["-v", "-q"], 1, 1, logging.INFO, "LOG_QUIET_FORMAT"),
    ],
)
def test_verbosity_options_count_and_step_logging(configured_logger, argv, verbose, quiet, level, fmt):
    args = command_parser().parse_args(argv)
    assert (args.verbose, args.quiet) == (verbose, quiet)
    assert configured_logger.level == level
    assert configured_logger.handlers[0].formatter._fmt == getattr(glog, fmt)


def test_no_option_leaves_logging_untouched(configured_logger):
    formatter = configured_logger.handlers[0].formatter
    args = command_parser().parse_args([])
    assert (args.verbose, args.quiet) == (None, None)
    assert configured_logger.level == logging.INFO
    assert configured_logger.handlers[0].formatter is formatter


def test_steps_are_called_through_the_module_names_in_option_order(monkeypatch):
    calls = []
    monkeypatch.setattr(cli, "increase_logging_level", lambda: calls.append("up"))
    monkeypatch.setattr(cli, "decrease_logging_level", lambda: calls.append("down"))
    args = command_parser().parse_args(["-q", "-vv", "--quiet"])
    assert calls == ["down", "up", "up", "down"]
    assert (args.verbose, args.quiet) == (2, 2)


def test_version_after_verbose_has_already_stepped(monkeypatch, capsys):
    calls = []
    monkeypatch.setattr(cli, "increase_logging_level", lambda: calls.append("up"))
    with pytest.raises(SystemExit):
        command_parser().parse_args(["-v", "--version", "-v"])
    assert calls == ["up"]
    assert capsys.readouterr().out == "generate 0.1.0\n"
