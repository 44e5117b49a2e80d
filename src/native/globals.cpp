#include "native/globals.hpp"

#include <string>

#include "native/host.hpp"

namespace native {

void ModuleGlobals::bind(py::module_& module) {
    globals_ = module.attr("__dict__").ptr();
    Py_INCREF(globals_);  // modules live until the interpreter ends; so does this reference
}

py::object ModuleGlobals::operator()(const char* name) const {
    py::dict globals = py::reinterpret_borrow<py::dict>(globals_);
    if (globals.contains(name)) return globals[name];
    py::module_ builtins = host_module("builtins");
    if (py::hasattr(builtins, name)) return builtins.attr(name);
    raise_builtin("NameError", std::string("name '") + name + "' is not defined");
}

bool truthy(py::handle value) {
    const int result = PyObject_IsTrue(value.ptr());
    if (result < 0) throw py::error_already_set();
    return result != 0;
}

}  // namespace native
