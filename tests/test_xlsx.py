import datetime
import logging
import typing
from pathlib import Path

import numpy
import openpyxl
import openpyxl.utils
import pandas as pd
import pytest

import generator.common.serializers as serializers
from generator.common.serializers import export, xlsx
from generator.common.serializers.load import Loaders, _ambiguous_loader

PLAIN = (str, bool, int, float)


def sheet_of(path):
    return openpyxl.load_workbook(path).worksheets[0]


def widths(sheet):
    return {letter: dim.width for letter, dim in sheet.column_dimensions.items() if dim.customWidth}


def make_workbook(path, rows):
    book = openpyxl.Workbook()
    for row in rows:
        book.active.append(row)
    book.save(path)


def test_constants_and_registration():
    assert (xlsx.DEFAULT_COL_WIDTH, xlsx.XLSX_EXTS) == (20, ["xlsx"])
    assert xlsx.log is logging.getLogger("generator.common.serializers.xlsx")
    # The table and workbook libraries, imported on first use, are there under their names.
    assert (xlsx.Dict, xlsx.List, xlsx.np, xlsx.pd) == (typing.Dict, typing.List, numpy, pd)
    assert xlsx.get_column_letter is openpyxl.utils.get_column_letter and xlsx.load_workbook is openpyxl.load_workbook
    with pytest.raises(AttributeError, match="module 'generator.common.serializers.xlsx' has no attribute 'nope'"):
        xlsx.nope
    assert Loaders._registry[".xlsx"] is xlsx.load_from_xlsx
    assert export._registry[".xlsx"] is xlsx.export_to_xlsx


RECORDS = [
    {"name": "acct-1", "count": 3, "enabled": True, "cidrs": ["10.0.0.0/24", "10.0.1.0/24"], "note": None},
    {"name": "acct-2", "count": 0, "enabled": False, "cidrs": [], "note": "NA"},
    {"name": "None", "count": 7, "enabled": True, "cidrs": ["a", "b"], "note": "null"},
]


def test_written_sheet_form(tmp_path):
    path = tmp_path / "review.xlsx"
    assert xlsx.export_to_xlsx(RECORDS, path) is None
    sheet = sheet_of(path)
    rows = list(sheet.iter_rows(values_only=True))
    assert rows == [
        ("name", "count", "enabled", "cidrs", "note"),
        ("acct-1", 3, True, "['10.0.0.0/24', '10.0.1.0/24']", None),
        ("acct-2", 0, False, "[]", "NA"),
        ("None", 7, True, "['a', 'b']", "null"),
    ]
    assert sheet["C2"].data_type == "b" and sheet["B2"].data_type == "n"
    assert widths(sheet) == {letter: 20 for letter in "ABCDE"}
    assert list(tmp_path.iterdir()) == [path]


def test_round_trip_keeps_texts_and_types(tmp_path):
    path = tmp_path / "review.xlsx"
    xlsx.export_to_xlsx(RECORDS, path)
    loaded = xlsx.load_from_xlsx(path)
    assert loaded == [
        {"name": "acct-1", "count": 3, "enabled": True, "cidrs": "['10.0.0.0/24', '10.0.1.0/24']", "note": ""},
        {"name": "acct-2", "count": 0, "enabled": False, "cidrs": "[]", "note": "NA"},
        {"name": "None", "count": 7, "enabled": True, "cidrs": "['a', 'b']", "note": "null"},
    ]
    assert all(type(value) in PLAIN for record in loaded for value in record.values())


def test_only_empty_cells_are_missing(tmp_path):
    path = tmp_path / "edited.xlsx"
    make_workbook(
        path,
        [
            ["Name", "Count", "Flag", "Account", "Text"],
            ["NA", 1, True, 123456789012, "N/A"],
            ["nan", None, None, None, "None"],
            ["null", 2, False, 210987654321, None],
        ],
    )
    loaded = xlsx.load_from_xlsx(str(path))
    assert loaded == [
        {"Name": "NA", "Count": 1, "Flag": True, "Account": 123456789012, "Text": "N/A"},
        {"Name": "nan", "Count": "", "Flag": "", "Account": "", "Text": "None"},
        {"Name": "null", "Count": 2, "Flag": False, "Account": 210987654321, "Text": ""},
    ]
    assert all(type(value) in PLAIN for record in loaded for value in record.values())


