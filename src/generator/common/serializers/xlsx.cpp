#include <pybind11/pybind11.h>

PYBIND11_MODULE(xlsx, m) { m.doc() = "Excel serializer."; }
