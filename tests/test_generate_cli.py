"""The generate command's shell: options, example, configuration checks, run order."""
import gc
import os
import pathlib
import signal
import socket
import subprocess
import sys
import threading
import time
from types import SimpleNamespace

import botocore.exceptions
import openpyxl
import pytest
import yaml

import generator
import generator.generate as gen


SCRIPTS = pathlib.Path(sys.executable).parent
EXAMPLE = pathlib.Path(gen.__file__).parent / "data" / "config.yaml"


def closed_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def write_config(path, controller_ip="127.0.0.1:1"):
    path.write_text(
        yaml.safe_dump(
            {
                "account_ids": ["111111111111"],
                "aws_regions": ["eu-west-1"],
                "controller": {"ip": controller_ip, "username": "admin"},
                "defaults": {"role_name": "corvane-migration"},
            }
        )
    )
    return path


def run(*args, cwd, env=None):
    return subprocess.run(
        [str(SCRIPTS / "generate"), *map(str, args)],
        cwd=cwd, capture_output=True, text=True, timeout=120, stdin=subprocess.DEVNULL,
        env={**os.environ, "COLUMNS": "400", **(env or {})},
    )


# ---------------------------------------------------------- console script


@pytest.mark.slow
def test_version(tmp_path):
    done = run("--version", cwd=tmp_path)
    assert (done.returncode, done.stdout, done.stderr) == (0, f"generate {generator.__version__}\n", "")


@pytest.mark.slow
def test_help_texts(tmp_path):
    done = run("-h", cwd=tmp_path)
    assert done.returncode == 0
    for text in (
        "Generate tandrel yaml and Excel file",
        "--example-config ",
        "Generate an example config file.",
        "-c config_file, --config config_file",
        "Configuration file specifying AWS account_ids and regions, Corvane Controller information and default "
        "values to populate the Excel file with.",
        "-d tandrel_file, --tandrel tandrel_file",
        "Generates a yaml file for use with the tandrel_migration script",
        "-e excel_file, --excel excel_file",
        "Generates an Excel file that can be updated and then converted to yaml using the convert command",
        "--version", "--verbose, -v", "--quiet, -q",
    ):
        assert text in done.stdout


@pytest.mark.slow
@pytest.mark.parametrize("others", [[], ["-c", "missing.yaml", "-d", "out.yaml", "-e", "out.xlsx"]])
def test_example_config_printed_and_nothing_else(tmp_path, others):
    done = run("--example-config", *others, cwd=tmp_path)
    assert (done.returncode, done.stderr) == (0, "")
    assert done.stdout == EXAMPLE.read_text() + "\n"
    assert list(tmp_path.iterdir()) == []


@pytest.mark.slow
def test_example_config_is_a_valid_configuration(tmp_path):
    (tmp_path / "config.yaml").write_text(EXAMPLE.read_text())
    done = run("-c", "config.yaml", cwd=tmp_path)
    assert (done.returncode, done.stdout, done.stderr) == (0, "", "")


@pytest.mark.slow
def test_config_without_outputs_contacts_nothing(tmp_path):
    # The controller address is a closed port: any contact would fail the run.
    write_config(tmp_path / "config.yaml", controller_ip=f"127.0.0.1:{closed_port()}")
    done = run("-c", "config.yaml", cwd=tmp_path, env={"AWS_ENDPOINT_URL": f"http://127.0.0.1:{closed_port()}"})
    assert (done.returncode, done.stdout, done.stderr) == (0, "", "")
    assert sorted(p.name for p in tmp_path.iterdir()) == ["config.yaml"]


@pytest.mark.slow
@pytest.mark.parametrize("args, shown", [([], "None"), (["-c", "nowhere.yaml"], "nowhere.yaml")])
def test_missing_configuration(tmp_path, args, shown):
    done = run(*args, "-e", "out.xlsx", cwd=tmp_path)
    assert done.returncode == 1
    assert done.stdout == ""
    assert done.stderr.splitlines() == [
        f"generator.generate:ERROR Configuration file not found: {shown}",
        "generator.generate:ERROR You can generate an example file with 'generate --example-config'",
        f"generate: error: Configuration file not found: {shown}",
    ]
    assert list(tmp_path.iterdir()) == []