def test_reader_is_looked_up_when_reading_with_its_missing_words_off(tmp_path, monkeypatch):
    calls = []
    real = pd.read_excel

    def spy(*args, **kwargs):
        calls.append((args, kwargs))
        return real(*args, **kwargs)

    monkeypatch.setattr(xlsx.pd, "read_excel", spy)
    make_workbook(tmp_path / "s.xlsx", [["Name"], ["NA"]])
    assert xlsx.load_from_xlsx(tmp_path / "s.xlsx") == [{"Name": "NA"}]
    assert calls == [((tmp_path / "s.xlsx",), {"dtype": object, "keep_default_na": False, "engine": "calamine"})]


def test_text_cells_that_look_like_numbers_stay_text(tmp_path):
    path = tmp_path / "ids.xlsx"
    make_workbook(path, [["account_id", "size", "n"], ["0123", "1.0", 7], ["0456", "2e3", 1.5]])
    assert xlsx.load_from_xlsx(path) == [
        {"account_id": "0123", "size": "1.0", "n": 7},
        {"account_id": "0456", "size": "2e3", "n": 1.5},
    ]


def make_workbook_with_error(path, rows, error_cell, error="#N/A"):
    make_workbook(path, rows)
    book = openpyxl.load_workbook(path)
    cell = book.worksheets[0][error_cell]
    cell.value, cell.data_type = error, "e"  # as a spreadsheet stores a formula's failed result
    book.save(path)


@pytest.mark.parametrize("error_cell, column", [("B2", "crvn_cidr"), ("C4", "hpe")])
@pytest.mark.parametrize("error", ["#N/A", "#REF!", "#DIV/0!"])
def test_error_cells_are_refused_not_read_as_empty(tmp_path, error_cell, column, error):
    path = tmp_path / "edited.xlsx"
    rows = [["vpc_id", "crvn_cidr", "hpe"], ["vpc-1", "10.0.0.0/27", True], ["vpc-2", "", False], ["vpc-3", "", True]]
    make_workbook_with_error(path, rows, error_cell, error)
    with pytest.raises(ValueError) as err:
        xlsx.load_from_xlsx(path)
    assert str(err.value) == (
        f"{path}: cell {error_cell} (column {column}) holds the spreadsheet error {error}, not a value; "
        "correct or clear it"
    )


def rewrite_sheet(path, change):
    """Rewrite the first sheet's XML as another program might have written it."""
    import zipfile

    with zipfile.ZipFile(path) as book:
        parts = {name: book.read(name) for name in book.namelist()}
    parts["xl/worksheets/sheet1.xml"] = change(parts["xl/worksheets/sheet1.xml"].decode()).encode()
    with zipfile.ZipFile(path, "w") as book:
        for name, data in parts.items():
            book.writestr(name, data)


@pytest.mark.parametrize("spelling", ["t='e'", "t = 'e'"])
def test_error_cells_are_found_however_the_xml_spells_them(tmp_path, spelling):
    path = tmp_path / "edited.xlsx"
    make_workbook_with_error(path, [["vpc_id", "crvn_cidr"], ["vpc-1", "10.0.0.0/27"]], "B2")
    rewrite_sheet(path, lambda xml: xml.replace('t="e"', spelling))
    with pytest.raises(ValueError, match=r"cell B2 \(column crvn_cidr\) holds the spreadsheet error #N/A"):
        xlsx.load_from_xlsx(path)


