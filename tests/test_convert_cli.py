"""The convert console script, run as an engineer runs it, on real workbooks and templates."""

import re
import subprocess
import sys
from pathlib import Path

import openpyxl
import pytest
import yaml

import generator.convert as cv
from generator.common.serializers.xlsx import export_to_xlsx

CONVERT = Path(sys.executable).with_name("convert")
SHIPPED_TEMPLATE = Path(cv.__file__).parent / "data" / "template.yaml"
HEADERS = cv.ACCOUNT_INFO_FIELDS + ["region"] + cv.VPC_FIELDS


def generated_row(account, region, vpc, cidr, **cells):
    """A row as the generate command writes it: defaults repeated, lists as lists, "" where unset."""
    row = {
        "account_id": account,
        "account_name": f"acct-{account[-4:]}",
        "hpe": False,
        "managed_tgw": True,
        "filter_cidrs": ["10.0.0.0/8", "172.16.0.0/12"],
        "spoke_gw_size": "",
        "role_name": "tandrel-role",
        "region": region,
        "vpc_id": vpc,
        "crvn_cidr": cidr,
        "gw_zones": ["us-east-1a", "us-east-1b"],
        "spoke_gw_tags": "",
        "domain": "",
        "encrypt": "",
        "inspection": False,
        "spoke_advertisement": "",
        "spoke_routes": "",
        "spoke_gw_name": f"spoke-{vpc}",
        "transit_gw_name": "transit-east",
    }
    row.update(cells)
    return row


GENERATED = [
    generated_row("111122223333", "us-east-1", "vpc-0a1", "10.250.0.0/27"),
    generated_row("111122223333", "us-east-1", "vpc-0a2", ""),
    generated_row("111122223333", "eu-west-1", "vpc-0a3", "10.250.0.32/27"),
    generated_row("444455556666", "us-east-1", "vpc-0b1", "10.251.0.0/27"),
]


@pytest.fixture
def workbook(tmp_path):
    path = tmp_path / "review.xlsx"
    export_to_xlsx(GENERATED, path)
    return path


def edit(path, changes, drop=()):
    """Change cells as an engineer would in the spreadsheet: changes maps (sheet row, column) to a value."""
    book = openpyxl.load_workbook(path)
    sheet = book.worksheets[0]
    titles = [cell.value for cell in sheet[1]]
    for (row, column), value in changes.items():
        sheet.cell(row=row, column=titles.index(column) + 1).value = value
    for column in sorted((titles.index(c) + 1 for c in drop), reverse=True):
        sheet.delete_cols(column)
    book.save(path)


def run(*args, cwd=None):
    return subprocess.run([str(CONVERT), *map(str, args)], capture_output=True, text=True, cwd=cwd, timeout=120)


@pytest.mark.slow
@pytest.mark.parametrize(
    "args",
    [
        [],
        ["--example-template"],
        ["-e", "book.xlsx"],
        ["-y", "out.yaml", "--example-template"],
        ["-e", "book.xlsx", "-y", "out.yaml", "--unknown"],
    ],
)
def test_usage_errors(tmp_path, args):
    result = run(*args, cwd=tmp_path)
    assert result.returncode == 2
    assert "usage:" in result.stderr
    assert "error:" in result.stderr
    assert result.stdout == ""
    assert list(tmp_path.iterdir()) == []


@pytest.mark.slow
def test_example_template_prints_the_shipped_file_and_touches_nothing(tmp_path):
    other = tmp_path / "other.yaml"
    other.write_text("label: other\n")
    result = run("-e", tmp_path / "missing.xlsx", "-y", tmp_path / "out.yaml", "--example-template",
                 "--template", other)
    assert result.returncode == 0, result.stderr
    assert result.stdout == SHIPPED_TEMPLATE.read_text() + "\n"
    assert "configure_gw_name" in result.stdout
    assert sorted(p.name for p in tmp_path.iterdir()) == ["other.yaml"]


