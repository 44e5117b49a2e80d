"""Tandrel generator logging module."""

import logging

LOG_QUIET_FORMAT: str
LOG_FORMAT: str
LOG_DEBUG_FORMAT: str
DEBUG_FORMATTER: logging.Formatter
QUIET_FORMATTER: logging.Formatter

def configure_logger() -> None: ...
def increase_logging_level() -> None: ...
def decrease_logging_level() -> None: ...
def _get_logging_level(verbosity: int) -> int: ...
