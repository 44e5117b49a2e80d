#include "native/host.hpp"

#include <algorithm>
#include <optional>

using namespace pybind11::literals;

namespace native {

namespace {
// The list of the HeldRecords alive on this thread, if any (a borrowed reference:
// the HeldRecords keeps it alive).
thread_local PyObject* held_here = nullptr;

// Shared by all lists of held records; touched only with the GIL held. A held list
// holds (logger, record) pairs and, once spilled, (offset, length) pairs of batches
// in the spill file.
std::size_t held_limit = 20000;
std::size_t held_in_memory = 0;
std::size_t spilled_batches = 0;  // not yet read back; at 0 the file is emptied
long long spill_end = 0;
PyObject* spill_file = nullptr;   // a temporary file, kept open for the life of the process
constexpr std::size_t kSmallestBatch = 64;

bool is_batch(py::handle item) { return PyLong_Check(PyTuple_GET_ITEM(item.ptr(), 0)); }

int spill_fd() {
    if (spill_file == nullptr) {
        py::object made = host_attr("tempfile", "TemporaryFile")("prefix"_a = "generate-log-");
        // Making the file lets other workers run: one of them may have made the spill file
        // meanwhile, and every batch must go to that one file, so a second one is dropped.
        if (spill_file == nullptr) spill_file = made.release().ptr();
    }
    return py::reinterpret_borrow<py::object>(spill_file).attr("fileno")().cast<int>();
}

// Move the records `held` keeps in memory to the spill file, as one batch per run of
// records. Writes go to offsets reserved beforehand: another thread may write while
// this one waits for its write without the GIL.
void spill(py::list held) {
    py::object dumps = host_attr("pickle", "dumps");
    py::object pwrite = host_attr("os", "pwrite");
    py::list kept, run;
    std::size_t moved = 0;
    auto flush = [&] {
        if (py::len(run) == 0) return;
        py::bytes data;
        try {
            data = dumps(run, "protocol"_a = -1);
        } catch (py::error_already_set& err) {
            if (!err.matches(PyExc_Exception)) throw;
            for (py::handle pair : run) kept.append(pair);  // a record that cannot be pickled stays here
            run = py::list();
            return;
        }
        const auto length = static_cast<long long>(py::len(data));
        const long long offset = spill_end;
        spill_end += length;
        ++spilled_batches;
        pwrite(spill_fd(), data, offset);
        kept.append(py::make_tuple(offset, length));
        moved += py::len(run);
        run = py::list();
    };
    for (py::handle item : held) {
        if (is_batch(item)) {
            flush();
            kept.append(item);
        } else {
            py::tuple pair = py::reinterpret_borrow<py::tuple>(item);
            run.append(py::make_tuple(pair[0].attr("name"), pair[1]));
        }
    }
    flush();
    held_in_memory -= std::min(held_in_memory, moved);
    held[py::slice(std::nullopt, std::nullopt, std::nullopt)] = kept;
}

void hold(PyObject* into, py::handle logger, py::handle record) {
    py::list held = py::reinterpret_borrow<py::list>(into);
    held.append(py::make_tuple(logger, record));
    ++held_in_memory;
    if (held_in_memory > held_limit && py::len(held) >= std::min(kSmallestBatch, std::max<std::size_t>(held_limit, 1))) {
        spill(held);
    }
}
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
        hold(held_here, logger, record);
        return;
    }
    logger.attr("handle")(record);
}

HeldRecords::HeldRecords(py::list into) : into_(std::move(into)), previous_(held_here) { held_here = into_.ptr(); }

HeldRecords::~HeldRecords() { held_here = previous_; }

void HeldRecords::release(py::handle held) {
    // Taken out first: a handler that logs (or a second release) finds the list empty.
    py::list items = py::reinterpret_borrow<py::list>(held);
    auto taken = py::reinterpret_steal<py::list>(PySequence_List(items.ptr()));  // a copy
    if (!taken) throw py::error_already_set();
    items[py::slice(std::nullopt, std::nullopt, std::nullopt)] = py::list();
    for (py::handle item : taken) {
        py::tuple pair = py::reinterpret_borrow<py::tuple>(item);
        if (!is_batch(pair)) {
            held_in_memory -= std::min<std::size_t>(held_in_memory, 1);
            pair[0].attr("handle")(pair[1]);
            continue;
        }
        py::bytes data = host_attr("os", "pread")(spill_fd(), pair[1], pair[0]);
        py::object batch = host_attr("pickle", "loads")(data);
        if (--spilled_batches == 0) {  // nothing waits in the file: give its space back
            py::reinterpret_borrow<py::object>(spill_file).attr("truncate")(0);
            spill_end = 0;
        }
        py::object get_logger = host_attr("logging", "getLogger");
        for (py::handle named : batch) {
            py::tuple name_and_record = py::reinterpret_borrow<py::tuple>(named);
            get_logger(name_and_record[0]).attr("handle")(name_and_record[1]);
        }
    }
}

void HeldRecords::set_limit(std::size_t records) { held_limit = records; }

std::size_t HeldRecords::limit() { return held_limit; }

}  // namespace native
