#include <pybind11/pybind11.h>

PYBIND11_MODULE(convert, m) { m.doc() = "Tandrel generator convert command."; }
