// The _korvex extension: every attribute is added here, in the module's documented order.
#include <pybind11/pybind11.h>

#include "convert.hpp"
#include "gripper.hpp"
#include "method_descriptors.hpp"
#include "register.hpp"

namespace py = pybind11;
namespace kp = korvex::python;

PYBIND11_MODULE(_korvex, m, py::multiple_interpreters::not_supported()) {
  py::options options;
  options.disable_function_signatures();
  m.doc() = "";

  kp::add_exceptions(m);
  kp::as_korvex(m, [&] {
    kp::add_robot(m);
    kp::add_model(m);
    kp::add_robot_state(m);
    // CartesianTargets, JointTargets
    kp::register_gripper(m);  // Gripper, GripperState
  });
  for (const char* name : {"Robot", "Model", "RobotState", "Gripper", "GripperState"})
    kp::use_method_descriptors(m.attr(name));
  kp::add_flat_layout(m);
  m.attr("__version__") = "0.4.0";
}
