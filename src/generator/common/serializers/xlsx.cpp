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
void refuse_error_cells(py::handle table, py::handle path) {
    py::object missing = table.attr("isna")().attr("to_numpy")();
    if (!native::truthy(missing.attr("any")())) return;
    py::tuple at = missing.attr("nonzero")();  // row-major: the first error cell in reading order
    py::object row = at[0][py::int_(0)], col = at[1][py::int_(0)];
    const long sheet_row = row.cast<long>() + 2;  // titles are row 1
    py::object letter = global("get_column_letter")(col.cast<long>() + 1);
    py::object title = table.attr("columns")[col];
    native::raise_builtin("ValueError", native::text(path) + ": cell " + native::text(letter) +
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

py::object load_from_xlsx(py::object path) {
    // Only truly empty cells are missing, and they read as the empty text: texts such as "NA",
    // "None" or "null" stay texts. Each cell keeps the type it has in the sheet: a text cell such
    // as "0123" or "1.0" stays text (no leading zero lost), and a column with empty cells keeps
    // its integers and booleans.
    py::object table;
    try {
        table = global("pd").attr("read_excel")(path, py::arg("dtype") = global("object"),
                                                py::arg("keep_default_na") = false);
    } catch (py::error_already_set& err) {
        name_source(err, path);
        throw;
    }
    refuse_error_cells(table, path);
    LOG(native::DEBUG, "load_from_xlsx", "Loaded dataframe from excel:\n%s", table);
    return table.attr("to_dict")("records");
}

void export_to_xlsx(py::object data, py::object path, py::object columns) {
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
    py::cpp_function write([table, column_widths](py::object tmp) {
        table.attr("to_excel")(tmp, py::arg("index") = false);
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

    py::object as_exporter = global("register_exporter")(xlsx_exts);
    m.def("export_to_xlsx", &export_to_xlsx, py::arg("data"), py::arg("path"),
          py::arg("columns") = py::none(),
          "Write the records to a new workbook at path, replacing any file there.\n\n"
          "The columns of the first record's keys get the width DEFAULT_COL_WIDTH.\n"
          "columns: the titles to write when data holds no record (ignored otherwise).");
    m.attr("export_to_xlsx") = as_exporter(m.attr("export_to_xlsx"));

    m.def("_set_column_widths", &set_column_widths, py::arg("column_widths"), py::arg("path"),
          "Set the widths of the first sheet's columns, the first for column A, and save the workbook in place.");
}
