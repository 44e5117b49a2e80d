"""Tandrel generator cli module."""

import argparse
from typing import Any, List, Optional, Sequence, Union

from generator.log import decrease_logging_level as decrease_logging_level
from generator.log import increase_logging_level as increase_logging_level

class _IncreaseVerbosityAction(argparse._CountAction):
    def __call__(
        self,
        parser: argparse.ArgumentParser,
        namespace: argparse.Namespace,
        values: Union[str, Sequence[Any], None],
        option_string: Optional[str] = None,
    ) -> None: ...

class _DecreaseVerbosityAction(argparse._CountAction):
    def __call__(
        self,
        parser: argparse.ArgumentParser,
        namespace: argparse.Namespace,
        values: Union[str, Sequence[Any], None],
        option_string: Optional[str] = None,
    ) -> None: ...

def get_parent_parser() -> List[argparse.ArgumentParser]: ...
