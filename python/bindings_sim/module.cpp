// _korvex_sim: the arm simulator for Python programs and tests.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <array>
#include <memory>
#include <string>
#include <vector>

#include "korvex/wire/robot/state.hpp"
#include "gripper.hpp"
#include "sim/arm_simulator.hpp"

namespace py = pybind11;
using korvex::sim::ArmSimulator;

namespace {

[[noreturn]] void raise_error(const korvex::Error& e) {
  if (e.kind() == korvex::ErrorKind::InvalidArgument) throw py::value_error(e.message());
  throw std::runtime_error(e.message());
}

std::unique_ptr<ArmSimulator> make(const std::string& model, const std::string& host, int port, bool brakes_open,
                                   const std::string& pacing, int lockstep_deadline_ms) {
  auto parsed = korvex::sim::parse_arm_model(model);
  if (!parsed) raise_error(parsed.error());
  auto paced = korvex::sim::parse_pacing(pacing);
  if (!paced) raise_error(paced.error());
  if (port < 0 || port > 65535) throw py::value_error("korvex-sim: port must be 0 to 65535, got " + std::to_string(port));
  if (lockstep_deadline_ms < 1 || lockstep_deadline_ms > 10000)
    throw py::value_error("korvex-sim: lockstep_deadline_ms must be 1 to 10000");
  return std::make_unique<ArmSimulator>(korvex::sim::ArmSimulatorOptions{
      *parsed, host, static_cast<std::uint16_t>(port), brakes_open, *paced, lockstep_deadline_ms});
}

template <std::size_t N>
std::array<double, N> fixed(const std::vector<double>& v, const char* name) {
  if (v.size() != N)
    throw py::value_error(std::string(name) + ": expected a sequence of length " + std::to_string(N) + " (got " +
                          std::to_string(v.size()) + ")");
  std::array<double, N> out{};
  std::copy(v.begin(), v.end(), out.begin());
  return out;
}

void start(ArmSimulator& sim) {
  korvex::Status started;
  {
    py::gil_scoped_release release;
    started = sim.start();
  }
  if (!started) raise_error(started.error());
}

}  // namespace

PYBIND11_MODULE(_korvex_sim, m, py::mod_gil_not_used()) {
  m.doc() = "Simulated arm and gripper speaking their protocols.";
  py::class_<ArmSimulator>(m, "ArmSimulator",
                           "A simulated arm: TCP commands and a 1 kHz UDP state stream on host:port.")
      .def(py::init(&make), py::arg("model") = "zk2", py::arg("host") = "127.0.0.1", py::arg("port") = 0,
           py::kw_only(), py::arg("brakes_open") = true, py::arg("pacing") = "realtime",
           py::arg("lockstep_deadline_ms") = 20)
      .def("start", &start, "Binds and starts serving.")
      .def("stop", &ArmSimulator::stop, py::call_guard<py::gil_scoped_release>(),
           "Closes every socket and joins the server threads.")
      .def_property_readonly("running", &ArmSimulator::running)
      .def_property_readonly("port", &ArmSimulator::port)
      .def_property_readonly("address", &ArmSimulator::address)
      .def_property_readonly("kxp_version", &ArmSimulator::version)
      .def_property("brakes_open", &ArmSimulator::brakes_open, &ArmSimulator::set_brakes_open)
      .def_property_readonly("robot_mode",
                             [](const ArmSimulator& s) { return std::string(korvex::robot_mode_display(s.robot_mode())); })
      .def("force_status", &ArmSimulator::force_status, py::arg("command"), py::arg("status"),
           "Replies to the named command carry this wire status until cleared with None.")
      .def("pause_states", &ArmSimulator::pause_states, py::arg("paused") = true)
      .def("command_count", &ArmSimulator::command_count, py::arg("command"))
      .def_property_readonly("description", &ArmSimulator::description)
      .def_property_readonly("motion_running", &ArmSimulator::motion_running)
      .def_property(
          "q", [](const ArmSimulator& s) { auto q = s.joint_positions(); return std::vector<double>(q.begin(), q.end()); },
          [](ArmSimulator& s, const std::vector<double>& q) { s.set_joint_positions(fixed<7>(q, "q")); },
          "The arm's joint positions [rad]; setting them moves the arm there at once.")
      .def("drop_states", &ArmSimulator::drop_states, py::arg("count"), "Skips sending the next `count` states.")
      .def("delay_next_state", &ArmSimulator::delay_next_state, py::arg("ms"),
           "Holds back the next state by `ms` milliseconds.")
      .def(
          "push",
          [](ArmSimulator& s, const std::vector<double>& tau, const std::vector<double>& wrench, int duration_ms) {
            s.push(fixed<7>(tau, "tau"), fixed<6>(wrench, "wrench"), duration_ms);
          },
          py::arg("tau") = std::vector<double>(7, 0.0), py::arg("wrench") = std::vector<double>(6, 0.0),
          py::arg("duration_ms") = 100,
          "Applies joint torques [Nm] and an end-effector wrench [N, Nm] for `duration_ms` (negative: until released).")
      .def(
          "trigger_reflex",
          [](ArmSimulator& s, const std::vector<std::string>& flags) {
            std::vector<std::string_view> names(flags.begin(), flags.end());
            s.trigger_reflex(names);
          },
          py::arg("flags") = std::vector<std::string>{"joint_reflex"},
          "Ends a running motion with a reflex carrying these flags, or puts the arm into mode Reflex.")
      .def("press_user_stop", &ArmSimulator::press_user_stop)
      .def("release_user_stop", &ArmSimulator::release_user_stop)
      .def("close_connection", &ArmSimulator::close_connection, "Hangs up on the connected client.")
      .def("__enter__",
           [](ArmSimulator& s) -> ArmSimulator& {
             start(s);
             return s;
           },
           py::return_value_policy::reference)
      .def("__exit__", [](ArmSimulator& s, py::args) {
        py::gil_scoped_release release;
        s.stop();
      });
  register_gripper_simulator(m);
}
