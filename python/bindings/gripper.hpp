#pragma once
// Gripper and GripperState (gripper.cpp).
#include <pybind11/pybind11.h>

namespace korvex::python {

//! Adds `Gripper` and `GripperState`, both reporting module `korvex`.
void register_gripper(pybind11::module_& m);

}  // namespace korvex::python
