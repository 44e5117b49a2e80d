#include "native/globals.hpp"

#include <string>

#include "native/host.hpp"

namespace native {

void ModuleGlobals::bind(py::module_& module) {
    globals_ = module.attr("__dict__").ptr();
    Py_INCREF(globals_);  // modules live until the interpreter ends; so does this reference
}

void ModuleGlobals::lazy(const char* name, std::function<py::object()> make) {
    if (lazy_.empty()) install_hooks();
    lazy_.emplace_back(name, std::move(make));
}

void ModuleGlobals::lazy_import(const char* name, const char* module, const char* attr) {
    const std::string from = module;
    const std::string what = attr == nullptr ? std::string() : std::string(attr);
    lazy(name, [from, what]() -> py::object {
        py::object imported = py::module_::import(from.c_str());
        return what.empty() ? imported : py::object(imported.attr(what.c_str()));
    });
}

PyObject* ModuleGlobals::make(const std::string& name) const {
    for (const auto& entry : lazy_) {
        if (entry.first != name) continue;
        py::object value = entry.second();
        py::dict globals = py::reinterpret_borrow<py::dict>(globals_);
        // Another thread may have made it meanwhile (an import lets others run): the first one stays.
        if (!globals.contains(name.c_str())) globals[name.c_str()] = value;
        return globals[name.c_str()].ptr();
    }
    return nullptr;
}

void ModuleGlobals::install_hooks() {
    py::dict globals = py::reinterpret_borrow<py::dict>(globals_);
    const std::string module_name = py::str(globals["__name__"]).cast<std::string>();
    // Python looks these up in the module's dictionary when an attribute is missing, and for dir().
    globals["__getattr__"] = py::cpp_function(
        [this, module_name](const std::string& name) -> py::object {
            if (PyObject* value = make(name)) return py::reinterpret_borrow<py::object>(value);
            PyErr_Format(PyExc_AttributeError, "module '%s' has no attribute '%s'", module_name.c_str(), name.c_str());
            throw py::error_already_set();
        },
        py::name("__getattr__"), py::arg("name"));
    globals["__dir__"] = py::cpp_function(
        [this]() {
            py::list names = py::list(py::reinterpret_borrow<py::dict>(globals_).attr("keys")());
            for (const auto& entry : lazy_) {
                py::str name(entry.first);
                if (!names.contains(name)) names.append(name);
            }
            names.attr("sort")();
            return names;
        },
        py::name("__dir__"));
}

py::object ModuleGlobals::operator()(const char* name) const {
    py::dict globals = py::reinterpret_borrow<py::dict>(globals_);
    if (globals.contains(name)) return globals[name];
    if (PyObject* value = make(name)) return py::reinterpret_borrow<py::object>(value);
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
