// Robot: one connection to an arm; every method converts, calls without the GIL, converts back.
#include "robot.hpp"

#include <pybind11/stl.h>

#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>

#include "convert.hpp"
#include "korvex/format.hpp"
#include "korvex/gripper/gripper.hpp"
#include "korvex/gripper/host.hpp"
#include "model.hpp"
#include "register.hpp"

namespace korvex::python {
namespace {

using D7 = Doubles<7>;
using D6 = Doubles<6>;

// The text of KORVEX_REALTIME, or nothing when it is unset or not UTF-8.
std::optional<std::string> realtime_variable() {
  const char* value = std::getenv("KORVEX_REALTIME");
  if (value == nullptr) return std::nullopt;
  PyObject* decoded = PyUnicode_DecodeUTF8(value, static_cast<Py_ssize_t>(std::strlen(value)), "strict");
  if (decoded == nullptr) {
    PyErr_Clear();
    return std::nullopt;
  }
  Py_DECREF(decoded);
  return std::string(value);
}

// True for "ignore"; checked before any connection attempt.
bool ignore_realtime(const std::optional<std::string>& argument) {
  const std::optional<std::string> value = argument ? argument : realtime_variable();
  if (!value || *value == "enforce") return false;
  if (*value == "ignore") return true;
  throw py::value_error(
      "korvex: realtime must be 'enforce' or 'ignore' (also read from KORVEX_REALTIME), got " + fmt::quoted(*value));
}

// Texts are taken as str only: bytes would pass the std::string caster.
RobotHandle connect(const py::str& address_text, const std::optional<py::str>& realtime,
                    std::optional<std::size_t> log_size) {
  std::string address = address_text.cast<std::string>();
  const bool ignore =
      ignore_realtime(realtime ? std::optional<std::string>(realtime->cast<std::string>()) : std::nullopt);
  const std::size_t size = log_size.value_or(Connection::kDefaultLogSize);
  auto connection = unwrap(without_gil([&] { return Connection::create(address, ignore, size); }));
  return RobotHandle{std::move(address), std::move(connection)};
}

// Runs one connection call without the GIL; the handle keeps the connection alive meanwhile.
template <class F>
auto call(const RobotHandle& self, F&& f) {
  std::shared_ptr<Connection> connection = self.connection;
  return unwrap(without_gil([&] { return f(*connection); }));
}

std::string repr(const RobotHandle& self) {
  return "Robot(" + fmt::quoted(self.address) + ", kxp_version=" + std::to_string(self.connection->kxp_version()) +
         ", server_version=" + std::to_string(self.connection->server_version()) + ")";
}

constexpr const char* kClassDoc =
    "Robot(address, *, realtime=None, log_size=None)\n--\n\n"
    "A connection to a robot's control box. `realtime` is 'enforce' (the default, as\n"
    "libkorvex: needs PREEMPT_RT and SCHED_FIFO) or 'ignore'; unset, `KORVEX_REALTIME` decides.\n"
    "Every method that talks to the robot releases the GIL.";

constexpr const char* kSetCollisionBehaviorDoc =
    "set_collision_behavior($self, lower_torque_thresholds_acceleration, upper_torque_thresholds_acceleration, "
    "lower_torque_thresholds_nominal, upper_torque_thresholds_nominal, lower_force_thresholds_acceleration, "
    "upper_force_thresholds_acceleration, lower_force_thresholds_nominal, upper_force_thresholds_nominal)\n--\n\n"
    "Collision thresholds, lower and upper, for the acceleration and the nominal phase: torques in Nm\n"
    "(7 values each), then forces in N and Nm (6 values each), in the order of the C++ library's\n"
    "collision behaviour command.";

}  // namespace

void add_robot(py::module_& m) {
  py::class_<RobotHandle> cls(m, "Robot", kClassDoc);
  cls.def(py::init(&connect),
          "__init__(self, address, *, realtime=None, log_size=None)\n--\n\nConnects to the robot at `address`.",
          py::arg("address"), py::kw_only(), py::arg("realtime") = py::none(),
          py::arg("log_size") = py::none());
  cls.def_property_readonly("address", [](const RobotHandle& self) { return self.address; },
                            "The address as passed to the constructor.");
  cls.def_property_readonly(
      "kxp_version", [](const RobotHandle& self) { return self.connection->kxp_version(); },
      "The negotiated KXP protocol version: 10 (ZK2) or 5 (ZK1).");
  cls.def_property_readonly(
      "server_version", [](const RobotHandle& self) { return self.connection->server_version(); },
      "The software version the control box reported.");
  cls.def(
      "read_once", [](const RobotHandle& self) { return call(self, [](Connection& c) { return c.read_once(); }); },
      "read_once($self)\n--\n\n"
      "Waits for the next robot state (not while a target control runs: use its `state()`).");
  cls.def(
      "automatic_error_recovery",
      [](const RobotHandle& self) { call(self, [](Connection& c) { return c.automatic_error_recovery(); }); },
      "automatic_error_recovery($self)\n--\n\n"
      "Clears the errors of a reflex or collision so that a new motion can start.");
  cls.def(
      "stop", [](const RobotHandle& self) { call(self, [](Connection& c) { return c.stop(); }); },
      "stop($self)\n--\n\n"
      "Stops the running motion from any thread; a target control's `stop()` then reports\n"
      "the preemption as a `ControlException`.");
  cls.def(
      "set_collision_behavior",
      [](const RobotHandle& self, const D7& lower_torque_acceleration, const D7& upper_torque_acceleration,
         const D7& lower_torque_nominal, const D7& upper_torque_nominal, const D6& lower_force_acceleration,
         const D6& upper_force_acceleration, const D6& lower_force_nominal, const D6& upper_force_nominal) {
        call(self, [&](Connection& c) {
          return c.set_collision_behavior(lower_torque_acceleration.values, upper_torque_acceleration.values,
                                          lower_torque_nominal.values, upper_torque_nominal.values,
                                          lower_force_acceleration.values, upper_force_acceleration.values,
                                          lower_force_nominal.values, upper_force_nominal.values);
        });
      },
      kSetCollisionBehaviorDoc, py::arg("lower_torque_thresholds_acceleration"),
      py::arg("upper_torque_thresholds_acceleration"), py::arg("lower_torque_thresholds_nominal"),
      py::arg("upper_torque_thresholds_nominal"), py::arg("lower_force_thresholds_acceleration"),
      py::arg("upper_force_thresholds_acceleration"), py::arg("lower_force_thresholds_nominal"),
      py::arg("upper_force_thresholds_nominal"));
  cls.def(
      "set_collision_behavior_simple",
      [](const RobotHandle& self, const D7& lower_torque, const D7& upper_torque, const D6& lower_force,
         const D6& upper_force) {
        call(self, [&](Connection& c) {
          return c.set_collision_behavior_simple(lower_torque.values, upper_torque.values, lower_force.values,
                                                 upper_force.values);
        });
      },
      "set_collision_behavior_simple($self, lower_torque_thresholds, upper_torque_thresholds, "
      "lower_force_thresholds, upper_force_thresholds)\n--\n\n"
      "`set_collision_behavior` with the same thresholds for both phases.",
      py::arg("lower_torque_thresholds"), py::arg("upper_torque_thresholds"), py::arg("lower_force_thresholds"),
      py::arg("upper_force_thresholds"));
  cls.def(
      "set_joint_impedance",
      [](const RobotHandle& self, const D7& K_theta) {
        call(self, [&](Connection& c) { return c.set_joint_impedance(K_theta.values); });
      },
      "set_joint_impedance($self, K_theta)\n--\n\n"
      "Joint impedance of the internal controller, Nm/rad, 7 values.",
      py::arg("K_theta"));
  cls.def(
      "set_cartesian_impedance",
      [](const RobotHandle& self, const D6& K_x) {
        call(self, [&](Connection& c) { return c.set_cartesian_impedance(K_x.values); });
      },
      "set_cartesian_impedance($self, K_x)\n--\n\n"
      "Cartesian impedance of the internal controller (x, y, z, roll, pitch, yaw).",
      py::arg("K_x"));
  cls.def(
      "model",
      [](const RobotHandle& self) {
        return std::make_unique<ModelHandle>(ModelHandle{call(self, [](Connection& c) { return c.model(); })});
      },
      "model($self)\n--\n\n"
      "The robot's kinematic and dynamic model, as a new `Model`: an ZK2's URDF is fetched from\n"
      "the robot, an ZK1's is built in; nothing is downloaded or executed on either.");
  cls.def(
      "gripper",
      [](const RobotHandle& self) {
        const std::string host = gripper_host_from_robot_address(self.address);
        return std::make_unique<Gripper>(unwrap(without_gil([&] { return Gripper::connect(host); })));
      },
      "gripper($self)\n--\n\nConnects to this robot's Korvex Hand (port 1338 of the same host).");
  cls.def("__repr__", &repr, "__repr__($self)\n--\n\n");
}

}  // namespace korvex::python
