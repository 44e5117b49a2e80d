// generator.common.serializers.xlsx: the review workbook, written with pandas and
// openpyxl in one save (write.cpp), and read back with pandas' calamine engine, one
// record per row (read.cpp). This file is the module's table.
#include <pybind11/pybind11.h>

#include "generator/common/serializers/xlsx/xlsx.hpp"

namespace py = pybind11;

namespace xlsx_module {

native::ModuleLog LOG;
native::ModuleGlobals global;

}  // namespace xlsx_module

using namespace xlsx_module;

PYBIND11_MODULE(xlsx, m) {
    m.doc() = "Excel serializer: lists of flat records to and from the review workbook.";

    m.attr("logging") = py::module_::import("logging");
    py::module_ typing = py::module_::import("typing");  // names of the declared types
    for (const char* name : {"Dict", "List"}) m.attr(name) = typing.attr(name);
    m.attr("Path") = native::host_attr("pathlib", "Path");
    m.attr("zipfile") = py::module_::import("zipfile");
    py::module_ exporters = py::module_::import("generator.common.serializers.export");
    m.attr("register_exporter") = exporters.attr("register_exporter");
    m.attr("write_atomically") = exporters.attr("write_atomically");
    m.attr("register_loader") = native::host_attr("generator.common.serializers.load", "register_loader");

    global.bind(m);
    // The table and workbook libraries are imported when a workbook is first read or
    // written, not when the package is: --help and --version do not wait for them.
    global.lazy_import("np", "numpy");
    global.lazy_import("pd", "pandas");
    global.lazy_import("load_workbook", "openpyxl", "load_workbook");
    global.lazy_import("get_column_letter", "openpyxl.utils", "get_column_letter");
    global.lazy_import("Font", "openpyxl.styles", "Font");
    global.lazy_import("Comment", "openpyxl.comments", "Comment");
    global.lazy_import("DataValidation", "openpyxl.worksheet.datavalidation", "DataValidation");

    m.attr("log") = m.attr("logging").attr("getLogger")(m.attr("__name__"));
    LOG.bind(m);
    m.attr("DEFAULT_COL_WIDTH") = 20;
    py::list xlsx_exts;
    xlsx_exts.append("xlsx");
    m.attr("XLSX_EXTS") = xlsx_exts;

    py::object as_loader = global("register_loader")(xlsx_exts);
    m.def("load_from_xlsx", &load_from_xlsx, py::arg("path"),
          "Return the records of the workbook's first sheet, one mapping of column title to value per row.\n\n"
          "Only empty cells read as missing; they become the empty text. A cell holding a spreadsheet error\n"
          "or a formula without a stored result is refused, every such cell named.");
    m.attr("load_from_xlsx") = as_loader(m.attr("load_from_xlsx"));
    m.def("load_sheets", &load_sheets, py::arg("path"),
          "Return the records of every sheet of the workbook, hidden ones included: {title: records}, in the "
          "workbook's order, each sheet read as load_from_xlsx reads the first, but without refusing cells that "
          "cannot be read (check_sheet does, for the sheets whose values are used).");
    m.def("check_sheet", &check_sheet, py::arg("path"), py::arg("title"), py::arg("columns") = py::none(),
          "Refuse the workbook's sheet title when it holds cells that cannot be read (spreadsheet errors, "
          "formulas without a stored result), every such cell named; columns: the sheet's titles, to name "
          "the cells' columns.");
    m.def("sheet_titles", &sheet_titles, py::arg("path"),
          "Return the titles of the workbook's sheets in their order, hidden ones included, without reading "
          "their cells.");
    m.def("cell_notes", &cell_notes, py::arg("path"), py::arg("title"),
          "Return the notes (comments) of the workbook's sheet title: {cell in A1 form: text}.");

    py::object as_exporter = global("register_exporter")(xlsx_exts);
    m.def("export_to_xlsx", &export_to_xlsx, py::arg("data"), py::arg("path"),
          py::arg("columns") = py::none(), py::arg("sheets") = py::none(), py::arg("marks") = py::none(),
          "Write the records to a new workbook at path, replacing any file there.\n\n"
          "The sheet is dressed for review, and the columns of the first record's keys get the width\n"
          "DEFAULT_COL_WIDTH.\n"
          "columns: the titles to write when data holds no record (ignored otherwise).\n"
          "sheets: further sheets after the first, each {'title', 'rows', 'columns', 'hidden'};\n"
          "a hidden one is kept out of the engineer's sight (very hidden), the others are dressed for\n"
          "review. {'title', 'copy_of': path} copies that sheet of the workbook at path.\n"
          "marks: cells of the first sheet to colour, each {'row': index in data, 'column': title,\n"
          "'fill': 'RRGGBB', 'note': text or None}.");
    m.attr("export_to_xlsx") = as_exporter(m.attr("export_to_xlsx"));
    m.def("export_sheets", &export_sheets, py::arg("sheets"), py::arg("path"),
          "Write a workbook of every sheet given, in their order, to path in one save, replacing any file\n"
          "there (whole or not at all).\n\n"
          "Each sheet is a mapping:\n"
          "  title: the sheet's name (default 'Sheet1');\n"
          "  rows: its records; columns: its titles (default: the records' keys in order of appearance);\n"
          "  plain: true to write the cells as given, without the table's title styling; otherwise the\n"
          "    records are written as a table (lists as their printed text), texts kept texts;\n"
          "  widths: the column widths from column A (default: DEFAULT_COL_WIDTH for every column);\n"
          "  review: true to dress it for review: bold frozen title row, a filter, a TRUE/FALSE drop-down\n"
          "    in the yes/no columns, a note on each known column's title saying what it accepts;\n"
          "  hidden: true to keep it out of the engineer's sight (very hidden);\n"
          "  marks: cells to colour, each {'row': index in rows, 'column': title, 'fill': 'RRGGBB',\n"
          "    'note': text or None};\n"
          "  copy_of: a workbook's path: the sheet of this title copied from it (values, formulas, widths,\n"
          "    whether it is shown); the other keys do not apply.");

    m.def("_set_column_widths", &set_column_widths, py::arg("column_widths"), py::arg("path"),
          "Set the widths of the first sheet's columns, the first for column A, and save the workbook in place.");
}
