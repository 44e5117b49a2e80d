"""Writing data to files, the writer chosen by the file's extension, and safe replacement of files."""

import os
import secrets
import shutil
from pathlib import Path
from typing import Any, Callable, List, Optional, Union

from generator.common.serializers.load import LoaderError, _add_note

Exporter = Callable[[Any, Path], None]
FileExtensions = Union[str, List[str]]

_registry = {}


def register_exporter(file_exts: FileExtensions) -> Callable[[Exporter], Exporter]:
    """Return a decorator that registers a writer for one extension or a list of extensions (no dot)."""
    if not isinstance(file_exts, list):
        file_exts = [file_exts]

    def _register_func(exporter: Exporter) -> Exporter:
        for ext in file_exts:
            dot_ext = f".{ext}"
            if dot_ext in _registry:
                raise LoaderError(f"Exporter for file extension {ext} already exists in registry.")
            _registry[dot_ext] = exporter
        return exporter

    return _register_func


def export_to_path(data: Any, path: Union[str, Path], **options: Any) -> None:
    """Write data to path with the writer registered for the path's extension (lowered).

    options: keyword arguments for that writer (such as the YAML writer's dump).
    """
    path = Path(path)
    exporter = _registry.get(path.suffix.lower())
    if exporter is None:
        raise ValueError(f"Could not determine exporter from {path}")
    exporter(data, path, **options)


def write_atomically(path: Union[str, Path], write: Callable[[Path], Any], suffix: Optional[str] = None) -> None:
    """Call write(temporary path) in path's folder, then move the written file over path.

    If anything fails, a file already at path is left as it was and the temporary
    file is removed. The temporary name ends in suffix (by default path's own), as
    some writers choose their format by it. When path is a symbolic link, the file
    it points to is the one replaced: the link stays.
    """
    path = Path(path)
    target = Path(os.path.realpath(path)) if path.is_symlink() else path
    try:
        tmp = _create_beside(target, path.suffix if suffix is None else suffix)
    except OSError as err:  # the folder is missing or not writable
        _name_destination(err, path, err.filename)
        raise
    try:
        if target.exists():
            shutil.copymode(target, tmp)  # a replaced file keeps its permissions
        write(tmp)
        os.replace(tmp, target)
    except BaseException as err:
        tmp.unlink(missing_ok=True)
        _name_destination(err, path, tmp)
        raise


# The longest ending a temporary name keeps; longer ones are no file format's.
_SUFFIX_LIMIT = 16


def _create_beside(path: Path, suffix: str) -> Path:
    """Create a new empty file next to path, with the permissions a plain new file gets.

    Its name is short whatever path's is (".~" and 12 letters, then suffix), so that any
    name the file system takes for path works, up to its longest.
    """
    if len(suffix) > _SUFFIX_LIMIT:
        suffix = ""
    while True:
        tmp = path.with_name(f".~{secrets.token_hex(6)}{suffix}")
        try:
            os.close(os.open(tmp, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o666))
            return tmp
        except FileExistsError:
            continue


def _name_destination(err: BaseException, path: Path, tmp: Any) -> None:
    """Let the error name the file the engineer asked for rather than the temporary one."""
    if isinstance(err, OSError) and err.strerror is not None:
        if err.filename is None or str(err.filename) == str(tmp):
            err.filename = str(path)
            del err.filename2  # no second name: "... -> None" would only confuse
            return
    if isinstance(err, Exception):
        _add_note(err, f"while writing {path}")
