"""The public surface of the six compiled modules, in one table: the names callers and the other
modules use, their kinds and their signatures, as the running modules show them and as the typed
stubs installed with the package declare them (mypy's stubtest cannot read the signatures of
compiled functions, so they are compared here)."""

import argparse
import ast
import importlib
import inspect
import logging
from pathlib import Path

import pytest

import generator

CONSTANT, LOGGER = "constant", "logger"

# module -> name -> signature of a function "(a, b=None, *, c=1)", the bases of a class
# (a tuple), or the type of a constant; LOGGER: the module's logger.
SURFACE = {
    "generator.generate": {
        "log": LOGGER,
        "VPC_PAGE_SIZE": int,
        "SUBNET_PAGE_SIZE": int,
        "HEADERS": list,
        "NULL": str,
        "MIN_ACCOUNT_INFO_FIELDS": list,
        "AWS_CONNECT_TIMEOUT": int,
        "AWS_READ_TIMEOUT": int,
        "AWS_TIMEOUT_ATTEMPTS": int,
        "CorvaneError": (Exception,),
        "get_account_list": "(config)",
        "get_acct_name": "(account_id, account_list)",
        "get_regions": "(creds)",
        "get_role_arn": "(account_id, role_name)",
        "get_temp_creds_for_account": "(role_arn)",
        "get_ec2_resource_handler": "(aws_region, creds)",
        "get_spoke_gw_name": "(vpc)",
        "compute_crvn_cidr": "(vpc, hpe)",
        "generate_tandrel_excel_data": "(config, *, jobs=32, keep_going=False)",
        "generate_min_tandrel_yaml": "(config, *, jobs=32, keep_going=False)",
        "_discover": "(config, *, rows, inventory, jobs, keep_going, pair_timeout, op, journal=None)",
        "main": "()",
        "_bool_or_null": "(value)",
        "_list_or_null": "(items)",
        "_quoted": (str,),
        "_recurse_quoted": "(data)",
        "_quoted_presenter": "(dumper, data)",
        "_dump_quoted": "(data)",
        "_merge_refresh": "(base, edited, discovered, unchecked=None, noted=None)",
        "_held_log_records": int,
    },
    "generator.convert": {
        "log": LOGGER,
        "FIELD_FORMATTERS": dict,
        "ACCOUNT_INFO_FIELDS": list,
        "VPC_FIELDS": list,
        "NULL": str,
        "parse_spoke_gw_tags": "(tags_str)",
        "generate_tandrel_account_info": "(vpc_data, tandrel_config=None)",
        "main": "()",
        "_list": "(formatter)",
        "_bool": "(value)",
        "_get_account_info": "(record)",
        "_get_vpc_data": "(record, tm_config=None)",
        "_validate_tandrel_config": "(tandrel_config)",
        "_quoted": (str,),
        "_recurse_quoted": "(data)",
        "_quoted_presenter": "(dumper, data)",
        "_dump_quoted": "(data)",
    },
    "generator.log": {
        "LOG_QUIET_FORMAT": str,
        "LOG_FORMAT": str,
        "LOG_DEBUG_FORMAT": str,
        "DEBUG_FORMATTER": logging.Formatter,
        "QUIET_FORMATTER": logging.Formatter,
        "configure_logger": "()",
        "increase_logging_level": "()",
        "decrease_logging_level": "()",
        "_get_logging_level": "(verbosity)",
    },
    "generator.cli": {
        "get_parent_parser": "()",
        "_IncreaseVerbosityAction": (argparse._CountAction,),
        "_DecreaseVerbosityAction": (argparse._CountAction,),
    },
    "generator.common.serializers.load": {
        "LoaderError": (Exception,),
        "Loaders": (object,),
        "register_loader": "(file_exts)",
        "load_from_path": "(path)",
        "_ambiguous_loader": "(path)",
    },
    "generator.common.serializers.xlsx": {
        "log": LOGGER,
        "DEFAULT_COL_WIDTH": int,
        "XLSX_EXTS": list,
        "load_from_xlsx": "(path)",
        "load_sheets": "(path)",
        "check_sheet": "(path, title, columns=None)",
        "sheet_titles": "(path)",
        "cell_notes": "(path, title)",
        "export_to_xlsx": "(data, path, columns=None, sheets=None, marks=None, **kwargs)",
        "export_sheets": "(sheets, path)",
        "_set_column_widths": "(column_widths, path)",
    },
}
ENTRIES = [(module, name, kind) for module, names in SURFACE.items() for name, kind in names.items()]


def _split_parameters(text):
    """The parameters of a signature text, split at the commas outside brackets."""
    parts, depth, start = [], 0, 0
    for i, ch in enumerate(text):
        depth += ch in "([{"
        depth -= ch in ")]}"
        if ch == "," and depth == 0:
            parts.append(text[start:i])
            start = i + 1
    parts.append(text[start:])
    return [part.strip() for part in parts if part.strip()]


