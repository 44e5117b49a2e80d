// The migration tool's configuration model (tm.core.config) is installed apart
// from this package. A command module still loads without it, so that
// --version, --help and the commands' work that needs no model keep working;
// what needs it stops with one line that says how to install it.
#pragma once

#include <pybind11/pybind11.h>

#include <initializer_list>

#include "native/globals.hpp"

namespace native {
namespace py = pybind11;

// Bind `names` of tm.core.config as attributes of `module`. When the model cannot
// be imported, each name is bound to a function that raises the missing-model
// error, and the module attribute `_MODEL_MISSING` holds that error's text
// (None when the model is there).
void bind_model(py::module_& module, std::initializer_list<const char*> names);

// Raise the missing-model error (ModuleNotFoundError) now, before any work,
// when the module was loaded without the model.
void require_model(const ModuleGlobals& globals);

}  // namespace native
