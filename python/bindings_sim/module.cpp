// _korvex_sim: the arm simulator for Python programs and tests.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <memory>

#include "korvex/wire/robot/state.hpp"
#include "sim/arm_simulator.hpp"

namespace py = pybind11;
using korvex::sim::ArmSimulator;

namespace {

[[noreturn]] void raise_error(const korvex::Error& e) {
  if (e.kind() == korvex::ErrorKind::InvalidArgument) throw py::value_error(e.message());
  throw std::runtime_error(e.message());
}

std::unique_ptr<ArmSimulator> make(const std::string& model, const std::string& host, int port, bool brakes_open) {
  auto parsed = korvex::sim::parse_arm_model(model);
  if (!parsed) raise_error(parsed.error());
  if (port < 0 || port > 65535) throw py::value_error("korvex-sim: port must be 0 to 65535, got " + std::to_string(port));
  return std::make_unique<ArmSimulator>(
      korvex::sim::ArmSimulatorOptions{*parsed, host, static_cast<std::uint16_t>(port), brakes_open});
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
  m.doc() = "Simulated arm controller speaking the arm's protocols.";
  py::class_<ArmSimulator>(m, "ArmSimulator",
                           "A simulated arm: TCP commands and a 1 kHz UDP state stream on host:port.")
      .def(py::init(&make), py::arg("model") = "zk2", py::arg("host") = "127.0.0.1", py::arg("port") = 0,
           py::kw_only(), py::arg("brakes_open") = true)
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
      .def("set_reflex", [](ArmSimulator& s) { s.set_robot_mode(korvex::RobotMode::Reflex); },
           "Puts the arm into mode Reflex, as after a collision.")
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
}
