#include "native/quoted.hpp"

#include <string>
#include <string_view>
#include <unordered_set>

#include "native/host.hpp"
#include "native/yaml_emit.hpp"

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

// What `_dump_quoted` cannot write exactly as PyYAML would: it hands the data back to PyYAML.
struct Unsupported {};

// Keys written as they are (or single-quoted when YAML would read them as a boolean or
// null): ASCII words such as account_id. Any other key goes to PyYAML. A key counts as
// short with its tag (!!str), under 128 characters; a longer one is written "? key".
bool simple_key(std::string_view key) {
    if (key.empty() || key.size() + 5 >= 128) return false;
    auto letter = [](char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_'; };
    if (!letter(key[0])) return false;
    for (char c : key) {
        if (!letter(c) && !(c >= '0' && c <= '9') && c != '-') return false;
    }
    return true;
}

bool reads_as_bool_or_null(std::string_view key) {
    for (const char* word : {"yes", "Yes", "YES", "no", "No", "NO", "true", "True", "TRUE", "false", "False",
                             "FALSE", "on", "On", "ON", "off", "Off", "OFF", "null", "Null", "NULL"}) {
        if (key == word) return true;
    }
    return false;
}

// Walks the data as PyYAML's representer would and drives the emitter; throws
// Unsupported for anything it does not write byte for byte as PyYAML does.
class YamlWriter {
public:
    explicit YamlWriter(py::handle quoted) : quoted_(quoted.ptr()) {}

    std::string document(py::handle data) {
        if (!PyDict_CheckExact(data.ptr()) && !PyList_CheckExact(data.ptr())) throw Unsupported{};
        node(data, false);
        return emitter_.finish();
    }

private:
    // A list or mapping met twice would be written with an anchor and an alias.
    void first_visit(py::handle container) {
        if (!seen_.insert(container.ptr()).second) throw Unsupported{};
    }

    void node(py::handle obj, bool in_mapping) {
        PyObject* p = obj.ptr();
        PyTypeObject* type = Py_TYPE(p);
        if (type == &PyDict_Type) {
            Depth depth;
            first_visit(obj);
            if (PyDict_GET_SIZE(p) == 0) return emitter_.empty_flow('{', '}');
            emitter_.begin_mapping();
            PyObject *key, *value;
            Py_ssize_t pos = 0;
            while (PyDict_Next(p, &pos, &key, &value)) {
                write_key(key);
                emitter_.value_indicator();
                node(value, true);
            }
            emitter_.end_mapping();
        } else if (type == &PyList_Type) {
            Depth depth;
            first_visit(obj);
            const Py_ssize_t n = PyList_GET_SIZE(p);
            if (n == 0) return emitter_.empty_flow('[', ']');
            emitter_.begin_sequence(in_mapping);
            for (Py_ssize_t i = 0; i < n; ++i) {
                emitter_.item();
                node(PyList_GET_ITEM(p, i), false);
            }
            emitter_.end_sequence();
        } else if (reinterpret_cast<PyObject*>(type) == quoted_) {
            emitter_.double_quoted(code_points(p));
        } else if (type == &PyBool_Type) {
            emitter_.plain(p == Py_True ? "true" : "false");
        } else if (type == &PyLong_Type) {
            emitter_.plain(py::str(obj).cast<std::string>());
        } else if (p == Py_None) {
            emitter_.plain("null");
        } else {
            throw Unsupported{};
        }
    }

    void write_key(PyObject* key) {
        if (!PyUnicode_CheckExact(key) || !PyUnicode_IS_ASCII(key)) throw Unsupported{};
        std::string_view text(PyUnicode_AsUTF8(key), static_cast<size_t>(PyUnicode_GET_LENGTH(key)));
        if (!simple_key(text)) throw Unsupported{};
        if (reads_as_bool_or_null(text)) {
            emitter_.key_single_quoted(text);
        } else {
            emitter_.key_plain(text);
        }
    }

    // The text's code points, lone surrogates included (the emitter escapes them).
    const std::u32string& code_points(PyObject* text) {
        const Py_ssize_t n = PyUnicode_GET_LENGTH(text);
        const int kind = PyUnicode_KIND(text);
        const void* data = PyUnicode_DATA(text);
        buffer_.resize(static_cast<size_t>(n));
        for (Py_ssize_t i = 0; i < n; ++i) buffer_[i] = static_cast<char32_t>(PyUnicode_READ(kind, data, i));
        return buffer_;
    }

    YamlEmitter emitter_;
    PyObject* quoted_;
    std::unordered_set<PyObject*> seen_;
    std::u32string buffer_;
};

// The default dumper still writes dicts, lists, texts, numbers, booleans and null
// its stock way, and `_quoted` texts through `presenter`: only then is the native
// writer's output the dumper's.
bool stock_dumper(py::handle quoted, py::handle presenter) {
    py::object yaml = host_module("yaml");
    py::object dumper = yaml.attr("Dumper");
    py::object stock = host_attr("yaml.representer", "SafeRepresenter");
    py::dict representers = dumper.attr("yaml_representers");
    auto registered = [&](py::handle type) -> PyObject* { return PyDict_GetItemWithError(representers.ptr(), type.ptr()); };
    if (registered(quoted) != presenter.ptr()) return false;
    const std::pair<PyObject*, const char*> kinds[] = {
        {reinterpret_cast<PyObject*>(&PyDict_Type), "represent_dict"},
        {reinterpret_cast<PyObject*>(&PyList_Type), "represent_list"},
        {reinterpret_cast<PyObject*>(&PyUnicode_Type), "represent_str"},
        {reinterpret_cast<PyObject*>(&PyLong_Type), "represent_int"},
        {reinterpret_cast<PyObject*>(&PyBool_Type), "represent_bool"},
        {reinterpret_cast<PyObject*>(Py_TYPE(Py_None)), "represent_none"},
    };
    for (const auto& [type, name] : kinds) {
        PyObject* found = registered(type);
        if (found == nullptr || found != stock.attr(name).ptr()) return false;
    }
    if (PyErr_Occurred()) throw py::error_already_set();
    // Implicit types (which words read as booleans or null) still the library's own.
    const int own = PySequence_Contains(dumper.attr("__dict__").ptr(), py::str("yaml_implicit_resolvers").ptr());
    if (own < 0) throw py::error_already_set();
    return own == 0;
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

    py::object presenter = module.attr("_quoted_presenter");
    PyObject* own_presenter = presenter.release().ptr();  // kept for the life of the process
    module.def(
        "_dump_quoted",
        [globals, own_presenter](py::object data) -> py::object {
            py::object quoted = py::reinterpret_borrow<py::dict>(globals)["_quoted"];
            if (!stock_dumper(quoted, own_presenter)) return py::none();
            try {
                return py::str(YamlWriter(quoted).document(data));
            } catch (const Unsupported&) {
                return py::none();
            }
        },
        py::arg("data"),
        "The YAML text PyYAML's default dumper writes for data (block style, keys in order, Unicode as is),\n"
        "made natively; None for data it cannot write exactly so (then dump it with PyYAML).");
}

}  // namespace native
