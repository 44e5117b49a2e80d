// Calling the Python host from C++: outside functions looked up at call time,
// host errors raised with the host's own types, classes made with the host's
// `type`, and log records emitted through a module's logger.
#pragma once

#include <pybind11/pybind11.h>

#include <string>
#include <utility>

#include "native/globals.hpp"

namespace native {
namespace py = pybind11;

// `import module` (a dictionary look-up once loaded).
py::module_ host_module(const char* module);

// `module.name`, looked up now, so that a patched attribute is obeyed.
py::object host_attr(const char* module, const char* name);

// Raise `exc_type(message)` as a host error.
[[noreturn]] void raise(py::handle exc_type, const std::string& message);

// Context for a host error on its way up ("while reading review.xlsx"): the error
// keeps its type, attributes and traceback and gains a note, through add_note on
// Python 3.11 and newer; before 3.11 the note goes into the same __notes__ list,
// which the launcher shows after the message on every version.
void add_note(py::handle error, const std::string& note);

// Raise the builtin error `name` (ValueError, KeyError, ...) with `message`.
[[noreturn]] void raise_builtin(const char* name, const std::string& message);

// A real host class `type(name, bases, namespace)` whose __module__ and
// __qualname__ read naturally in tracebacks and repr.
py::object make_class(const std::string& module, const std::string& name, py::tuple bases,
                      py::dict ns = py::dict());

// Bind a C++ function as an instance method of `cls` (it receives self);
// `extra` are further pybind11 annotations such as the py::arg names.
template <typename F, typename... Extra>
void add_method(py::handle cls, const char* name, F&& f, const Extra&... extra) {
    py::setattr(cls, name, py::cpp_function(std::forward<F>(f), py::name(name), py::is_method(cls),
                                            py::sibling(py::getattr(cls, name, py::none())), extra...));
}

// The text form of a host value: str(obj), in UTF-8; characters that UTF-8 cannot
// hold (the surrogate escapes of an undecodable file name) become U+FFFD.
std::string text(py::handle obj);

// Level numbers of the logging library (lower case: DEBUG and ERROR are common macro names).
namespace log_level {
constexpr int debug = 10, info = 20, warning = 30, error = 40, critical = 50;
}  // namespace log_level

// Logging through the module-level `log` of one extension module, as the
// module's Python code would: the logger is read from the module's globals at
// call time, a record is built only when the level is enabled, and it carries
// the C++ operation's name as funcName. The message and its arguments travel
// separately, so formatting happens only in a handler.
class ModuleLog {
public:
    ModuleLog() = default;

    // Remember the module whose global `log` is used; call once at module load.
    void bind(py::module_& module);

    py::object logger() const;
    bool enabled(int level) const;

    template <typename... A>
    void operator()(int level, const char* func, const char* msg, A&&... args) const {
        py::object lg = logger();
        if (!is_enabled(lg, level)) return;
        emit(lg, level, func, msg, py::make_tuple(std::forward<A>(args)...), py::none());
    }

    // For arguments that are costly to build (pretty-printed dumps): `make_args`
    // returns the argument tuple and runs only when the level is enabled.
    template <typename F>
    void lazy(int level, const char* func, const char* msg, F&& make_args) const {
        py::object lg = logger();
        if (!is_enabled(lg, level)) return;
        emit(lg, level, func, msg, py::tuple(make_args()), py::none());
    }

    // A record that carries the traceback of a caught host error.
    void with_error(int level, const char* func, const char* msg, py::error_already_set& err) const;

private:
    static bool is_enabled(py::handle logger, int level);
    void emit(py::handle logger, int level, const char* func, const char* msg, py::tuple args,
              py::object exc_info) const;

    ModuleGlobals globals_;
};

// Records held back instead of handled, so that work done on several threads
// can be logged in one fixed order. While a HeldRecords lives on a thread, every
// record ModuleLog makes on that thread is appended to `into` instead of reaching
// the logger; `release` hands them on later, in the order they were made.
//
// Memory stays bounded however many records wait: beyond `limit()` records held in
// memory by all lists together, a list's records move, in batches, to a temporary
// file (pickled), and `release` reads them back in their place. A record that cannot
// be pickled (one carrying a traceback) stays in memory.
class HeldRecords {
public:
    explicit HeldRecords(py::list into);
    ~HeldRecords();
    HeldRecords(const HeldRecords&) = delete;
    HeldRecords& operator=(const HeldRecords&) = delete;

    // Hand each held record to its logger, in the order they were made.
    static void release(py::handle held);

    // How many records all lists may hold in memory before they spill to the file.
    static void set_limit(std::size_t records);
    static std::size_t limit();

private:
    py::list into_;
    PyObject* previous_;
};

}  // namespace native
