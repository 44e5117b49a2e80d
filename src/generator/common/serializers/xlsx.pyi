"""Reads and writes review workbooks (.xlsx): one record per row, column title to cell value."""

import logging
from pathlib import Path
from typing import Any, Dict, Iterable, List, Mapping, Optional, Sequence, Union

from generator.common.serializers.load import register_loader as register_loader

log: logging.Logger
DEFAULT_COL_WIDTH: int
XLSX_EXTS: List[str]

def load_from_xlsx(path: Union[str, Path]) -> List[Dict[str, Any]]: ...
def load_sheets(path: Union[str, Path]) -> Dict[str, List[Dict[str, Any]]]: ...
def check_sheet(path: Union[str, Path], title: str, columns: Optional[Sequence[str]] = None) -> None: ...
def sheet_titles(path: Union[str, Path]) -> List[str]: ...
def cell_notes(path: Union[str, Path], title: str) -> Dict[str, str]: ...
def export_to_xlsx(
    data: Sequence[Mapping[str, Any]],
    path: Union[str, Path],
    columns: Optional[Sequence[str]] = None,
    sheets: Optional[Sequence[Mapping[str, Any]]] = None,
    marks: Optional[Sequence[Mapping[str, Any]]] = None,
    **kwargs: Any,
) -> None: ...
def export_sheets(sheets: Sequence[Mapping[str, Any]], path: Union[str, Path]) -> None: ...
def _set_column_widths(column_widths: Iterable[float], path: Union[str, Path]) -> None: ...
