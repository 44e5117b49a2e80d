// A module's global names as its Python code would see them: read from the
// module's own dictionary at call time (so that a test that patches
// `generator.generate.boto3` or `getpass.getpass` is obeyed), falling back to
// the builtins (print, open, len) as Python's name lookup does.
//
// A global may be imported on first use instead of when the module loads, so
// that --version and --help do not wait for pandas, boto3 or pydantic: the
// module gets a __getattr__ (and __dir__) as a Python module would define them,
// which imports such a name on first access and keeps it as an ordinary
// global. Reading it here, `module.name`, `from module import name` and a
// test's patch of it all see the same global.
#pragma once

#include <pybind11/pybind11.h>

#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace native {
namespace py = pybind11;

class ModuleGlobals {
public:
    ModuleGlobals() = default;

    // Remember the module whose globals are read; call once at module load.
    void bind(py::module_& module);

    // Global `name`, made by `make` on first use: `make` runs at most once while
    // the name is not yet a global (a patched or deleted global is not made again
    // unless deleted). Call after `bind`, at module load.
    void lazy(const char* name, std::function<py::object()> make);

    // Global `name` = `import module` on first use, or with `attr`, `from module import attr`.
    void lazy_import(const char* name, const char* module, const char* attr = nullptr);

    // The value of global `name`, else builtin `name`; NameError when neither exists.
    py::object operator()(const char* name) const;

private:
    // The lazy global `name` made now and kept; nullptr when `name` is not lazy.
    PyObject* make(const std::string& name) const;
    void install_hooks();

    PyObject* globals_ = nullptr;  // the module's __dict__, kept for the life of the process
    std::vector<std::pair<std::string, std::function<py::object()>>> lazy_;  // in order of definition
};

// os.path.join(os.path.dirname(__file__), "data", name): a file shipped beside the module.
py::object data_file_path(const ModuleGlobals& globals, const char* name);

// Print the whole text of a shipped data file followed by a line break, the
// file closed again before printing (the example files of the commands).
void print_data_file(const ModuleGlobals& globals, const char* name);

// Python's truth test of a value (`if value:`).
bool truthy(py::handle value);

}  // namespace native
