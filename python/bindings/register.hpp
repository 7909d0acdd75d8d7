#pragma once
// One entry per class group; module.cpp calls them in the module's attribute order.
#include <pybind11/pybind11.h>

namespace korvex::python {

namespace py = pybind11;

void add_exceptions(py::module_& m);  // KorvexError, ControlException (convert.cpp)
void add_robot(py::module_& m);        // Robot (robot.cpp)
void add_model(py::module_& m);        // Model (model.cpp)
void add_robot_state(py::module_& m);  // RobotState (state.cpp)
void add_flat_layout(py::module_& m);  // FLAT_LAYOUT, FLAT_LEN (state.cpp)

}  // namespace korvex::python
