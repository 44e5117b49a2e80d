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

py::object data_file_path(const ModuleGlobals& globals, const char* name) {
    py::object os_path = globals("os").attr("path");
    return os_path.attr("join")(os_path.attr("dirname")(globals("__file__")), "data", name);
}

void print_data_file(const ModuleGlobals& globals, const char* name) {
    py::object file = globals("open")(data_file_path(globals, name));
    py::object content;
    try {
        content = file.attr("read")();
    } catch (py::error_already_set&) {
        file.attr("close")();
        throw;
    }
    file.attr("close")();
    globals("print")(content);
}

bool truthy(py::handle value) {
    const int result = PyObject_IsTrue(value.ptr());
    if (result < 0) throw py::error_already_set();
    return result != 0;
}

}  // namespace native
