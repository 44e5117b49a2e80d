// generator.cli: the parent parser that gives every command "--version", "-v" and "-q".
#include <pybind11/pybind11.h>

#include <string>

#include "native/globals.hpp"
#include "native/host.hpp"

namespace py = pybind11;

// The module's own operations, seen by no other module.
namespace {

// The module's globals, read at call time as Python code reads its globals,
// so that a patched `increase_logging_level` or `generator.__version__` is obeyed.
native::ModuleGlobals global;

// A counting action that, after counting, calls the logging step named `step`
// (a global of this module, imported from generator.log).
void add_verbosity_action(py::module_& m, const char* name, const char* step) {
    py::object count_action = m.attr("argparse").attr("_CountAction");
    py::object cls = native::make_class(m.attr("__name__").cast<std::string>(), name, py::make_tuple(count_action));
    py::handle cls_handle = cls;  // the class lives as long as the module that holds it
    native::add_method(
        cls, "__call__",
        [step, cls_handle](py::object self, py::object parser, py::object namespace_, py::object values,
                                    py::object option_string) {
            py::object base = native::host_attr("builtins", "super")(cls_handle, self);
            base.attr("__call__")(parser, namespace_, values, option_string);
            global(step)();
        },
        py::arg("parser"), py::arg("namespace"), py::arg("values"), py::arg("option_string") = py::none());
    m.attr(name) = cls;
}

}  // namespace

PYBIND11_MODULE(cli, m) {
    m.doc() = "Tandrel generator cli module.";

    m.attr("argparse") = py::module_::import("argparse");
    m.attr("generator") = py::module_::import("generator");
    py::module_ log = py::module_::import("generator.log");
    m.attr("increase_logging_level") = log.attr("increase_logging_level");
    m.attr("decrease_logging_level") = log.attr("decrease_logging_level");

    global.bind(m);

    add_verbosity_action(m, "_IncreaseVerbosityAction", "increase_logging_level");
    add_verbosity_action(m, "_DecreaseVerbosityAction", "decrease_logging_level");

    m.def(
        "get_parent_parser",
        []() {
            py::object version = global("generator").attr("__version__");
            py::object parser = global("argparse")
                                    .attr("ArgumentParser")(py::arg("prog") = "tandrel-generator",
                                                            py::arg("add_help") = false);
            parser.attr("add_argument")("--version", py::arg("action") = "version",
                                        py::arg("version") = "%(prog)s " + native::text(version));
            parser.attr("add_argument")("--verbose", "-v", py::arg("action") = global("_IncreaseVerbosityAction"),
                                        py::arg("help") = "Increase verbosity of the generator");
            parser.attr("add_argument")("--quiet", "-q", py::arg("action") = global("_DecreaseVerbosityAction"),
                                        py::arg("help") = "decrease verbosity of the generator");
            py::list parents;
            parents.append(parser);
            return parents;
        },
        "Return a list holding one new parent parser with the common options --version, -v/--verbose and "
        "-q/--quiet.");
}
