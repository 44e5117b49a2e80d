#include "native/model.hpp"

#include <string>

#include "native/host.hpp"

namespace native {

constexpr const char* kModel = "tm.core.config";

namespace {

// Why the model cannot be imported; empty when it can (it is imported now if it was not yet).
std::string missing_model() {
    try {
        py::module_::import(kModel);
        return {};
    } catch (py::error_already_set& err) {
        if (!err.matches(PyExc_ImportError)) throw;
        return std::string("the migration model ") + kModel + " cannot be imported (" + text(err.value()) +
               "): install the stand-in with 'pip install ./migration-model' from the generator's source "
               "folder, or the Tandrel Migration package that provides it";
    }
}

}  // namespace

void bind_model(ModuleGlobals& globals, std::initializer_list<const char*> names) {
    for (const char* name : names) {
        globals.lazy(name, [name]() -> py::object {
            const std::string missing = missing_model();
            if (missing.empty()) return host_attr(kModel, name);
            return py::cpp_function(
                [missing](py::args, py::kwargs) -> py::object { raise_builtin("ModuleNotFoundError", missing); },
                py::name(name));
        });
    }
}

void require_model() {
    const std::string missing = missing_model();
    if (!missing.empty()) raise_builtin("ModuleNotFoundError", missing);
}

}  // namespace native
