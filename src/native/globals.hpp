// A module's global names as its Python code would see them: read from the
// module's own dictionary at call time (so a test that patches
// `generator.generate.boto3` or `getpass.getpass` is obeyed), falling back to
// the builtins (print, open, len) as Python's name lookup does.
#pragma once

#include <pybind11/pybind11.h>

namespace native {
namespace py = pybind11;

class ModuleGlobals {
public:
    ModuleGlobals() = default;

    // Remember the module whose globals are read; call once at module load.
    void bind(py::module_& module);

    // The value of global `name`, else builtin `name`; NameError when neither exists.
    py::object operator()(const char* name) const;

private:
    PyObject* globals_ = nullptr;  // the module's __dict__, kept for the life of the process
};

// os.path.join(os.path.dirname(__file__), "data", name): a file shipped beside the module.
py::object data_file_path(const ModuleGlobals& globals, const char* name);

// Print the whole text of a shipped data file followed by a line break, the
// file closed again before printing (the example files of the commands).
void print_data_file(const ModuleGlobals& globals, const char* name);

// Python's truth test of a value (`if value:`).
bool truthy(py::handle value);

}  // namespace native