def quoted_lines_ok(text):
    """Every scalar value in the YAML text is double-quoted, a boolean, a number or null; keys are plain."""
    for line in text.splitlines():
        item = re.fullmatch(r"\s*(?:- )*(?:([^:\"]+): ?)?(.*)", line)
        key, value = item.group(1), item.group(2)
        if key is not None:
            assert not key.strip().startswith(('"', "'")), line
        if value in ("", "[]"):
            continue
        assert (value.startswith('"') and value.endswith('"')) or re.fullmatch(
            r"true|false|null|-?\d+(\.\d+)?", value
        ), line


@pytest.mark.slow
def test_full_run_from_an_edited_workbook(tmp_path, workbook):
    edit(workbook, {
        (2, "spoke_gw_tags"): "Name=web, Env=0123, Flag=true, Answer=no, Nothing=null, Blank=",
        (2, "domain"): "true",
        (2, "encrypt"): "Yes",
        (2, "spoke_routes"): "10.10.0.0/16,10.20.0.0/16",
        (3, "spoke_advertisement"): "10.30.0.0/16, 10.40.0.0/16",
        (3, "gw_zones"): "us-east-1c",
        (3, "transit_gw_name"): None,
        (4, "inspection"): "on",
        (5, "hpe"): True,
        (5, "spoke_gw_size"): "t3.large",
    })
    out = tmp_path / "tandrel.yaml"
    result = run("-e", workbook, "-y", out)
    assert result.returncode == 0, result.stderr
    assert result.stdout == ""
    assert result.stderr.splitlines() == [
        f"generator.convert:INFO Loading VPC data from {workbook}",
        # accepted, but the block was proposed for a gateway that is not high-performance
        "generator.convert:WARNING row 5: crvn_cidr 10.251.0.0/27 is a /27 block, but hpe TRUE calls for a /25 block",
        f"generator.convert:INFO Reading tandrel configuration template: {SHIPPED_TEMPLATE}",
        "generator.convert:INFO Parsing tandrel account information",
        f"generator.convert:INFO Exporting accounts to tandrel file: {out}",
    ]
    text = out.read_text()
    quoted_lines_ok(text)
    for quoted in ('"0123"', '"true"', '"no"', '"null"', '""', '"111122223333"'):
        assert quoted in text
    data = yaml.safe_load(text)
    assert data["config"] == {"configure_gw_name": True}
    first, second = data["account_info"]
    assert first == {
        "account_id": "111122223333",
        "account_name": "acct-3333",
        "hpe": False,
        "managed_tgw": True,
        "filter_cidrs": ["10.0.0.0/8", "172.16.0.0/12"],
        "role_name": "tandrel-role",
        "regions": [
            {"region": "us-east-1", "vpcs": [
                {
                    "vpc_id": "vpc-0a1",
                    "crvn_cidr": "10.250.0.0/27",
                    "gw_zones": ["us-east-1a", "us-east-1b"],
                    "spoke_gw_tags": [
                        {"key": "Name", "value": "web"}, {"key": "Env", "value": "0123"},
                        {"key": "Flag", "value": "true"}, {"key": "Answer", "value": "no"},
                        {"key": "Nothing", "value": "null"}, {"key": "Blank", "value": ""},
                    ],
                    "domain": "true",
                    "encrypt": True,
                    "inspection": False,
                    "spoke_routes": ["10.10.0.0/16", "10.20.0.0/16"],
                    "spoke_gw_name": "spoke-vpc-0a1",
                    "transit_gw_name": "transit-east",
                },
                {
                    "vpc_id": "vpc-0a2",
                    "crvn_cidr": "",
                    "gw_zones": ["us-east-1c"],
                    "inspection": False,
                    "spoke_advertisement": "10.30.0.0/16, 10.40.0.0/16",
                    "spoke_gw_name": "spoke-vpc-0a2",
                },
            ]},
            {"region": "eu-west-1", "vpcs": [
                {
                    "vpc_id": "vpc-0a3",
                    "crvn_cidr": "10.250.0.32/27",
                    "gw_zones": ["us-east-1a", "us-east-1b"],
                    "inspection": True,
                    "spoke_gw_name": "spoke-vpc-0a3",
                    "transit_gw_name": "transit-east",
                },
            ]},
        ],
    }
    assert second["account_id"] == "444455556666"
    assert second["hpe"] is True and second["spoke_gw_size"] == "t3.large"
    assert [r["region"] for r in second["regions"]] == ["us-east-1"]


