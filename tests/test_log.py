import logging
import re
import types

import pytest

import generator.log as glog


@pytest.fixture
def fresh_logger():
    """The logger 'generator' as a new process has it, restored afterwards."""
    logger = logging.getLogger("generator")
    saved = (logger.level, list(logger.handlers))
    logger.handlers[:] = []
    logger.setLevel(logging.NOTSET)
    yield logger
    logger.handlers[:] = saved[1]
    logger.setLevel(saved[0])


def test_module_constants():
    assert glog.LOG_QUIET_FORMAT == "{levelname}: {message}"
    assert glog.LOG_FORMAT == "{name}:{levelname} {message}"
    assert glog.LOG_DEBUG_FORMAT == "{asctime} {levelname} {name}:{funcName} {message}"
    assert isinstance(glog.DEBUG_FORMATTER, logging.Formatter)
    assert glog.DEBUG_FORMATTER._fmt == glog.LOG_DEBUG_FORMAT
    assert glog.QUIET_FORMATTER._fmt == glog.LOG_QUIET_FORMAT


def test_logging_library_is_read_through_the_module_at_call_time(fresh_logger, monkeypatch):
    assert glog.logging is logging
    elsewhere = logging.Logger("generator")  # not the process-wide one
    fake = types.SimpleNamespace(getLogger={"generator": elsewhere}.__getitem__,
                                 StreamHandler=logging.StreamHandler, Formatter=logging.Formatter)
    monkeypatch.setattr(glog, "logging", fake)
    glog.configure_logger()
    glog.decrease_logging_level()
    assert (elsewhere.level, elsewhere.handlers[0].formatter) == (30, glog.QUIET_FORMATTER)
    glog.increase_logging_level()
    assert (elsewhere.level, elsewhere.handlers[0].formatter) == (20, glog.DEBUG_FORMATTER)
    assert (fresh_logger.level, fresh_logger.handlers) == (logging.NOTSET, [])


def test_configure_logger_prints_default_format(fresh_logger, capsys):
    glog.configure_logger()
    assert fresh_logger.level == logging.INFO
    logging.getLogger("generator.generate").info("hello")
    logging.getLogger("generator.generate").debug("dropped")
    assert capsys.readouterr().err == "generator.generate:INFO hello\n"


STEPS = {"-v": glog.increase_logging_level, "-q": glog.decrease_logging_level}


@pytest.mark.parametrize(
    "options, level, fmt",
    [
        ([], 20, "LOG_FORMAT"),
        (["-v"], 10, "LOG_DEBUG_FORMAT"),
        (["-v", "-v"], 10, "LOG_DEBUG_FORMAT"),
        (["-q"], 30, "LOG_QUIET_FORMAT"),
        (["-q", "-q"], 40, "LOG_QUIET_FORMAT"),
        (["-q"] * 3, 50, "LOG_QUIET_FORMAT"),
        (["-q"] * 5, 50, "LOG_QUIET_FORMAT"),
        (["-q", "-v"], 20, "LOG_DEBUG_FORMAT"),
        (["-v", "-q"], 20, "LOG_QUIET_FORMAT"),
    ],
)
def test_verbosity_table(fresh_logger, options, level, fmt):
    glog.configure_logger()
    for option in options:
        STEPS[option]()
    assert fresh_logger.level == level
    assert fresh_logger.handlers[0].formatter._fmt == getattr(glog, fmt)
    if options:
        expected = glog.DEBUG_FORMATTER if options[-1] == "-v" else glog.QUIET_FORMATTER
        assert fresh_logger.handlers[0].formatter is expected


def test_debug_format_line(fresh_logger, capsys):
    glog.configure_logger()
    glog.increase_logging_level()

    def some_operation():
        logging.getLogger("generator.convert").debug("value %s", 3)

    some_operation()
    line = capsys.readouterr().err
    assert re.fullmatch(
        r"\d{4}-\d\d-\d\d \d\d:\d\d:\d\d,\d{3} DEBUG generator\.convert:some_operation value 3\n", line
    )


def test_increase_on_unconfigured_process(fresh_logger):
    assert logging.getLogger().level == logging.WARNING
    glog.increase_logging_level()
    assert fresh_logger.level == 20
    assert fresh_logger.handlers == []
    glog.configure_logger()
    assert fresh_logger.level == 20
    assert fresh_logger.handlers[0].formatter._fmt == glog.LOG_FORMAT


def test_second_configure_prints_twice(fresh_logger, capsys):
    glog.configure_logger()
    glog.configure_logger()
    logging.getLogger("generator.x").warning("twice")
    assert capsys.readouterr().err == "generator.x:WARNING twice\n" * 2


@pytest.mark.parametrize("verbosity, level", [(None, 20), (0, 20), (1, 40), (2, 30), (3, 20), (4, 10), (5, 0)])
def test_get_logging_level(verbosity, level):
    assert glog._get_logging_level(verbosity) == level