def test_every_unreadable_cell_is_named_in_sheet_order(tmp_path):
    path = tmp_path / "edited.xlsx"
    make_workbook_with_error(path, [["a", "b"], [1, 2], [3, 4]], "A3")
    book = openpyxl.load_workbook(path)
    book.worksheets[0]["B2"].value, book.worksheets[0]["B2"].data_type = "#VALUE!", "e"
    book.save(path)
    with pytest.raises(ValueError) as err:
        xlsx.load_from_xlsx(path)
    assert str(err.value).splitlines() == [
        f"{path}: 2 cells cannot be read:",
        "cell B2 (column b) holds the spreadsheet error #VALUE!, not a value; correct or clear it",
        "cell A3 (column a) holds the spreadsheet error #N/A, not a value; correct or clear it",
    ]


@pytest.mark.parametrize("rows, expected", [([["Name", "Count"]], []), ([["Name", "Count"], ["a", None]], [{"Name": "a", "Count": ""}])])
def test_small_sheets(tmp_path, rows, expected):
    make_workbook(tmp_path / "s.xlsx", rows)
    assert xlsx.load_from_xlsx(tmp_path / "s.xlsx") == expected


def test_later_key_gets_a_column_of_default_width(tmp_path):
    path = tmp_path / "extra.xlsx"
    xlsx.export_to_xlsx([{"a": 1, "b": 2}, {"a": 3, "b": 4, "late": "x"}], path)
    sheet = sheet_of(path)
    assert [c.value for c in sheet[1]] == ["a", "b", "late"]
    assert sheet["C2"].value is None and sheet["C3"].value == "x"
    assert widths(sheet) == {"A": 20, "B": 20}


def test_width_is_read_when_writing(tmp_path, monkeypatch):
    monkeypatch.setattr(xlsx, "DEFAULT_COL_WIDTH", 33)
    xlsx.export_to_xlsx([{"a": 1, "b": 2}], tmp_path / "w.xlsx")
    assert widths(sheet_of(tmp_path / "w.xlsx")) == {"A": 33, "B": 33}


def test_titles_only_with_columns(tmp_path):
    path = tmp_path / "none.xlsx"
    xlsx.export_to_xlsx([], path, columns=["account_id", "region", "vpc_id"])
    sheet = sheet_of(path)
    assert list(sheet.iter_rows(values_only=True)) == [("account_id", "region", "vpc_id")]
    assert widths(sheet) == {"A": 20, "B": 20, "C": 20}
    assert xlsx.load_from_xlsx(path) == []


def test_columns_do_not_override_records(tmp_path):
    path = tmp_path / "rows.xlsx"
    xlsx.export_to_xlsx([{"a": 1, "b": 2}], path, columns=["x"])
    assert list(sheet_of(path).iter_rows(values_only=True)) == [("a", "b"), (1, 2)]


def test_empty_data_without_columns_writes_nothing(tmp_path):
    path = tmp_path / "kept.xlsx"
    xlsx.export_to_xlsx([{"a": 1}], path)
    before = path.read_bytes()
    with pytest.raises(IndexError):
        xlsx.export_to_xlsx([], path)
    assert path.read_bytes() == before
    with pytest.raises(IndexError):
        xlsx.export_to_xlsx([], tmp_path / "new.xlsx")
    assert list(tmp_path.iterdir()) == [path]


def test_a_mapping_is_refused_by_name_and_nothing_written(tmp_path):
    path = tmp_path / "config.xlsx"
    with pytest.raises(TypeError, match=r"cannot write .*config\.xlsx: a workbook holds a list of rows"):
        xlsx.export_to_xlsx({"account_info": [{"a": 1}]}, path)
    assert list(tmp_path.iterdir()) == []


def test_rewrite_replaces_the_whole_workbook(tmp_path):
    path = tmp_path / "r.xlsx"
    xlsx.export_to_xlsx([{"a": i, "b": i, "c": i} for i in range(5)], path)
    xlsx.export_to_xlsx([{"z": "only"}], path)
    sheet = sheet_of(path)
    assert list(sheet.iter_rows(values_only=True)) == [("z",), ("only",)]
    assert widths(sheet) == {"A": 20}


