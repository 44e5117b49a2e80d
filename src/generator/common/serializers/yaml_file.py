"""YAML reader and writer of the serializers package, for files ending in .yaml or .yml."""

from pathlib import Path
from typing import Any, Callable, Dict, Optional, Union

import yaml

from generator.common.serializers.export import register_exporter, write_atomically
from generator.common.serializers.load import register_loader

YAML_EXTS = ["yaml", "yml"]


@register_loader(YAML_EXTS)
def load_from_yaml(path: Union[str, Path]) -> Dict[str, Any]:
    """Return the mapping that the YAML file at path holds."""
    with open(path, encoding="utf-8") as stream:
        data = yaml.safe_load(stream)  # a syntax error names the file, line and column
    if not isinstance(data, dict):
        found = "nothing" if data is None else f"a {type(data).__name__}"
        raise ValueError(f"YAML file {path} must hold a mapping at its top level, found {found}")
    return data


@register_exporter(YAML_EXTS)
def export_to_yaml(
    data: Any, path: Union[str, Path], dump: Optional[Callable[[Any], Optional[str]]] = None
) -> None:
    """Write data to path as one YAML document: block style, keys in their order, UTF-8.

    dump: a faster writer that returns the very text PyYAML would write for data,
    or None for data it cannot write; PyYAML writes what it leaves.
    """
    text = None if dump is None else dump(data)

    def write(tmp: Path) -> None:
        with open(tmp, "w", encoding="utf-8") as stream:
            if text is not None:
                stream.write(text)
                return
            # The default dumper, so that representers added with yaml.add_representer apply.
            yaml.dump(
                data, stream, Dumper=yaml.Dumper, default_flow_style=False, sort_keys=False, allow_unicode=True
            )

    write_atomically(path, write)
