#include <pybind11/pybind11.h>

PYBIND11_MODULE(load, m) { m.doc() = "Interface for loading serialized entities."; }