@pytest.mark.slow
def test_other_template_replaces_account_info_and_keeps_the_rest(tmp_path, workbook):
    template = tmp_path / "wave2.yml"
    template.write_text(
        "label: wave 2\n"
        "account_info:\n- account_id: '999999999999'\n  regions: []\n"
        "config:\n  configure_gw_name: false\n"
    )
    out = tmp_path / "out.yaml"
    result = run("-e", workbook, "-y", out, "--template", template)
    assert result.returncode == 0, result.stderr
    assert f"Reading tandrel configuration template: {template}" in result.stderr
    text = out.read_text()
    quoted_lines_ok(text)
    data = yaml.safe_load(text)
    assert list(data) == ["label", "account_info", "config"]
    assert data["label"] == "wave 2"
    assert [a["account_id"] for a in data["account_info"]] == ["111122223333", "444455556666"]
    for account in data["account_info"]:
        for region in account["regions"]:
            for vpc in region["vpcs"]:
                assert "spoke_gw_name" not in vpc and "transit_gw_name" not in vpc


BAD_TEMPLATES = {
    "list.yaml": "- a\n- b\n",
    "unknown.yaml": "config:\n  configure_gw_name: true\nsurprise: 1\n",
}


@pytest.mark.slow
@pytest.mark.parametrize(
    "changes, drop, template, message",
    [
        ({}, ["domain", "region"], None, "convert: error: columns not in the workbook: region, domain\n"),
        ({(3, "spoke_gw_tags"): "Name=web,a=b=c"}, [], None, "row 3, column spoke_gw_tags: tag 'a=b=c'"),
        ({(4, "spoke_gw_tags"): "Name=web, =v"}, [], None, "row 4, column spoke_gw_tags: tag '=v' has an empty key"),
        ({(2, "gw_zones"): 42}, [], None, "row 2, column gw_zones: expected a list text"),
        ({(5, "encrypt"): "maybe"}, [], None, "row 5, column encrypt: not a yes/no value: 'maybe'"),
        ({(3, "role_name"): "other-role"}, [], None,
         "row 3, column role_name: 'other-role', but 'tandrel-role' in row 2 of account 111122223333"),
        ({(4, "crvn_cidr"): "10.250.0.0/33"}, [], None, "row 4, column crvn_cidr"),
        ({(3, "account_id"): 111122223333}, [], None,
         "row 3, column account_id: 111122223333, but '111122223333' in row 2 of account 111122223333 (a number"),
        ({(3, "region"): None}, [], None, "row 3, column region: '' is not a region name"),
        ({(3, c): None for c in HEADERS}, [], None,
         "\nrow 3, column account_id: Field required\nrow 3, column region: '' is not a region name"),
        ({}, [], "list.yaml", "must hold a mapping"),
        ({}, [], "unknown.yaml", "surprise"),
        ({}, [], "missing.yaml", "missing.yaml"),
    ],
)
def test_bad_input_fails_cleanly_and_writes_nothing(tmp_path, workbook, changes, drop, template, message):
    edit(workbook, changes, drop)
    out = tmp_path / "out.yaml"
    out.write_text("previous: run\n")
    args = ["-e", workbook, "-y", out]
    if template:
        if template in BAD_TEMPLATES:
            (tmp_path / template).write_text(BAD_TEMPLATES[template])
        args += ["--template", tmp_path / template]
    before = sorted(p.name for p in tmp_path.iterdir())
    result = run(*args)
    assert result.returncode == 1, result.stderr
    assert "convert: error: " in result.stderr
    assert message in result.stderr
    assert "Traceback" not in result.stderr
    assert out.read_text() == "previous: run\n"
    assert sorted(p.name for p in tmp_path.iterdir()) == before


