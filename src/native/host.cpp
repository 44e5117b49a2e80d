#include "native/host.hpp"

namespace native {

namespace {
// The list of the HeldRecords alive on this thread, if any (a borrowed reference:
// the HeldRecords keeps it alive).
thread_local PyObject* held_here = nullptr;
}  // namespace

py::module_ host_module(const char* module) { return py::module_::import(module); }

py::object host_attr(const char* module, const char* name) {
    return host_module(module).attr(name);
}

void raise(py::handle exc_type, const std::string& message) {
    py::object err = exc_type(message);
    PyErr_SetObject(exc_type.ptr(), err.ptr());
    throw py::error_already_set();
}

void add_note(py::handle error, const std::string& note) {
    if (py::hasattr(error, "add_note")) {
        error.attr("add_note")(note);
        return;
    }
    py::object notes = py::getattr(error, "__notes__", py::none());
    if (notes.is_none()) {
        notes = py::list();
        error.attr("__notes__") = notes;
    }
    notes.attr("append")(note);
}

void raise_builtin(const char* name, const std::string& message) {
    raise(host_attr("builtins", name), message);
}

py::object make_class(const std::string& module, const std::string& name, py::tuple bases, py::dict ns) {
    ns["__module__"] = module;
    ns["__qualname__"] = name;
    return host_attr("builtins", "type")(name, bases, ns);
}

std::string text(py::handle obj) {
    py::str s(obj);
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(s.ptr(), &size);
    if (utf8 != nullptr) return std::string(utf8, static_cast<std::size_t>(size));
    PyErr_Clear();
    // A file name of bytes that are not UTF-8 comes as surrogate escapes (os.fsdecode):
    // those bytes show as replacement characters, as a terminal would show them.
    try {
        return py::bytes(s.attr("encode")("utf-8", "surrogateescape")).attr("decode")("utf-8", "replace").cast<std::string>();
    } catch (py::error_already_set&) {
        return py::bytes(s.attr("encode")("utf-8", "replace")).cast<std::string>();
    }
}

void ModuleLog::bind(py::module_& module) { globals_.bind(module); }

py::object ModuleLog::logger() const { return globals_("log"); }

bool ModuleLog::enabled(int level) const { return is_enabled(logger(), level); }

bool ModuleLog::is_enabled(py::handle logger, int level) {
    return logger.attr("isEnabledFor")(level).cast<bool>();
}

void ModuleLog::with_error(int level, const char* func, const char* msg, py::error_already_set& err) const {
    py::object lg = logger();
    if (!is_enabled(lg, level)) return;
    py::object trace = err.trace() ? py::reinterpret_borrow<py::object>(err.trace()) : py::none();
    emit(lg, level, func, msg, py::tuple(), py::make_tuple(err.type(), err.value(), trace));
}

void ModuleLog::emit(py::handle logger, int level, const char* func, const char* msg, py::tuple args,
                     py::object exc_info) const {
    py::object path = globals_("__file__");
    py::object record = logger.attr("makeRecord")(logger.attr("name"), level, path, 0, msg, args, exc_info,
                                                  py::arg("func") = func);
    if (held_here != nullptr) {
        py::reinterpret_borrow<py::list>(held_here).append(py::make_tuple(logger, record));
        return;
    }
    logger.attr("handle")(record);
}

HeldRecords::HeldRecords(py::list into) : into_(std::move(into)), previous_(held_here) { held_here = into_.ptr(); }

HeldRecords::~HeldRecords() { held_here = previous_; }

void HeldRecords::release(py::handle held) {
    for (py::handle pair : held) {
        py::tuple logger_and_record = py::reinterpret_borrow<py::tuple>(pair);
        logger_and_record[0].attr("handle")(logger_and_record[1]);
    }
}

}  // namespace native