def test_through_the_package_by_extension(tmp_path):
    path = tmp_path / "Accounts.XLSX"
    serializers.export_to_path(RECORDS[:1], path)
    assert Loaders.guess(Path("data/Accounts.XLSX")) is xlsx.load_from_xlsx
    assert serializers.load_from_path(str(path))[0]["name"] == "acct-1"
    assert Loaders.guess(tmp_path / ".xlsx") is _ambiguous_loader


def test_debug_record_of_the_reader(tmp_path, caplog):
    make_workbook(tmp_path / "d.xlsx", [["Name"], ["x"]])
    caplog.set_level(logging.DEBUG, logger="generator")
    xlsx.load_from_xlsx(tmp_path / "d.xlsx")
    (record,) = [r for r in caplog.records if r.name == "generator.common.serializers.xlsx"]
    assert (record.levelno, record.funcName, record.msg) == (logging.DEBUG, "load_from_xlsx", "Loaded dataframe from excel:\n%s")
    assert isinstance(record.args[0], pd.DataFrame)
    assert record.getMessage().startswith("Loaded dataframe from excel:\n")


def fail_in_pandas(monkeypatch):
    def half_write(self, target, **kwargs):
        raise OSError("disk full")  # while the table's cells are written

    monkeypatch.setattr(pd.DataFrame, "to_excel", half_write)
    return "disk full"


def fail_in_widths(monkeypatch):
    def refuse(col):
        raise ValueError("no letter")

    monkeypatch.setattr(xlsx, "get_column_letter", refuse)
    return "no letter"


def fail_in_save(monkeypatch):
    def save(book, target):
        if hasattr(target, "write"):
            target.write(b"truncated")
        else:
            Path(target).write_bytes(b"truncated")
        raise PermissionError(13, "Permission denied")

    monkeypatch.setattr(openpyxl.workbook.workbook.Workbook, "save", save)
    return "[Errno 13] Permission denied"


@pytest.mark.parametrize("inject", [fail_in_pandas, fail_in_widths, fail_in_save])
def test_failed_write_leaves_the_workbook_untouched(tmp_path, monkeypatch, inject):
    path = tmp_path / "review.xlsx"
    xlsx.export_to_xlsx(RECORDS, path)
    before = path.read_bytes()
    message = inject(monkeypatch)
    with pytest.raises(Exception) as err:
        xlsx.export_to_xlsx([{"other": 1}], path)
    assert message in str(err.value)
    assert path.read_bytes() == before
    assert list(tmp_path.iterdir()) == [path]
    named = str(err.value) + "".join(getattr(err.value, "__notes__", []))
    assert str(path) in named
    assert ".review." not in str(err.value), "the temporary name is not what the engineer asked for"


def test_missing_destination_folder(tmp_path):
    destination = tmp_path / "missing" / "review.xlsx"
    with pytest.raises(FileNotFoundError) as err:
        xlsx.export_to_xlsx(RECORDS, destination)
    assert err.value.filename == str(destination)
    assert list(tmp_path.iterdir()) == []


@pytest.mark.parametrize("content", [b"account_id,region\n1,us-east-1\n", b""])
def test_a_file_that_is_not_a_workbook_is_named(tmp_path, content):
    path = tmp_path / "vpcs.xlsx"
    path.write_bytes(content)
    with pytest.raises(Exception) as refused:
        xlsx.load_from_xlsx(path)
    assert f"while reading {path}" in getattr(refused.value, "__notes__", [])


def test_a_missing_workbook_is_named_by_the_error_itself(tmp_path):
    with pytest.raises(FileNotFoundError) as missing:
        xlsx.load_from_xlsx(tmp_path / "nowhere.xlsx")
    assert "nowhere.xlsx" in str(missing.value)
    assert not getattr(missing.value, "__notes__", None)


# ---- the reader's cell types, proven against the reader of before (pandas with openpyxl)

