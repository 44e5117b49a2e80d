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

// Bind `names` of tm.core.config as globals of a module, imported on first use
// (the model brings pydantic, which --help and --version need not wait for).
// When the model cannot be imported, each name is a function that raises the
// missing-model error.
void bind_model(ModuleGlobals& globals, std::initializer_list<const char*> names);

// Raise the missing-model error (ModuleNotFoundError) now, before any work, when
// the model cannot be imported.
void require_model();

}  // namespace native
