// generator.common.serializers.load: choose how to read a data file from its extension.
#include <pybind11/pybind11.h>

#include <string>

#include "native/globals.hpp"
#include "native/host.hpp"

namespace py = pybind11;

// The module's own operations, seen by no other module.
namespace {

// The module's globals, read at call time as Python code reads its globals.
native::ModuleGlobals global;

// Loaders.register_loader(cls, file_exts): a decorator that registers the loader
// it is applied to under every extension, and returns that loader unchanged.
py::object register_loader(py::object cls, py::object file_exts) {
    if (!PyList_Check(file_exts.ptr())) {
        py::list one;
        one.append(file_exts);
        file_exts = one;
    }
    return py::cpp_function(
        [cls, file_exts](py::object loader) {
            py::object registry = cls.attr("_registry");
            for (py::handle ext : file_exts) {
                py::str dot_ext("." + native::text(ext));
                if (registry.contains(dot_ext)) {
                    // An extension read two ways would make the loaded data depend on import order.
                    native::raise(global("LoaderError"),
                                  "Loader for file extension " + native::text(ext) + " already exists in registry.");
                }
                registry[dot_ext] = loader;
            }
            return loader;
        },
        py::name("_register_func"), py::arg("loader"));
}

}  // namespace

PYBIND11_MODULE(load, m) {
    m.doc() = "Interface for loading serialized entities.";
    py::options options;
    options.disable_function_signatures();  // the descriptions read as written

    m.attr("Path") = native::host_attr("pathlib", "Path");
    py::module_ typing = py::module_::import("typing");
    for (const char* name : {"Any", "Callable", "Dict", "List", "Union"}) m.attr(name) = typing.attr(name);

    global.bind(m);

    // Type names for signatures; nothing checks them at run time.
    py::object callable = m.attr("Callable");
    auto args_of = [](py::handle arg) {
        py::list args;
        args.append(arg);
        return args;
    };
    py::object mapping = m.attr("Dict")[py::make_tuple(native::host_attr("builtins", "str"), m.attr("Any"))];
    m.attr("Loader") = callable[py::make_tuple(args_of(m.attr("Path")), mapping)];
    m.attr("FileExtensions") = m.attr("Union")[py::make_tuple(native::host_attr("builtins", "str"),
                                                              m.attr("List")[native::host_attr("builtins", "str")])];
    m.attr("LoadDecorator") = callable[py::make_tuple(args_of(m.attr("Loader")), m.attr("Loader"))];
    m.attr("REGISTER_TYPE") = callable[py::make_tuple(args_of(m.attr("FileExtensions")), m.attr("LoadDecorator"))];

    const std::string module_name = m.attr("__name__").cast<std::string>();
    m.attr("LoaderError") =
        native::make_class(module_name, "LoaderError", py::make_tuple(native::host_attr("builtins", "Exception")));

    py::dict ns;
    ns["__doc__"] =
        "Registry of loader functions by file extension.\n\n"
        "Loader functions are registered with the register_loader decorator;\n"
        "guess then returns the loader function for a path.";
    ns["_registry"] = py::dict();
    py::object loaders = native::make_class(module_name, "Loaders", py::make_tuple(), ns);
    py::object classmethod = native::host_attr("builtins", "classmethod");
    loaders.attr("guess") = classmethod(py::cpp_function(
        [](py::object cls, py::object path) -> py::object {
            py::object extension = path.attr("suffix").attr("lower")();
            py::object registry = cls.attr("_registry");
            if (registry.contains(extension)) return registry[extension];
            return global("_ambiguous_loader");
        },
        py::name("guess"), py::arg("cls"), py::arg("path"),
        "Return the loader registered for the path's extension (lowered), or _ambiguous_loader."));
    loaders.attr("register_loader") = classmethod(py::cpp_function(
        [](py::object cls, py::object file_exts) { return register_loader(cls, file_exts); },
        py::name("register_loader"), py::arg("cls"), py::arg("file_exts"),
        "Return a decorator that registers a loader for one extension or a list of extensions (no dot)."));
    m.attr("Loaders") = loaders;
    m.attr("register_loader") = loaders.attr("register_loader");

    m.def(
        "load_from_path",
        [](py::object path) {
            py::object path_type = global("Path");
            if (!py::isinstance(path, path_type)) path = path_type(path);
            py::object loader = global("Loaders").attr("guess")(path);
            return loader(path);
        },
        py::arg("path"),
        "Load a data dictionary from a path.\n\nThe loader is determined by the extension of the file path.");

    m.def(
        "_add_note",
        [](py::object error, const std::string& note) { native::add_note(error, note); },
        py::arg("error"), py::arg("note"),
        "Give an error a note, as BaseException.add_note does on Python 3.11 and newer (the same __notes__\n"
        "list before 3.11): the one rule by which the package's errors carry their context.");

    m.def(
        "_ambiguous_loader",
        [](py::object path) -> py::object {
            native::raise_builtin("ValueError", "Could not determine loader from " + native::text(path));
        },
        py::arg("path"), "Loader used for ambiguous file extension.");
}
