"""Reading and writing files by extension."""

# The registries first, then the modules that register their readers and writers in them.
from generator.common.serializers.load import load_from_path
from generator.common.serializers.export import export_to_path
from generator.common.serializers import xlsx, yaml_file

__all__ = ["load_from_path", "export_to_path", "xlsx", "yaml_file"]
