// generator.common.serializers.xlsx: the review workbook, written with pandas (widths
// set with openpyxl) and read back with pandas, one record per row.
#include <pybind11/pybind11.h>

#include <string>

#include "native/globals.hpp"
#include "native/host.hpp"

namespace py = pybind11;

namespace serializers_xlsx {

native::ModuleLog LOG;

// The module's globals, read at call time as Python code reads its globals,
// so that a patched `pd`, `load_workbook` or `DEFAULT_COL_WIDTH` is obeyed.
native::ModuleGlobals global;

// With its missing-value words off, the reader gives an empty cell as the empty text; what it
// still reads as missing is a cell holding a spreadsheet error (#N/A, #REF!, #DIV/0!, ...).
// Such a cell is refused by its place in the sheet: read as empty it would quietly mean "not set".
void refuse_error_cells(py::handle table, py::handle path, const std::string& sheet = "") {
    py::object missing = table.attr("isna")().attr("to_numpy")();
    if (!native::truthy(missing.attr("any")())) return;
    py::tuple at = missing.attr("nonzero")();  // row-major: the first error cell in reading order
    py::object row = at[0][py::int_(0)], col = at[1][py::int_(0)];
    const long sheet_row = row.cast<long>() + 2;  // titles are row 1
    py::object letter = global("get_column_letter")(col.cast<long>() + 1);
    py::object title = table.attr("columns")[col];
    native::raise_builtin("ValueError", native::text(path) + sheet + ": cell " + native::text(letter) +
                                            std::to_string(sheet_row) + " (column " + native::text(title) +
                                            ") holds a spreadsheet error such as #N/A or #REF!, not a value; "
                                            "correct or clear it");
}

// The reader's own message for a file that is not a workbook ("File is not a zip file") does
// not say which file: the error keeps its type and message and gains a note naming it.
void name_source(py::error_already_set& err, py::handle path) {
    if (!err.matches(PyExc_Exception)) return;
    py::object value = err.value();
    if (err.matches(PyExc_OSError) && !py::getattr(value, "filename", py::none()).is_none()) return;
    global("add_note")(value, "while reading " + native::text(path));
}

// The workbook's first sheet as a table, or with `every_sheet` all its sheets by title.
// Only truly empty cells are missing, and they read as the empty text: texts such as "NA",
// "None" or "null" stay texts. Each cell keeps the type it has in the sheet: a text cell such
// as "0123" or "1.0" stays text (no leading zero lost), and a column with empty cells keeps
// its integers and booleans.
py::object read_tables(py::handle path, bool every_sheet) {
    py::dict options;
    if (every_sheet) options["sheet_name"] = py::none();
    options["dtype"] = global("object");
    options["keep_default_na"] = false;
    try {
        return global("pd").attr("read_excel")(path, **options);
    } catch (py::error_already_set& err) {
        name_source(err, path);
        throw;
    }
}

py::object load_from_xlsx(py::object path) {
    py::object table = read_tables(path, false);
    refuse_error_cells(table, path);
    LOG(native::DEBUG, "load_from_xlsx", "Loaded dataframe from excel:\n%s", table);
    return table.attr("to_dict")("records");
}

py::dict load_sheets(py::object path) {
    py::dict sheets;
    bool first = true;
    for (auto item : py::reinterpret_borrow<py::dict>(read_tables(path, true))) {
        refuse_error_cells(item.second, path, first ? "" : ", sheet " + native::text(item.first));
        first = false;
        LOG(native::DEBUG, "load_sheets", "Loaded sheet %s from excel:\n%s", item.first, item.second);
        sheets[item.first] = item.second.attr("to_dict")("records");
    }
    return sheets;
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

// The further sheets of a workbook (each {"title", "rows", "columns", "hidden"}, or
// {"title", "copy_of": path} for a sheet copied from the workbook at path) and the
// marks on cells of its first sheet (each {"row": record index, "column": title, "fill":
// RRGGBB, "note": text or None}), put on the workbook before it is saved.
void dress_sheets(py::handle book, py::handle sheets, py::handle marks) {
    py::object letter_of = global("get_column_letter");
    py::object width = global("DEFAULT_COL_WIDTH");
    for (py::handle sheet : sheets) {
        if (sheet.contains("copy_of")) continue;
        py::object page = book[sheet["title"]];
        for (size_t col = 1; col <= py::len(sheet["columns"]); ++col) {
            page.attr("column_dimensions")[letter_of(col)].attr("width") = width;
        }
        if (native::truthy(sheet.attr("get")("hidden", false))) page.attr("sheet_state") = "veryHidden";
    }
    if (marks.is_none()) return;
    py::object first = book.attr("worksheets")[py::int_(0)];
    py::dict column_of;  // title -> column number, from the title row
    for (py::handle title_cell : first[py::str("1")]) column_of[title_cell.attr("value")] = title_cell.attr("column");
    py::object fill_type = native::host_attr("openpyxl.styles", "PatternFill");
    py::object comment_type = native::host_attr("openpyxl.comments", "Comment");
    for (py::handle mark : marks) {
        py::object cell = first.attr("cell")(py::arg("row") = py::int_(mark["row"]) + py::int_(2),
                                             py::arg("column") = column_of[mark["column"]]);
        py::object fill = mark["fill"];
        cell.attr("fill") = fill_type(py::arg("fill_type") = "solid", py::arg("start_color") = fill,
                                      py::arg("end_color") = fill);
        py::object note = mark.attr("get")("note");
        if (!note.is_none()) cell.attr("comment") = comment_type(note, "generate");
    }
}

void export_to_xlsx(py::object data, py::object path, py::object columns, py::object sheets, py::object marks) {
    if (PyDict_Check(data.ptr())) {
        // A whole configuration sent to a .xlsx name: say so instead of failing on its key 0.
        native::raise_builtin("TypeError", "cannot write " + native::text(path) +
                                               ": a workbook holds a list of rows (one mapping per row), not a "
                                               "mapping; is the file name's extension the one intended?");
    }
    py::object from_records = global("pd").attr("DataFrame").attr("from_records");
    py::object table;
    size_t column_count;
    if (!columns.is_none() && py::len(data) == 0) {
        // No record: a sheet with the titles only.
        table = from_records(data, py::arg("columns") = columns);
        column_count = py::len(columns);
    } else {
        column_count = py::len(data[py::int_(0)]);  // IndexError for empty data, before anything is written
        table = from_records(data);
    }
    py::object width = global("DEFAULT_COL_WIDTH");
    py::list column_widths;
    for (size_t i = 0; i < column_count; ++i) column_widths.append(width);

    // Written and widened under a temporary name in the destination folder, then moved
    // over `path`: a failure never leaves a half-written or width-less workbook there.
    if (sheets.is_none()) sheets = py::list();
    py::cpp_function write([table, column_widths, sheets, marks](py::object tmp) {
        if (py::len(sheets) == 0 && marks.is_none()) {
            table.attr("to_excel")(tmp, py::arg("index") = false);
        } else {
            // One writer for every sheet, so that their cells are written and read back alike.
            py::object writer = global("pd").attr("ExcelWriter")(tmp, py::arg("engine") = "openpyxl");
            try {
                table.attr("to_excel")(writer, py::arg("index") = false);
                py::object source;  // the workbook sheets are copied from, opened once
                for (py::handle sheet : sheets) {
                    if (sheet.contains("copy_of")) {
                        if (!source) source = global("load_workbook")(py::arg("filename") = native::text(sheet["copy_of"]));
                        copy_sheet(source[sheet["title"]], writer.attr("book").attr("create_sheet")(sheet["title"]));
                        continue;
                    }
                    global("pd").attr("DataFrame").attr("from_records")(sheet["rows"],
                                                                        py::arg("columns") = sheet["columns"])
                        .attr("to_excel")(writer, py::arg("sheet_name") = sheet["title"], py::arg("index") = false);
                }
                dress_sheets(writer.attr("book"), sheets, marks);
            } catch (py::error_already_set&) {
                writer.attr("close")();  // the temporary file is removed by the caller
                throw;
            }
            writer.attr("close")();
        }
        global("_set_column_widths")(column_widths, tmp);
    });
    global("write_atomically")(path, write, py::arg("suffix") = ".xlsx");  // pandas picks its writer by it
}

void set_column_widths(py::iterable column_widths, py::object path) {
    py::object workbook = global("load_workbook")(py::arg("filename") = native::text(path));
    py::object sheet = workbook.attr("worksheets")[py::int_(0)];
    py::object letter_of = global("get_column_letter");
    int col = 1;
    for (py::handle width : column_widths) {
        sheet.attr("column_dimensions")[letter_of(col)].attr("width") = width;
        ++col;
    }
    workbook.attr("save")(native::text(path));
}

}  // namespace serializers_xlsx

PYBIND11_MODULE(xlsx, m) {
    using namespace serializers_xlsx;
    m.doc() = "Excel serializer: lists of flat records to and from the review workbook.";

    m.attr("logging") = py::module_::import("logging");
    py::module_ typing = py::module_::import("typing");  // names of the declared types
    for (const char* name : {"Dict", "List"}) m.attr(name) = typing.attr(name);
    m.attr("Path") = native::host_attr("pathlib", "Path");
    m.attr("np") = py::module_::import("numpy");
    m.attr("pd") = py::module_::import("pandas");
    m.attr("load_workbook") = native::host_attr("openpyxl", "load_workbook");
    m.attr("get_column_letter") = native::host_attr("openpyxl.utils", "get_column_letter");
    py::module_ exporters = py::module_::import("generator.common.serializers.export");
    m.attr("register_exporter") = exporters.attr("register_exporter");
    m.attr("write_atomically") = exporters.attr("write_atomically");
    m.attr("add_note") = exporters.attr("add_note");
    m.attr("register_loader") = native::host_attr("generator.common.serializers.load", "register_loader");

    global.bind(m);

    m.attr("log") = m.attr("logging").attr("getLogger")(m.attr("__name__"));
    LOG.bind(m);
    m.attr("DEFAULT_COL_WIDTH") = 20;
    py::list xlsx_exts;
    xlsx_exts.append("xlsx");
    m.attr("XLSX_EXTS") = xlsx_exts;

    py::object as_loader = global("register_loader")(xlsx_exts);
    m.def("load_from_xlsx", &load_from_xlsx, py::arg("path"),
          "Return the records of the workbook's first sheet, one mapping of column title to value per row.\n\n"
          "Only empty cells read as missing; they become the empty text.");
    m.attr("load_from_xlsx") = as_loader(m.attr("load_from_xlsx"));
    m.def("load_sheets", &load_sheets, py::arg("path"),
          "Return the records of every sheet of the workbook, hidden ones included: {title: records}, in the "
          "workbook's order, each sheet read as load_from_xlsx reads the first.");

    py::object as_exporter = global("register_exporter")(xlsx_exts);
    m.def("export_to_xlsx", &export_to_xlsx, py::arg("data"), py::arg("path"),
          py::arg("columns") = py::none(), py::arg("sheets") = py::none(), py::arg("marks") = py::none(),
          "Write the records to a new workbook at path, replacing any file there.\n\n"
          "The columns of the first record's keys get the width DEFAULT_COL_WIDTH.\n"
          "columns: the titles to write when data holds no record (ignored otherwise).\n"
          "sheets: further sheets after the first, each {'title', 'rows', 'columns', 'hidden'};\n"
          "a hidden one is kept out of the engineer's sight (very hidden). {'title', 'copy_of': path}\n"
          "copies that sheet of the workbook at path (values, formulas, widths).\n"
          "marks: cells of the first sheet to colour, each {'row': index in data, 'column': title,\n"
          "'fill': 'RRGGBB', 'note': text or None}.");
    m.attr("export_to_xlsx") = as_exporter(m.attr("export_to_xlsx"));

    m.def("_set_column_widths", &set_column_widths, py::arg("column_widths"), py::arg("path"),
          "Set the widths of the first sheet's columns, the first for column A, and save the workbook in place.");
}
