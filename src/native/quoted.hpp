// The double-quoted text machinery both commands carry: a marker text type
// `_quoted`, `_recurse_quoted` that rebuilds data with every text value marked,
// and `_quoted_presenter`, the YAML representer that writes marked texts
// double-quoted. Each module installs its own copy, so each has its own type.
#pragma once

#include <pybind11/pybind11.h>

namespace native {
namespace py = pybind11;

// Adds `_quoted`, `_recurse_quoted` and `_quoted_presenter` to `module`, in that order.
void install_quoted(py::module_& module);

}  // namespace native