def as_before(path):
    """What the workbook read as with pandas' openpyxl engine, the reader this module used before."""
    table = pd.read_excel(path, dtype=object, keep_default_na=False, engine="openpyxl")
    # Empty cells as "", each cell keeping its own type (no column-wide downcast, as pandas 3 does)
    return [{k: "" if isinstance(v, float) and numpy.isnan(v) else v for k, v in r.items()}
            for r in table.to_dict("records")]


def typed(records):
    # A date is a datetime either way (pandas before 3 gives datetime.datetime, pandas 3 its Timestamp)
    return [{k: ("datetime" if isinstance(v, datetime.datetime) else type(v).__name__, v) for k, v in r.items()}
            for r in records]


def as_spreadsheet_program(path, cells):
    """Rewrite the first sheet of an openpyxl workbook as a spreadsheet program stores it: texts in the
    shared-string table, formulas with their stored results. cells: rows of (kind, text) per column, kind
    "s" (a shared text), "date", None (no cell) or the cell's attributes (its XML content in text)."""
    import zipfile

    strings, rows = [], []
    for r, row in enumerate(cells, start=1):
        xml = []
        for c, (kind, text) in enumerate(row, start=1):
            ref = f"{openpyxl.utils.get_column_letter(c)}{r}"
            if kind == "s":
                strings.append(text)
                xml.append(f'<c r="{ref}" t="s"><v>{len(strings) - 1}</v></c>')
            elif kind == "date":
                xml.append(f'<c r="{ref}" s="1"><v>{text}</v></c>')
            elif kind is not None:
                xml.append(f'<c r="{ref}"{kind}>{text}</c>')
        rows.append(f'<row r="{r}">{"".join(xml)}</row>')
    sheet = ('<worksheet xmlns="http://schemas.openxmlformats.org/spreadsheetml/2006/main"><sheetData>'
             + "".join(rows) + "</sheetData></worksheet>")
    shared = ('<sst xmlns="http://schemas.openxmlformats.org/spreadsheetml/2006/main">'
              + "".join(f"<si><t>{s}</t></si>" for s in strings) + "</sst>")
    with zipfile.ZipFile(path) as source:
        parts = {name: source.read(name) for name in source.namelist()}
    parts["xl/worksheets/sheet1.xml"] = sheet.encode()
    parts["xl/sharedStrings.xml"] = shared.encode()
    if b"sharedStrings" not in parts["[Content_Types].xml"]:
        parts["[Content_Types].xml"] = parts["[Content_Types].xml"].replace(b"</Types>", (
            b'<Override PartName="/xl/sharedStrings.xml" ContentType="application/vnd.openxmlformats-officedocument.'
            b'spreadsheetml.sharedStrings+xml"/></Types>'))
        parts["xl/_rels/workbook.xml.rels"] = parts["xl/_rels/workbook.xml.rels"].replace(b"</Relationships>", (
            b'<Relationship Id="rIdS" Type="http://schemas.openxmlformats.org/officeDocument/2006/relationships/'
            b'sharedStrings" Target="sharedStrings.xml"/></Relationships>'))
    with zipfile.ZipFile(path, "w") as target:
        for name, data in parts.items():
            target.writestr(name, data)


