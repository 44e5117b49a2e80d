// The migration tool's configuration model (tm.core.config) is installed apart
// from this package. A command module still loads without it, so that
// --version, --help and the commands' work that needs no model keep working;
// what needs it stops with one line that says how to install it.
#pragma once

#include <pybind11/pybind11.h>

#include <initializer_list>

namespace native {
namespace py = pybind11;

// Bind `names` of tm.core.config as attributes of `module`. When the model cannot
// be imported, each name is bound to a function that raises the missing-model error.
void bind_model(py::module_& module, std::initializer_list<const char*> names);

// Raise the missing-model error (ModuleNotFoundError) now, before any work, when
// the model could not be imported as the module was loaded.
void require_model();

}  // namespace native
