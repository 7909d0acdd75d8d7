#pragma once
// pybind11 methods carry their function record as `__self__`, so `inspect` takes them for bound methods
// and drops the first parameter of their text signatures. Re-registering them as the interpreter's own
// method descriptors gives `inspect.signature(korvex.Robot.read_once)` == "(self, /)", as for any
// builtin method.
#include <pybind11/pybind11.h>

namespace korvex::python {

//! Replaces every pybind11 method of `cls` (except `__init__`) by a method descriptor with the same
//! name, docstring and text signature that calls it.
void use_method_descriptors(pybind11::handle cls);

}  // namespace korvex::python
