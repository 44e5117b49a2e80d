#include <pybind11/pybind11.h>

PYBIND11_MODULE(generate, m) { m.doc() = "Tandrel generator generate command."; }
