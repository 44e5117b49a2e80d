#include "native/quoted.hpp"

#include "native/host.hpp"

namespace native {
namespace {

// YAML's full tag for strings (written `!!str` in short form).
constexpr const char* kStrTag = "tag:yaml.org,2002:str";

// Descending one level deeper: a structure that holds itself (or is absurdly
// deep) ends in the host's RecursionError instead of exhausting the C stack.
class Depth {
public:
    Depth() {
        if (Py_EnterRecursiveCall(" while quoting the texts of a structure")) throw py::error_already_set();
    }
    ~Depth() { Py_LeaveRecursiveCall(); }
    Depth(const Depth&) = delete;
    Depth& operator=(const Depth&) = delete;
};

py::object recurse(py::handle data, py::handle quoted) {
    if (PyDict_Check(data.ptr())) {
        Depth depth;
        py::dict out;
        for (auto item : py::reinterpret_borrow<py::dict>(data)) out[item.first] = recurse(item.second, quoted);
        return std::move(out);
    }
    if (PyList_Check(data.ptr())) {
        Depth depth;
        py::list src = py::reinterpret_borrow<py::list>(data);
        py::list out(src.size());
        for (size_t i = 0; i < src.size(); ++i) out[i] = recurse(src[i], quoted);
        return std::move(out);
    }
    if (PyUnicode_Check(data.ptr())) return quoted(data);
    return py::reinterpret_borrow<py::object>(data);
}

}  // namespace

void install_quoted(py::module_& module) {
    const std::string name = module.attr("__name__").cast<std::string>();
    module.attr("_quoted") = make_class(name, "_quoted", py::make_tuple(host_attr("builtins", "str")));

    PyObject* globals = module.attr("__dict__").ptr();
    Py_INCREF(globals);  // lives as long as the module, i.e. the process
    module.def(
        "_recurse_quoted",
        [globals](py::object data) {
            // The marker type is read from the module at call time, as a global would be.
            py::object quoted = py::reinterpret_borrow<py::dict>(globals)["_quoted"];
            return recurse(data, quoted);
        },
        py::arg("data"),
        "Return a copy of data in which every text value, at any depth, is a _quoted text.");

    module.def(
        "_quoted_presenter",
        [](py::object dumper, py::object data) {
            return dumper.attr("represent_scalar")(kStrTag, data, py::arg("style") = "\"");
        },
        py::arg("dumper"), py::arg("data"), "Represent a _quoted text as a double-quoted YAML scalar.");
}

}  // namespace native