@pytest.mark.slow
def test_missing_workbook(tmp_path):
    out = tmp_path / "out.yaml"
    out.write_text("previous: run\n")
    result = run("-e", tmp_path / "nowhere.xlsx", "-y", out)
    assert result.returncode == 1
    assert re.search(r"convert: error: .*nowhere\.xlsx", result.stderr)
    assert out.read_text() == "previous: run\n"


@pytest.mark.slow
def test_workbook_without_rows_is_refused(tmp_path):
    book = openpyxl.Workbook()
    book.active.append(HEADERS)
    path = tmp_path / "empty.xlsx"
    book.save(path)
    out = tmp_path / "out.yaml"
    result = run("-e", path, "-y", out)
    assert result.returncode == 1
    assert "account_info" in result.stderr
    assert not out.exists()


@pytest.mark.slow
@pytest.mark.parametrize("target", ["no-such-dir/out.yaml", "adir", "out.txt", "out.xlsx"])
def test_unwritable_output(tmp_path, workbook, target):
    (tmp_path / "adir").mkdir()
    (tmp_path / "out.txt").write_text("keep\n")
    before = sorted(p.name for p in tmp_path.iterdir())
    result = run("-e", workbook, "-y", tmp_path / target)
    assert result.returncode == 1
    error = [line for line in result.stderr.splitlines() if line.startswith("convert: error: ")]
    assert len(error) == 1 and Path(target).name in error[0], result.stderr
    assert sorted(p.name for p in tmp_path.iterdir()) == before
    assert (tmp_path / "out.txt").read_text() == "keep\n"
    assert list((tmp_path / "adir").iterdir()) == []


def test_option_table(monkeypatch, capsys):
    import argparse
    import pathlib
    import types

    made = []

    class Recording(argparse.ArgumentParser):
        def __init__(self, **kwargs):
            made.append(self)
            self.kwargs, self.calls = kwargs, []
            super().__init__(**kwargs)

        def add_argument(self, *flags, **kwargs):
            self.calls.append((flags, kwargs))
            return super().add_argument(*flags, **kwargs)

    monkeypatch.setattr(cv, "argparse", types.SimpleNamespace(ArgumentParser=Recording))
    monkeypatch.setattr(sys, "argv", ["convert", "-e", "book.xlsx", "-y", "out.yaml", "--example-template"])
    assert cv.main() is None
    assert capsys.readouterr().out == SHIPPED_TEMPLATE.read_text() + "\n"
    (parser,) = made
    assert set(parser.kwargs) == {"parents", "description"}
    assert parser.kwargs["description"] == "Convert Excel to YAML for Tandrel Migration"
    assert [p.prog for p in parser.kwargs["parents"]] == ["tandrel-generator"]
    assert parser.calls[0][0] == ("-h", "--help"), "the standard help option stays"
    assert parser.calls[1:] == [
        (("-e", "--excel"), {"type": pathlib.Path, "required": True, "help": "Excel file to convert from"}),
        (("-y", "--yaml"), {"type": pathlib.Path, "required": True, "help": "YAML file to convert to"}),
        (("--example-template",), {"action": "store_true", "help": "Generate an example template file."}),
        (("--template",), {"type": pathlib.Path, "action": "store", "help": "Path to a template file."}),
    ]
    args = parser.parse_args(["-e", "b.xlsx", "-y", "o.yaml"])
    assert (args.excel, args.yaml, args.example_template, args.template) == (
        pathlib.Path("b.xlsx"), pathlib.Path("o.yaml"), False, None)


