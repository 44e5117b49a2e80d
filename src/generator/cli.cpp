#include <pybind11/pybind11.h>

PYBIND11_MODULE(cli, m) { m.doc() = "Tandrel generator cli module."; }
