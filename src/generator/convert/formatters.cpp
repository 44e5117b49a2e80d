// The cell formatters: yes/no words, list cells and gateway tags, read from their
// text by the plain rules of native/cell_text.
#include <sstream>
#include <string>
#include <vector>

#include "generator/convert/convert.hpp"

namespace convert_module {

std::string repr_text(py::handle obj) { return py::repr(obj).cast<std::string>(); }

std::string type_name(py::handle obj) { return py::type::handle_of(obj).attr("__name__").cast<std::string>(); }

bool is_mapping(py::handle obj) {
    return PyDict_Check(obj.ptr()) ||
           PyObject_IsInstance(obj.ptr(), native::host_attr("collections.abc", "Mapping").ptr()) == 1;
}

py::object format_bool(py::handle value) {
    if (!PyUnicode_Check(value.ptr())) return py::bool_(native::truthy(value));
    std::optional<bool> word = native::parse_yes_no(value.cast<std::string>());
    if (!word) {
        raise_builtin("ValueError", "not a yes/no value: " + repr_text(value) +
                                        " (use true/false, yes/no, y/n, 1/0 or on/off)");
    }
    return py::bool_(*word);
}

namespace {

std::string cell_text(py::handle value, const char* expected) {
    if (!PyUnicode_Check(value.ptr())) {
        raise_builtin("TypeError", std::string("expected ") + expected + ", got " + repr_text(value) + " (" +
                                       type_name(value) + ")");
    }
    return value.cast<std::string>();
}

py::list format_list(py::handle self, py::handle value) {
    py::object formatter = self.attr("formatter");
    py::list out;
    for (const std::string& piece : native::split_list_cell(cell_text(value, "a list text such as a, b or ['a', 'b']"))) {
        out.append(formatter(py::str(piece)));
    }
    return out;
}

}  // namespace

py::list parse_spoke_gw_tags(py::handle tags_str) {
    std::vector<native::Tag> tags;
    try {
        tags = native::parse_tags(cell_text(tags_str, "tags as a text such as Name=web, Env=prod"));
    } catch (const native::CellTextError& err) {
        raise_builtin("ValueError", err.what());
    }
    py::object quoted = global("_quoted");
    py::list out;
    for (const native::Tag& tag : tags) {
        py::dict entry;
        entry["key"] = quoted(py::str(tag.key));
        entry["value"] = quoted(py::str(tag.value));
        out.append(std::move(entry));
    }
    return out;
}

// The class of the functions `_list` returns: callable like the function
// `_format` defined inside `_list`, keeping its conversion in `formatter`.
py::object make_list_formatter_class(const std::string& module) {
    py::object cls = native::make_class(module, "_format", py::make_tuple(native::host_attr("builtins", "object")));
    cls.attr("__qualname__") = "_list.<locals>._format";
    cls.attr("__doc__") = "Split a list cell into its items, converting each with formatter.";
    native::add_method(cls, "__call__", [](py::object self, py::object value) { return format_list(self, value); });
    native::add_method(cls, "__repr__", [](py::object self) {
        std::ostringstream out;
        out << "<function " << self.attr("__qualname__").cast<std::string>() << " at " << self.ptr() << ">";
        return out.str();
    });
    return cls;
}

}  // namespace convert_module