@pytest.mark.slow
def test_invalid_configuration_names_the_file(tmp_path):
    (tmp_path / "config.yaml").write_text("account_ids: []\n")
    done = run("-c", "config.yaml", "-e", "out.xlsx", cwd=tmp_path)
    assert done.returncode == 1
    assert done.stderr.startswith("generate: error: config.yaml:")
    assert not (tmp_path / "out.xlsx").exists()


@pytest.mark.slow
def test_usage_error(tmp_path):
    done = run("--bogus", cwd=tmp_path)
    assert done.returncode == 2
    assert "usage: generate" in done.stderr and "unrecognized arguments: --bogus" in done.stderr


@pytest.mark.slow
def test_http_warnings_switched_off_once_the_http_client_is_taken():
    # The module imports the HTTP client on its first use, before any request, and switches them off then.
    code = (
        "import warnings, urllib3\n"
        "warnings.simplefilter('default')\n"
        "import generator.generate\n"
        "generator.generate.requests\n"
        "with warnings.catch_warnings(record=True) as caught:\n"
        "    warnings.warn('x', urllib3.exceptions.InsecureRequestWarning)\n"
        "print(len(caught))\n"
    )
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert (done.returncode, done.stdout) == (0, "0\n"), done.stderr


# ------------------------------------------------------------ in-process main


@pytest.fixture
def command(tmp_path, monkeypatch):
    """Run main() in-process with the walk replaced; records each walk asked for, in order."""
    events = []
    config_path = write_config(tmp_path / "config.yaml")
    walk = gen._discover

    def run_main(*args):
        monkeypatch.setattr(sys, "argv", ["generate", "-c", str(config_path), *map(str, args)])
        return gen.main()

    def discover(config, **request):
        events.append((request["rows"], request["inventory"], config.account_ids))
        if command.real_walk:
            return walk(config, **request)
        return {"rows": command.rows, "ledger": [], "overlaps": [], "account_info": [
            {"account_id": "111111111111", "account_name": "0123", "hpe": True,
             "regions": [{"region": "eu-west-1", "vpcs": []}], "managed_tgw": None}]}

    monkeypatch.setattr(gen, "_discover", discover)
    command.rows = []
    command.real_walk = False
    command.events = events
    command.run = run_main
    return command


def test_inventory_written_with_quoted_texts(tmp_path, command, caplog):
    caplog.set_level("DEBUG", logger="generator.generate")
    assert command.run("-d", tmp_path / "out.yaml") is None
    text = (tmp_path / "out.yaml").read_text()
    assert text == (
        "account_info:\n"
        "- account_id: \"111111111111\"\n"
        "  account_name: \"0123\"\n"
        "  hpe: true\n"
        "  regions:\n"
        "  - region: \"eu-west-1\"\n"
        "    vpcs: []\n"
        "  managed_tgw: null\n"
    )
    assert [(r.levelname, r.getMessage()) for r in caplog.records] == [
        ("INFO", f"Generating minimal tandrel file: {tmp_path / 'out.yaml'}"),
        ("DEBUG", "Adding presenter for _quoted class"),
        ("DEBUG", "Recursing through tandrel config to update strings"),
        ("INFO", f"Exporting accounts to tandrel file: {tmp_path / 'out.yaml'}"),
    ]
    assert {r.funcName for r in caplog.records} == {"main"}
    assert command.events == [(False, True, ["111111111111"])]


def test_workbook_written(tmp_path, command, caplog):
    caplog.set_level("INFO", logger="generator.generate")
    command.rows = [dict.fromkeys(gen.HEADERS, "x") | {"hpe": True, "filter_cidrs": ["10.0.0.0/8"]}]
    command.run("-e", tmp_path / "out.xlsx")
    sheet = openpyxl.load_workbook(tmp_path / "out.xlsx").active
    assert [c.value for c in sheet[1]] == gen.HEADERS
    assert [c.value for c in sheet[2]][:5] == ["x", "x", True, "x", "['10.0.0.0/8']"]
    assert [r.getMessage() for r in caplog.records] == [
        f"Generating Excel file: {tmp_path / 'out.xlsx'}",
        f"Exporting accounts to tandrel excel: {tmp_path / 'out.xlsx'}",
    ]


