#pragma once
// GripperSimulator for Python (gripper.cpp).
#include <pybind11/pybind11.h>

//! Adds `GripperSimulator` to the simulator module.
void register_gripper_simulator(pybind11::module_& m);
