// The _korvex extension. Its classes are registered by the files beside this one.
#include <pybind11/pybind11.h>

namespace py = pybind11;

PYBIND11_MODULE(_korvex, m, py::multiple_interpreters::not_supported()) {
  m.doc() = "";
  m.attr("__version__") = "0.4.0";
}