def test_workbook_with_titles_only_when_no_vpc_found(tmp_path, command, caplog):
    caplog.set_level("INFO", logger="generator.generate")
    command.run("-e", tmp_path / "out.xlsx")
    sheet = openpyxl.load_workbook(tmp_path / "out.xlsx").active
    assert sheet.max_row == 1
    assert [c.value for c in sheet[1]] == gen.HEADERS
    assert [sheet.column_dimensions[openpyxl.utils.get_column_letter(i)].width for i in range(1, 20)] == [20] * 19
    [warning] = [r for r in caplog.records if r.levelname == "WARNING"]
    assert "No VPC found" in warning.getMessage()


def test_both_outputs_from_one_walk(tmp_path, command, aws_calls, monkeypatch):
    logins = []
    monkeypatch.setattr(gen, "get_account_list", lambda config: logins.append(config) or [
        {"account_number": "111111111111", "account_name": "prod"}])
    command.real_walk = True
    command.run("-e", tmp_path / "b.xlsx", "-d", tmp_path / "a.yaml", "-j", "3")

    assert len(logins) == 1 and command.events == [(True, True, ["111111111111"])]  # one login, one walk
    assert [op for _, _, op in aws_calls.calls] == ["AssumeRole", "DescribeVpcs", "DescribeSubnets"]
    [entry] = yaml.safe_load((tmp_path / "a.yaml").read_text())["account_info"]
    [vpc] = entry["regions"][0]["vpcs"]  # moto's default VPC of eu-west-1
    sheet = openpyxl.load_workbook(tmp_path / "b.xlsx").active
    assert [c.value for c in sheet[2]][:10] == ["111111111111", "prod", False, None, None, None, "corvane-migration",
                                                 "eu-west-1", vpc["vpc_id"], vpc["crvn_cidr"]]
    assert sheet.max_row == 2 and sorted(p.name for p in tmp_path.iterdir()) == ["a.yaml", "b.xlsx", "config.yaml"]


@pytest.mark.parametrize(
    "args, message",
    [
        (["-d", "out.txt"], "out.txt: the YAML inventory (-d/--tandrel) must be a file name ending in .yaml or .yml"),
        (["-d", "out.xlsx", "-e", "b.xlsx"], "out.xlsx: the YAML inventory (-d/--tandrel) must be a file name ending in"),
        (["-d", "inventory"], "inventory: the YAML inventory (-d/--tandrel) must be a file name ending in"),
        (["-d", "config.yaml"], "config.yaml is the configuration file: the YAML inventory (-d/--tandrel) would "
                                "overwrite it"),
        (["-e", "./config.yaml"], "config.yaml: the Excel workbook (-e/--excel) must be a file name ending in "
                                  ".xlsx"),
        (["-d", "same.yaml", "-e", "same.yaml"], "same.yaml: the Excel workbook (-e/--excel) must be a file name "
                                                 "ending in .xlsx"),
        (["-d", "a.yaml", "-e", "nowhere/b.xlsx"], "nowhere/b.xlsx: the folder {tmp}/nowhere for the Excel workbook "
                                                 "(-e/--excel) does not exist"),
        (["-e", "sub.yaml/.."], "sub.yaml/..: the Excel workbook (-e/--excel) must be a file name ending in"),
        (["-e", "sub.xlsx"], "sub.xlsx is a folder: the Excel workbook (-e/--excel) needs a file name"),
        (["-d", "sub.yaml"], "sub.yaml is a folder: the YAML inventory (-d/--tandrel) needs a file name"),
        (["-d", "nowhere/a.yaml"], "nowhere/a.yaml: the folder {tmp}/nowhere for the YAML inventory (-d/--tandrel) "
                                   "does not exist"),
    ],
)
def test_unusable_outputs_refused_before_any_work(tmp_path, command, monkeypatch, args, message):
    monkeypatch.chdir(tmp_path)
    message = message.format(tmp=tmp_path)
    (tmp_path / "sub.yaml").mkdir()
    (tmp_path / "sub.xlsx").mkdir()
    before = (tmp_path / "config.yaml").read_bytes()
    with pytest.raises((ValueError, OSError)) as err:
        command.run(*args)
    assert message in str(err.value)
    assert command.events == []  # no password asked, no account walked
    assert sorted(p.name for p in tmp_path.iterdir()) == ["config.yaml", "sub.xlsx", "sub.yaml"]
    assert (tmp_path / "config.yaml").read_bytes() == before


def test_inventory_name_ending_is_not_case_sensitive(tmp_path, command):
    command.run("-d", tmp_path / "OUT.YML")
    assert yaml.safe_load((tmp_path / "OUT.YML").read_text())["account_info"][0]["account_id"] == "111111111111"


