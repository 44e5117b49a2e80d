"""YAML reader and writer of the serializers package, for files ending in .yaml or .yml."""

import logging
from pathlib import Path
from typing import Any, Callable, Dict, Optional, Union

import yaml

from generator.common.serializers.export import register_exporter, write_atomically
from generator.common.serializers.load import register_loader

log = logging.getLogger(__name__)

YAML_EXTS = ["yaml", "yml"]

# How many values aliases (*name) may add to a document. Real configurations
# reuse a few blocks; a few hundred bytes of nested aliases can stand for
# gigabytes (an "alias bomb").
ALIAS_LIMIT = 10_000


class AliasLimitError(yaml.YAMLError):
    """A document whose aliases expand it beyond ALIAS_LIMIT values, or make it contain itself."""


class LimitedLoader(yaml.SafeLoader):
    """PyYAML's safe loader that refuses a document whose aliases expand it
    beyond ALIAS_LIMIT values or make it contain itself, before building it."""

    def compose_document(self):
        node = super().compose_document()
        _check_aliases(node)
        return node


def _check_aliases(root: yaml.Node) -> None:
    sizes = {}  # id(node) -> number of values the node stands for, its aliases expanded
    open_nodes = set()

    def size(node: yaml.Node) -> int:
        key = id(node)
        if key in sizes:
            return sizes[key]
        if key in open_nodes:
            raise AliasLimitError(f"an alias at line {node.start_mark.line + 1} makes the document contain itself")
        open_nodes.add(key)
        total = 1
        if isinstance(node, yaml.SequenceNode):
            total += sum(size(item) for item in node.value)
        elif isinstance(node, yaml.MappingNode):
            total += sum(size(key_node) + size(value) for key_node, value in node.value)
        open_nodes.discard(key)
        sizes[key] = total
        return total

    added = size(root) - len(sizes)
    if added > ALIAS_LIMIT:
        raise AliasLimitError(
            f"its aliases (*name) would expand the document by more than {ALIAS_LIMIT} values; "
            f"refused as an alias bomb"
        )


@register_loader(YAML_EXTS)
def load_from_yaml(path: Union[str, Path]) -> Dict[str, Any]:
    """Return the mapping that the YAML file at path holds."""
    with open(path, encoding="utf-8") as stream:
        try:
            data = yaml.load(stream, Loader=LimitedLoader)  # a syntax error names the file, line and column
        except AliasLimitError as err:
            raise AliasLimitError(f"YAML file {path}: {err}") from None
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
    # Without the file's name: a caller may write to a temporary name that differs on every run.
    if text is not None:
        log.debug("YAML written with the native YAML writer")
    elif dump is None:
        log.debug("YAML written with PyYAML")
    else:
        log.debug("YAML written with PyYAML: the native YAML writer cannot write this data as PyYAML would")

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