def corpus(tmp_path):
    written = tmp_path / "written.xlsx"
    xlsx.export_to_xlsx(RECORDS + [{"name": "=1+1", "count": 2.5, "enabled": "", "cidrs": "#N/A", "note": "0123"}],
                        written)
    edited = tmp_path / "edited.xlsx"
    make_workbook(edited, [
        ["text", "flag", "int", "whole", "float", "date", "blank"],
        ["NA", True, 123456789012, 5.0, 1.5, datetime.datetime(2024, 1, 2, 3, 4, 5), None],
        ["None", False, 0, 7.0, -0.25, datetime.date(2024, 1, 2), None],
        ["0123", None, None, 1e20, None, None, None],
        ["", True, 3, None, 2.0, None, None],
    ])
    program = tmp_path / "program.xlsx"
    make_workbook(program, [[datetime.datetime(2024, 1, 1)]])  # a date style for s="1"
    as_spreadsheet_program(program, [
        [("s", "text"), ("s", "flag"), ("s", "number"), ("s", "sum"), ("s", "joined"), ("s", "nothing"),
         ("s", "date")],
        [("s", "NA"), (' t="b"', "<v>1</v>"), ("", "<v>5</v>"), ("", "<f>1+1</f><v>2</v>"),
         (' t="str"', '<f>"a"&amp;"b"</f><v>ab</v>'), (' t="str"', '<f>""</f><v></v>'), ("date", "45293.5")],
        [("s", "None"), (' t="b"', "<v>0</v>"), ("", "<v>1.5</v>"), ("", "<f>0.5*3</f><v>1.5</v>"),
         ("s", "0123"), (None, ""), ("date", "45293")],
        [("s", ""), ("", ""), ("", "<v>-7</v>"), (' t="b"', "<f>TRUE()</f><v>1</v>"), (None, ""), (None, ""),
         (None, "")],
    ])
    return [written, edited, program]


def test_reader_types_match_the_reader_of_before_on_a_corpus(tmp_path):
    for path in corpus(tmp_path):
        loaded = xlsx.load_from_xlsx(path)
        assert typed(loaded) == typed(as_before(path)), path.name
    program = xlsx.load_from_xlsx(tmp_path / "program.xlsx")
    assert [(r["sum"], r["joined"], r["nothing"]) for r in program] == [(2, "ab", ""), (1.5, "0123", ""),
                                                                          (True, "", "")]
    written = xlsx.load_from_xlsx(tmp_path / "written.xlsx")
    assert (written[3]["name"], written[3]["cidrs"]) == ("=1+1", "#N/A"), "texts written are read back as texts"


def test_formulas_without_a_stored_result_are_refused_by_cell(tmp_path):
    path = tmp_path / "typed.xlsx"
    make_workbook(path, [["vpc_id", "crvn_cidr", "spoke_gw_name"], ["vpc-1", "=B3", "gw"], ["vpc-2", "", '=A2&"x"']])
    with pytest.raises(ValueError) as err:
        xlsx.load_from_xlsx(path)
    assert str(err.value).splitlines() == [
        f"{path}: 2 cells cannot be read:",
        "cell B2 (column crvn_cidr) holds the formula =B3 without a stored result; type the value, or open and "
        "save the workbook in a spreadsheet program so that it stores the result",
        'cell C3 (column spoke_gw_name) holds the formula =A2&"x" without a stored result; type the value, or '
        "open and save the workbook in a spreadsheet program so that it stores the result",
    ]


class _CodedError(Exception):
    """A host error with attributes of its own, as a library raises them."""

    def __init__(self, message, code):
        super().__init__(message)
        self.code = code


class _CodedErrorBefore311(_CodedError):
    """The same without BaseException.add_note, as on Python 3.9 and 3.10."""

    def __getattribute__(self, name):
        if name == "add_note":
            raise AttributeError(name)
        return super().__getattribute__(name)


@pytest.mark.parametrize("error_type", [_CodedError, _CodedErrorBefore311], ids=["add_note", "before 3.11"])
def test_context_is_a_note_and_the_error_stays_itself(tmp_path, monkeypatch, error_type):
    raised = error_type("the reader gave up", code=42)

    def read_excel(*args, **kwargs):
        raise raised

    monkeypatch.setattr(xlsx.pd, "read_excel", read_excel)
    path = tmp_path / "review.xlsx"
    with pytest.raises(error_type) as err:
        xlsx.load_from_xlsx(path)
    assert err.value is raised and err.value.code == 42 and str(err.value) == "the reader gave up"
    assert err.value.__notes__ == [f"while reading {path}"]
    assert err.traceback[-1].name == "read_excel"  # the traceback still reaches where it was raised