def test_main_run_order_through_the_modules_globals(monkeypatch, caplog):
    import logging
    import types

    events = []
    rows = [
        {**dict.fromkeys(HEADERS, ""), "account_id": "111122223333", "region": "us-east-1", "vpc_id": "vpc-1",
         "spoke_gw_name": "gw-1"},
    ]
    template = {"label": "wave", "account_info": [{"account_id": "999999999999"}],
                "config": {"configure_gw_name": True}}

    def load_from_xlsx(path):
        events.append(("xlsx", path))
        return rows

    def load_from_path(path):
        events.append(("template", path))
        return template

    def export_to_path(data, path, **options):
        assert options == {"dump": cv._dump_quoted}
        events.append(("export", data, path))

    def validate(config):
        events.append(("validate", config is template, cv.json.loads(cv.json.dumps(config))))
        assert all(type(v) is str for v in config["account_info"][0]["regions"][0]["vpcs"][0].values())

    serializers = types.SimpleNamespace(
        xlsx=types.SimpleNamespace(load_from_xlsx=load_from_xlsx, sheet_titles=lambda path: ["Sheet1"]),
        load_from_path=load_from_path,
        export_to_path=export_to_path,
    )
    monkeypatch.setattr(cv, "serializers", serializers)
    monkeypatch.setattr(cv, "_validate_tandrel_config", validate)
    monkeypatch.setattr(cv, "yaml", types.SimpleNamespace(add_representer=lambda *a: events.append(("repr", a))))
    monkeypatch.setattr(sys, "argv", ["convert", "-e", "book.xlsx", "-y", "out.yaml"])
    with caplog.at_level(logging.DEBUG, logger="generator"):
        assert cv.main() is None

    assert [e[0] for e in events] == ["xlsx", "template", "validate", "repr", "export"]
    assert events[0][1] == Path("book.xlsx")
    assert events[1][1] == str(SHIPPED_TEMPLATE)
    merged = events[2][2]
    assert list(merged) == ["label", "account_info", "config"] and events[2][1]
    assert [a["account_id"] for a in merged["account_info"]] == ["111122223333"]
    assert events[3][1] == (cv._quoted, cv._quoted_presenter)
    _, written, out = events[4]
    assert out == Path("out.yaml")
    assert written == merged and written is not template
    assert type(written["label"]) is cv._quoted and type(template["label"]) is str
    records = [(r.funcName, r.levelname, r.msg, r.args) for r in caplog.records if r.name == "generator.convert"
               and r.funcName == "main"]
    assert [(f, lvl, msg) for f, lvl, msg, _ in records] == [
        ("main", "INFO", "Loading VPC data from %s"),
        ("main", "DEBUG", "Loaded data from excel:\n%s"),
        ("main", "INFO", "Reading tandrel configuration template: %s"),
        ("main", "INFO", "Parsing tandrel account information"),
        ("main", "DEBUG", "Generated TandrelConfig:\n%s"),
        ("main", "DEBUG", "Adding presenter for _quoted class"),
        ("main", "DEBUG", "Recursing through tandrel config to update strings"),
        ("main", "INFO", "Exporting accounts to tandrel file: %s"),
    ]
    assert records[0][3] == (Path("book.xlsx"),) and records[2][3] == (str(SHIPPED_TEMPLATE),)
    assert records[-1][3] == (Path("out.yaml"),)


