#include "native/model.hpp"

#include <string>

#include "native/host.hpp"

namespace native {

constexpr const char* kModel = "tm.core.config";

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
    if (missing.empty()) {
        for (const char* name : names) module.attr(name) = model.attr(name);
        module.attr("_MODEL_MISSING") = py::none();
        return;
    }
    for (const char* name : names) {
        module.attr(name) = py::cpp_function(
            [missing](py::args, py::kwargs) -> py::object { raise_builtin("ModuleNotFoundError", missing); },
            py::name(name));
    }
    module.attr("_MODEL_MISSING") = missing;
}

void require_model(const ModuleGlobals& globals) {
    py::object missing = globals("_MODEL_MISSING");
    if (!missing.is_none()) raise_builtin("ModuleNotFoundError", text(missing));
}

}  // namespace native
