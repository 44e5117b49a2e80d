"""Interface for loading serialized entities."""

from pathlib import Path
from typing import Any, Callable, ClassVar, Dict, List, Union

Loader = Callable[[Path], Dict[str, Any]]
FileExtensions = Union[str, List[str]]
LoadDecorator = Callable[[Loader], Loader]
REGISTER_TYPE = Callable[[FileExtensions], LoadDecorator]

class LoaderError(Exception): ...

class Loaders:
    _registry: ClassVar[Dict[str, Loader]]
    @classmethod
    def guess(cls, path: Path) -> Loader: ...
    @classmethod
    def register_loader(cls, file_exts: FileExtensions) -> LoadDecorator: ...

def register_loader(file_exts: FileExtensions) -> LoadDecorator: ...
def load_from_path(path: Union[str, Path]) -> Any: ...
def _ambiguous_loader(path: Path) -> Dict[str, Any]: ...