@pytest.mark.parametrize("where", ["walk", "workbook", "interrupt"])
def test_both_outputs_replaced_together_or_not_at_all(tmp_path, command, aws_calls, monkeypatch, where):
    command.real_walk = True
    monkeypatch.setattr(gen, "get_account_list", lambda config: [])
    if where == "walk":
        aws_calls.answer("DescribeVpcs", code="AuthFailure")
    elif where == "interrupt":  # Ctrl-C while AWS is slow to answer
        aws_calls.answer("DescribeVpcs", {"Vpcs": []}, delay=5)
        # Garbage of earlier tests collected now: a Ctrl-C that lands in a weak reference's callback
        # (a finished thread of an earlier walk) is swallowed there, as Python does with such errors.
        gc.collect()
        threading.Timer(0.5, os.kill, (os.getpid(), signal.SIGINT)).start()
    else:
        def broken(*args, **kwargs):
            raise OSError(28, "No space left on device")

        monkeypatch.setattr(gen.serializers.xlsx, "export_sheets", broken)
    (tmp_path / "a.yaml").write_text("old: inventory\n")
    (tmp_path / "b.xlsx").write_bytes(b"old workbook")
    expected = {"walk": botocore.exceptions.ClientError, "workbook": OSError, "interrupt": KeyboardInterrupt}[where]
    started = time.monotonic()
    with pytest.raises(expected) as err:
        command.run("-d", tmp_path / "a.yaml", "-e", tmp_path / "b.xlsx")
    if where == "interrupt":  # the slow answer is not waited for
        assert time.monotonic() - started < 2.5
    if where == "walk":  # an AWS error says where it happened and keeps AWS's words
        assert str(err.value) == ("account 111111111111, region eu-west-1: An error occurred (AuthFailure) when "
                                  "calling the DescribeVpcs operation: DescribeVpcs refused in eu-west-1")
        assert err.value.response["Error"]["Code"] == "AuthFailure"
    assert (tmp_path / "a.yaml").read_text() == "old: inventory\n"
    assert (tmp_path / "b.xlsx").read_bytes() == b"old workbook"
    # nothing half-written: only the journal of what was walked, for --resume
    assert sorted(p.name for p in tmp_path.iterdir()) == ["a.yaml", "b.xlsx", "b.xlsx.journal", "config.yaml"]


def test_configuration_loaded_through_the_module_name(tmp_path, command, monkeypatch):
    seen = []
    monkeypatch.setattr(gen, "load_config", lambda path: seen.append(path) or SimpleNamespace(account_ids=["x"]))
    command.run()
    assert seen == [tmp_path / "config.yaml"] and isinstance(seen[0], pathlib.Path)
    assert command.events == []


def test_missing_configuration_in_process(monkeypatch, caplog, tmp_path):
    monkeypatch.setattr(sys, "argv", ["generate", "-c", str(tmp_path / "none.yaml")])
    with pytest.raises(FileNotFoundError) as err:
        gen.main()
    assert str(err.value) == f"Configuration file not found: {tmp_path / 'none.yaml'}"
    assert [r.args for r in caplog.records] == [(tmp_path / "none.yaml",), ()]


@pytest.mark.parametrize("value, reason", [
    ("0", "from 1 to 256 workers, not 0"),
    ("257", "from 1 to 256 workers, not 257"),
    ("99999999999999999999", "from 1 to 256 workers, not 99999999999999999999"),
    ("eight", "a whole number is needed, not 'eight'"),
])
def test_jobs_out_of_bounds_is_a_usage_error(monkeypatch, capsys, value, reason):
    monkeypatch.setattr(sys, "argv", ["generate", "-j", value])
    with pytest.raises(SystemExit) as err:
        gen.main()
    assert err.value.code == 2
    assert capsys.readouterr().err.splitlines()[-1] == f"generate: error: argument -j/--jobs: {reason}"


def test_help_tells_every_exit_status(monkeypatch, capsys):
    monkeypatch.setattr(sys, "argv", ["generate", "-h"])
    with pytest.raises(SystemExit):
        gen.main()
    text = " ".join(capsys.readouterr().out.split())
    for status in ("0 when every account", "1 on an error", "2 on a usage error", "3 with -k when",
                   "130 on Ctrl-C", "143 on SIGTERM"):
        assert status in text
