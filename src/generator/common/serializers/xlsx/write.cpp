// Writing the review workbook: every sheet built in memory with pandas and
// openpyxl (texts kept texts, titles dressed for review, widths, marks), saved once.
#include <string>
#include <utility>
#include <vector>

#include "generator/common/serializers/xlsx/xlsx.hpp"
#include "native/review_columns.hpp"

using namespace pybind11::literals;

namespace xlsx_module {
namespace {

void set_widths(py::handle sheet, py::iterable column_widths) {
    py::object letter_of = global("get_column_letter");
    int col = 1;
    for (py::handle width : column_widths) {
        sheet.attr("column_dimensions")[letter_of(col)].attr("width") = width;
        ++col;
    }
}

// Every text written stays a text cell: the library makes a text starting with "="
// a formula and a text such as #N/A an error cell; a VPC's Name tag is not to run
// in the engineer's spreadsheet program. An empty text (how the table writes a
// missing value) is no cell at all, as a spreadsheet program keeps it.
void keep_texts_texts(py::handle sheet) {
    py::str formula("f"), error("e"), text("s"), empty("");
    for (py::handle row : sheet.attr("iter_rows")()) {
        for (py::handle cell : row) {
            py::object type = cell.attr("data_type");
            if (type.equal(formula) || type.equal(error)) {
                cell.attr("data_type") = text;
            } else if (type.equal(text) && py::object(cell.attr("value")).equal(empty)) {
                cell.attr("value") = py::none();
                cell.attr("data_type") = text;  // as a text cell without text reads back
            }
        }
    }
}

// The header row bold and frozen, a filter over all columns, a TRUE/FALSE drop-down
// in the yes/no columns and, on each known column's title, a note saying what it accepts.
void dress_for_review(py::handle sheet, size_t column_count) {
    if (column_count == 0) return;
    py::object letter_of = global("get_column_letter");
    py::object bold = global("Font")(py::arg("bold") = true);
    const long last_row = sheet.attr("max_row").cast<long>();
    const std::string last_column = native::text(letter_of(column_count));
    sheet.attr("freeze_panes") = "A2";
    sheet.attr("auto_filter").attr("ref") = "A1:" + last_column + std::to_string(last_row);
    py::object yes_no = py::none();
    for (size_t col = 1; col <= column_count; ++col) {
        py::object cell = sheet.attr("cell")(py::arg("row") = 1, py::arg("column") = col);
        cell.attr("font") = bold;
        const native::ReviewColumn* rule = native::review_column(native::text(cell.attr("value")));
        if (rule == nullptr) continue;
        py::object note = global("Comment")(std::string(rule->accepts), "generator");
        note.attr("width") = 300;
        note.attr("height") = 90;
        cell.attr("comment") = note;
        if (rule->kind != native::ColumnKind::yes_no) continue;
        if (yes_no.is_none()) {
            yes_no = global("DataValidation")(py::arg("type") = "list", py::arg("formula1") = "\"TRUE,FALSE\"",
                                              py::arg("allow_blank") = true);
            sheet.attr("add_data_validation")(yes_no);
        }
        const std::string letter = native::text(letter_of(col));
        yes_no.attr("add")(letter + "2:" + letter + "1048576");
    }
}

// A sheet of another workbook, copied into `to`: every cell's value (formulas as formulas,
// texts kept texts), the column widths and whether it is shown.
void copy_sheet(py::handle from, py::handle to) {
    for (py::handle row : from.attr("iter_rows")()) {
        for (py::handle cell : row) {
            py::object value = cell.attr("value");
            if (value.is_none()) continue;
            py::object copy = to.attr("cell")(py::arg("row") = cell.attr("row"), py::arg("column") = cell.attr("column"));
            copy.attr("value") = value;
            copy.attr("data_type") = cell.attr("data_type");
            copy.attr("number_format") = cell.attr("number_format");
        }
    }
    for (auto item : py::reinterpret_borrow<py::dict>(from.attr("column_dimensions"))) {
        py::object width = item.second.attr("width");
        if (!width.is_none()) to.attr("column_dimensions")[item.first].attr("width") = width;
    }
    to.attr("sheet_state") = from.attr("sheet_state");
}

// The fills and notes of a sheet's marked cells, each {"row": index into the sheet's
// records, "column": title, "fill": RRGGBB, "note": text or None}.
void mark_cells(py::handle page, py::handle marks) {
    py::dict column_of;  // title -> column number, from the title row
    for (py::handle title_cell : page[py::str("1")]) column_of[title_cell.attr("value")] = title_cell.attr("column");
    py::object fill_type = native::host_attr("openpyxl.styles", "PatternFill");
    for (py::handle mark : marks) {
        py::object cell = page.attr("cell")(py::arg("row") = py::int_(mark["row"]) + py::int_(2),
                                            py::arg("column") = column_of[mark["column"]]);
        py::object fill = mark["fill"];
        cell.attr("fill") = fill_type(py::arg("fill_type") = "solid", py::arg("start_color") = fill,
                                      py::arg("end_color") = fill);
        py::object note = mark.attr("get")("note");
        if (!note.is_none()) cell.attr("comment") = global("Comment")(note, "generate");
    }
}

// The titles of a sheet: `columns`, or without them the keys of the records in order of
// appearance.
py::list titles_of(py::handle columns, py::handle records) {
    py::list titles;
    if (!columns.is_none()) {
        for (py::handle title : columns) titles.append(title);
        return titles;
    }
    for (py::handle record : records) {
        for (py::handle title : record) {
            if (!titles.contains(title)) titles.append(title);
        }
    }
    return titles;
}

// The title row and each record's cells as given (texts kept texts), without the
// table's title styling.
void write_plain(py::handle page, py::handle titles, py::handle records) {
    page.attr("append")(titles);
    long row = 1;
    for (py::handle record : records) {
        ++row;
        long column = 0;
        for (py::handle title : titles) {
            py::object value = record.attr("get")(title);
            py::object cell = page.attr("cell")(py::arg("row") = row, py::arg("column") = ++column, py::arg("value") = value);
            if (PyUnicode_Check(value.ptr())) cell.attr("data_type") = "s";
        }
    }
}

// Writes the workbook of `sheets`, in their order, to `target` in one save: the cells of
// every sheet first, then each sheet's widths and dressing (see export_sheets). The
// workbook is built in memory; nothing is written to `target` unless all of it succeeds.
void write_sheets(py::handle sheets, py::handle target) {
    py::object pd = global("pd");
    py::object from_records = pd.attr("DataFrame").attr("from_records");
    py::object buffer = native::host_attr("io", "BytesIO")();
    py::object writer = pd.attr("ExcelWriter")(buffer, py::arg("engine") = "openpyxl");
    {
        py::object book = writer.attr("book");
        py::object source;  // the workbook sheets are copied from, opened once
        std::vector<std::pair<py::object, py::list>> pages;  // each sheet's page and titles
        for (py::handle sheet : sheets) {
            py::object title = sheet.attr("get")("title", "Sheet1");
            py::object records = sheet.attr("get")("rows", py::list());
            py::list titles = titles_of(sheet.attr("get")("columns"), records);
            py::object page;
            if (sheet.contains("copy_of")) {
                if (!source) source = global("load_workbook")(py::arg("filename") = native::text(sheet["copy_of"]));
                page = book.attr("create_sheet")(title);
                copy_sheet(source[title], page);
            } else if (native::truthy(sheet.attr("get")("plain", false))) {
                page = book.attr("create_sheet")(title);
                write_plain(page, titles, records);
            } else {
                from_records(records, py::arg("columns") = titles)
                    .attr("to_excel")(writer, py::arg("sheet_name") = title, py::arg("index") = false);
                page = book[title];
            }
            pages.emplace_back(page, titles);
        }
        py::object width = global("DEFAULT_COL_WIDTH");
        size_t at = 0;
        for (py::handle sheet : sheets) {
            auto& [page, titles] = pages[at++];
            if (sheet.contains("copy_of")) continue;
            if (!native::truthy(sheet.attr("get")("plain", false))) keep_texts_texts(page);
            if (native::truthy(sheet.attr("get")("review", false))) dress_for_review(page, py::len(titles));
            py::object widths = sheet.attr("get")("widths");
            if (widths.is_none()) {
                py::list each;
                for (size_t i = 0; i < py::len(titles); ++i) each.append(width);
                widths = each;
            }
            set_widths(page, widths);
            if (native::truthy(sheet.attr("get")("hidden", false))) page.attr("sheet_state") = "veryHidden";
            py::object marks = sheet.attr("get")("marks");
            if (!marks.is_none()) mark_cells(page, marks);
        }
    }
    writer.attr("close")();  // saves the workbook into the buffer
    global("Path")(target).attr("write_bytes")(buffer.attr("getvalue")());
}

}  // namespace

void export_sheets(py::object sheets, py::object path) {
    if (py::len(sheets) == 0) native::raise_builtin("ValueError", "a workbook needs at least one sheet");
    // Written under a temporary name in the destination folder, then moved over `path`:
    // a failure never leaves a half-written workbook there.
    py::cpp_function write([sheets](py::object tmp) { write_sheets(sheets, tmp); });
    global("write_atomically")(path, write, py::arg("suffix") = ".xlsx");  // pandas picks its writer by it
}

void export_to_xlsx(py::object data, py::object path, py::object columns, py::object sheets, py::object marks,
                    py::kwargs options) {
    if (PyDict_Check(data.ptr())) {
        // A whole configuration sent to a .xlsx name: say so instead of failing on its key 0.
        native::raise_builtin("TypeError", "cannot write " + native::text(path) +
                                               ": a workbook holds a list of rows (one mapping per row), not a "
                                               "mapping; is the file name's extension the one intended?");
    }
    if (py::len(options) != 0) {
        native::raise_builtin("TypeError", "export_to_xlsx() takes no option " + native::text(py::list(options)));
    }
    py::dict first("rows"_a = data, "review"_a = true, "marks"_a = marks);
    if (!columns.is_none() && py::len(data) == 0) {
        first["columns"] = columns;  // no record: a sheet with the titles only
    } else {
        // The first record's keys get the default width; IndexError for empty data, before anything is written.
        py::list widths;
        for (size_t i = 0, n = py::len(data[py::int_(0)]); i < n; ++i) widths.append(global("DEFAULT_COL_WIDTH"));
        first["widths"] = widths;
    }
    py::list all;
    all.append(first);
    if (!sheets.is_none()) {
        for (py::handle sheet : sheets) {
            py::dict further = py::dict(py::reinterpret_borrow<py::object>(sheet));
            if (!further.contains("copy_of")) further["review"] = !native::truthy(further.attr("get")("hidden", false));
            all.append(further);
        }
    }
    export_sheets(all, path);
}

void set_column_widths(py::iterable column_widths, py::object path) {
    py::object workbook = global("load_workbook")(py::arg("filename") = native::text(path));
    set_widths(workbook.attr("worksheets")[py::int_(0)], column_widths);
    workbook.attr("save")(native::text(path));
}

}  // namespace xlsx_module
