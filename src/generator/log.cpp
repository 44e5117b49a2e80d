// generator.log: the one log handler of the tool and its verbosity steps.
#include <pybind11/pybind11.h>

#include <algorithm>

#include "native/globals.hpp"
#include "native/host.hpp"

namespace py = pybind11;

// The module's own operations, seen by no other module.
namespace {

// The module's globals, read at call time as Python code reads its globals,
// so that a patched `logging` or `DEBUG_FORMATTER` is obeyed.
native::ModuleGlobals global;

constexpr const char* kRootLogger = "generator";

py::object root_logger() { return global("logging").attr("getLogger")(kRootLogger); }

// Give every handler of `logger` the shared formatter `formatter_name` of this
// module, unless it already has it (compared by identity).
void restyle(py::handle logger, py::handle formatter) {
    for (py::handle handler : logger.attr("handlers")) {
        if (py::object(handler.attr("formatter")).ptr() != formatter.ptr()) handler.attr("setFormatter")(formatter);
    }
}

}  // namespace

PYBIND11_MODULE(log, m) {
    m.doc() = "Tandrel generator logging module.";
    m.attr("logging") = py::module_::import("logging");
    py::module_::import("logging.handlers");  // binds no name of its own: it is logging.handlers
    global.bind(m);

    m.attr("LOG_QUIET_FORMAT") = "{levelname}: {message}";
    m.attr("LOG_FORMAT") = "{name}:{levelname} {message}";
    m.attr("LOG_DEBUG_FORMAT") = "{asctime} {levelname} {name}:{funcName} {message}";
    py::object formatter = global("logging").attr("Formatter");
    m.attr("DEBUG_FORMATTER") = formatter(m.attr("LOG_DEBUG_FORMAT"), py::arg("style") = "{");
    m.attr("QUIET_FORMATTER") = formatter(m.attr("LOG_QUIET_FORMAT"), py::arg("style") = "{");

    m.def(
        "configure_logger",
        []() {
            py::object logger = root_logger();
            py::object logging = global("logging");
            py::object handler = logging.attr("StreamHandler")();
            handler.attr("setFormatter")(logging.attr("Formatter")(global("LOG_FORMAT"), py::arg("style") = "{"));
            logger.attr("addHandler")(handler);
            logger.attr("setLevel")(native::log_level::info);
        },
        "Attach the log handler (standard error) to the logger 'generator' and set it to INFO.");

    m.def(
        "increase_logging_level",
        []() {
            py::object logger = root_logger();
            int level = logger.attr("getEffectiveLevel")().cast<int>() - 10;
            logger.attr("setLevel")(std::max(level, native::log_level::debug));
            restyle(logger, global("DEBUG_FORMATTER"));
        },
        "One step more verbose (never below DEBUG); switch to the debug format.");

    m.def(
        "decrease_logging_level",
        []() {
            py::object logger = root_logger();
            int level = logger.attr("getEffectiveLevel")().cast<int>() + 10;
            logger.attr("setLevel")(std::min(level, native::log_level::critical));
            restyle(logger, global("QUIET_FORMATTER"));
        },
        "One step less verbose (never above CRITICAL); switch to the quiet format.");

    m.def(
        "_get_logging_level",
        [](py::object verbosity) {
            py::object v = verbosity;
            if (!py::bool_(v)) v = py::int_(3);
            return py::int_(50) - py::int_(10) * v;
        },
        py::arg("verbosity"), "Map a verbosity number to a logging level: 1 is ERROR, 3 (or none) INFO, 4 DEBUG.");
}