def runtime_signature(obj, name):
    """The signature of a function, without annotations, or None when the function does not show it.
    Compiled functions show theirs on the first line of their description."""
    try:
        parameters = inspect.signature(obj).parameters.values()
    except (TypeError, ValueError):
        first_line = (obj.__doc__ or "").split("\n", 1)[0]
        if not first_line.startswith(name + "("):
            return None
        inner = first_line[len(name) + 1 : first_line.rindex(") -> ")]
        shown = []
        for part in _split_parameters(inner):
            if part == "/":
                continue
            head, _, default = part.partition(" = ")
            shown.append(head.split(":")[0].strip() + (f"={default}" if default else ""))
        return "(" + ", ".join(shown) + ")"
    shown, star = [], False
    for p in parameters:
        if p.name in ("self", "cls"):
            continue
        if p.kind is p.KEYWORD_ONLY and not star:
            shown.append("*")
            star = True
        prefix = {p.VAR_POSITIONAL: "*", p.VAR_KEYWORD: "**"}.get(p.kind, "")
        star = star or p.kind is p.VAR_POSITIONAL
        shown.append(prefix + p.name if p.default is p.empty else f"{p.name}={p.default!r}")
    return "(" + ", ".join(shown) + ")"


def _stub_arguments(args):
    positional = args.posonlyargs + args.args
    defaults = [None] * (len(positional) - len(args.defaults)) + list(args.defaults)
    shown = [a.arg if d is None else f"{a.arg}={ast.unparse(d)}" for a, d in zip(positional, defaults)]
    if args.vararg:
        shown.append("*" + args.vararg.arg)
    elif args.kwonlyargs:
        shown.append("*")
    for a, d in zip(args.kwonlyargs, args.kw_defaults):
        shown.append(a.arg if d is None else f"{a.arg}={ast.unparse(d)}")
    if args.kwarg:
        shown.append("**" + args.kwarg.arg)
    return "(" + ", ".join(s for s in shown if not s.startswith(("self", "cls"))) + ")"


def stub_declarations(module):
    """name -> what the installed stub of `module` declares: a signature, a class's bases, or an annotation."""
    stub = Path(importlib.import_module(module).__file__).parent / (module.rsplit(".", 1)[1] + ".pyi")
    declared = {}
    for node in ast.parse(stub.read_text(encoding="utf-8")).body:
        if isinstance(node, ast.FunctionDef):
            declared[node.name] = _stub_arguments(node.args)
        elif isinstance(node, ast.ClassDef):
            declared[node.name] = tuple(ast.unparse(base) for base in node.bases)
        elif isinstance(node, ast.AnnAssign):
            declared[node.target.id] = ast.unparse(node.annotation)
        elif isinstance(node, ast.ImportFrom):
            for alias in node.names:
                if alias.asname == alias.name:  # a name the module shows again
                    declared[alias.name] = f"from {node.module}"
        elif isinstance(node, ast.Assign):  # type aliases
            for target in node.targets:
                declared[target.id] = "alias"
    return declared


@pytest.mark.parametrize("module, name, kind", ENTRIES, ids=[f"{m.rsplit('.', 1)[1]}.{n}" for m, n, _ in ENTRIES])
def test_surface_of_the_modules_and_their_stubs(module, name, kind):
    mod = importlib.import_module(module)
    assert hasattr(mod, name), f"{module} has no {name}"
    obj = getattr(mod, name)
    declared = stub_declarations(module)
    assert name in declared, f"the stub of {module} does not declare {name}"
    if kind == LOGGER:
        assert isinstance(obj, logging.Logger) and obj.name == module
    elif isinstance(kind, type):
        assert isinstance(obj, kind)
    elif isinstance(kind, tuple):
        assert inspect.isclass(obj) and all(issubclass(obj, base) for base in kind)
        assert obj.__module__ == module and obj.__qualname__ == name, "tracebacks and repr name the class as it is"
    else:
        assert callable(obj)
        shown = runtime_signature(obj, name)
        assert shown in (kind, None), f"{module}.{name}{shown}"
        assert declared[name] == kind, f"the stub declares {module}.{name}{declared[name]}"


@pytest.mark.parametrize("module", SURFACE)
def test_stubs_declare_nothing_the_modules_lack(module):
    mod = importlib.import_module(module)
    missing = [name for name in stub_declarations(module) if not hasattr(mod, name)]
    assert missing == []


def test_stubs_and_marker_installed_sources_not():
    package = Path(generator.__file__).parent
    installed = {path.relative_to(package).as_posix() for path in package.rglob("*") if path.is_file()}
    stubs = {"generate.pyi", "convert.pyi", "log.pyi", "cli.pyi", "common/serializers/load.pyi",
             "common/serializers/xlsx.pyi"}
    assert stubs | {"py.typed"} <= installed
    assert not [name for name in installed if name.endswith((".cpp", ".hpp"))]


def test_load_registers_through_its_one_registry():
    load = importlib.import_module("generator.common.serializers.load")
    assert load.register_loader.__self__ is load.Loaders
    assert load.register_loader.__func__ is load.Loaders.register_loader.__func__
    assert inspect.ismethod(load.Loaders.guess) and load.Loaders.guess.__self__ is load.Loaders
    assert isinstance(load.Loaders._registry, dict)
