#include "native/model.hpp"

#include <string>

#include "native/host.hpp"

namespace native {

constexpr const char* kModel = "tm.core.config";

namespace {
std::string missing_model;  // why the model could not be imported; empty when it was
}

void bind_model(py::module_& module, std::initializer_list<const char*> names) {
    py::object model;
    std::string missing;
    try {
        model = py::module_::import(kModel);
    } catch (py::error_already_set& err) {
        if (!err.matches(PyExc_ImportError)) throw;
        missing = std::string("the migration model ") + kModel + " cannot be imported (" + text(err.value()) +
                  "): install the stand-in with 'pip install ./migration-model' from the generator's source "
                  "folder, or the Tandrel Migration package that provides it";
    }
    missing_model = missing;
    if (missing.empty()) {
        for (const char* name : names) module.attr(name) = model.attr(name);
        return;
    }
    for (const char* name : names) {
        module.attr(name) = py::cpp_function(
            [missing](py::args, py::kwargs) -> py::object { raise_builtin("ModuleNotFoundError", missing); },
            py::name(name));
    }
}

void require_model() {
    if (!missing_model.empty()) raise_builtin("ModuleNotFoundError", missing_model);
}

}  // namespace native