@pytest.mark.slow
def test_every_mistake_is_reported_in_one_run(tmp_path, workbook):
    # Rows 2-4: account 111122223333 (vpc-0a1, vpc-0a2 in us-east-1, vpc-0a3 in eu-west-1); row 5: 444455556666.
    edit(workbook, {
        (2, "encrypt"): "maybe",
        (2, "spoke_gw_tags"): "a=b=c",
        (3, "gw_zones"): 42,
        (3, "role_name"): "other-role",
        (4, "vpc_id"): "vpc-0a1",
        (4, "crvn_cidr"): "10.250.0.0/33",
        (5, "vpc_id"): " vpc-0b1",
        (5, "account_name"): "acct-6666 ",
    })
    out = tmp_path / "out.yaml"
    result = run("-e", workbook, "-y", out)
    assert result.returncode == 1 and not out.exists()
    report = result.stderr[result.stderr.index("convert: error: "):].splitlines()
    assert report == [
        "convert: error: the workbook has 8 mistakes:",
        "row 2, column spoke_gw_tags: tag 'a=b=c' must be one key=value pair (exactly one '=')",
        "row 2, column encrypt: not a yes/no value: 'maybe' (use true/false, yes/no, y/n, 1/0 or on/off)",
        "row 3, column role_name: 'other-role', but 'tandrel-role' in row 2 of account 111122223333; every row of "
        "an account must agree",
        "row 3, column gw_zones: expected a list text such as a, b or ['a', 'b'], got 42 (int)",
        "row 4, column vpc_id: 'vpc-0a1' is listed twice for account 111122223333, in rows 2 and 4; keep one row "
        "per VPC",
        "row 4, column crvn_cidr: '10.250.0.0/33' is not an IPv4 network: '33' is not a valid netmask",
        "row 5, column account_name: 'acct-6666 ' has blanks around it; remove them",
        "row 5, column vpc_id: ' vpc-0b1' has blanks around it; remove them",
    ]


def test_a_long_report_names_the_first_fifty_then_counts_the_rest():
    rows = [{**dict.fromkeys(HEADERS, ""), "account_id": "111122223333", "region": "us-east-1",
             "vpc_id": f"vpc-{i}", "hpe": "sometimes"} for i in range(60)]
    with pytest.raises(ValueError) as err:
        cv.generate_tandrel_account_info(rows)
    lines = str(err.value).splitlines()
    assert lines[0] == "the workbook has 60 mistakes:" and lines[-1] == "... and 10 more"
    assert [line.split(",")[0] for line in lines[1:-1]] == [f"row {r}" for r in range(2, 52)]


@pytest.mark.slow
def test_formulas_in_an_edited_workbook(tmp_path, workbook):
    # Typed formulas saved by a script carry no result: refused by cell, nothing written.
    edit(workbook, {(2, "crvn_cidr"): "=B3", (4, "spoke_gw_name"): '="gw-"&A4'})
    out = tmp_path / "out.yaml"
    result = run("-e", workbook, "-y", out)
    assert result.returncode == 1 and not out.exists()
    assert "2 cells cannot be read:\ncell J2 (column crvn_cidr) holds the formula =B3 without a stored result; " \
           "type the value, or open and save the workbook in a spreadsheet program" in result.stderr
    assert "cell R4 (column spoke_gw_name) holds the formula =\"gw-\"&A4 without a stored result" in result.stderr

    # Saved by a spreadsheet program, a formula stores its result, which is what convert reads.
    import zipfile

    with zipfile.ZipFile(workbook) as book:
        parts = {name: book.read(name) for name in book.namelist()}
    sheet = parts["xl/worksheets/sheet1.xml"]
    sheet = sheet.replace(b"<f>B3</f><v />", b"<f>B3</f><v>10.250.9.0/27</v>").replace(b"<c r=\"J2\">",
                                                                                         b"<c r=\"J2\" t=\"str\">")
    sheet = sheet.replace(b'<c r="R4"><f>"gw-"&amp;A4</f><v />', b'<c r="R4" t="str"><f>"gw-"&amp;A4</f><v>gw-x</v>')
    parts["xl/worksheets/sheet1.xml"] = sheet
    with zipfile.ZipFile(workbook, "w") as book:
        for name, data in parts.items():
            book.writestr(name, data)
    result = run("-e", workbook, "-y", out)
    assert result.returncode == 0, result.stderr
    vpcs = [v for a in yaml.safe_load(out.read_text())["account_info"] for r in a["regions"] for v in r["vpcs"]]
    assert vpcs[0]["crvn_cidr"] == "10.250.9.0/27" and vpcs[2]["spoke_gw_name"] == "gw-x"
