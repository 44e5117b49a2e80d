// The sources of generator.common.serializers.xlsx share these: its globals and
// log, and the operations that the module table (xlsx.cpp) binds: reading
// (read.cpp) and writing (write.cpp).
#pragma once

#include <pybind11/pybind11.h>

#include "native/globals.hpp"
#include "native/host.hpp"

namespace xlsx_module {
namespace py = pybind11;

extern native::ModuleLog LOG;
// The module's globals, read at call time as Python code reads its globals,
// so that a patched `pd`, `load_workbook` or `DEFAULT_COL_WIDTH` is obeyed.
extern native::ModuleGlobals global;

py::object load_from_xlsx(py::object path);
py::dict load_sheets(py::object path);
void check_sheet(py::object path, py::object title, py::object columns);
py::list sheet_titles(py::object path);
py::dict cell_notes(py::object path, py::object title);

void export_sheets(py::object sheets, py::object path);
void export_to_xlsx(py::object data, py::object path, py::object columns, py::object sheets, py::object marks,
                    py::kwargs options);
void set_column_widths(py::iterable column_widths, py::object path);

}  // namespace xlsx_module
