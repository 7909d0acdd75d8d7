// GripperSimulator: the simulated hand for Python programs and tests.
#include "gripper.hpp"

#include <pybind11/stl.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "sim/gripper_simulator.hpp"

namespace py = pybind11;
using korvex::sim::GripperSimulator;

namespace {

[[noreturn]] void raise_sim_error(const korvex::Error& e) {
  if (e.kind() == korvex::ErrorKind::InvalidArgument) throw py::value_error(e.message());
  throw std::runtime_error(e.message());
}

void check(const korvex::Status& s) {
  if (!s) raise_sim_error(s.error());
}

template <class T>
T value(korvex::Result<T>&& r) {
  if (!r) raise_sim_error(r.error());
  return std::move(*r);
}

std::unique_ptr<GripperSimulator> make(const std::string& host, int port) {
  if (port < 0 || port > 65535)
    throw py::value_error("korvex-sim: port must be 0 to 65535, got " + std::to_string(port));
  return std::make_unique<GripperSimulator>(
      korvex::sim::GripperSimulatorOptions{host, static_cast<std::uint16_t>(port)});
}

void start(GripperSimulator& sim) {
  korvex::Status started;
  {
    py::gil_scoped_release release;
    started = sim.start();
  }
  check(started);
}

std::vector<std::uint8_t> bytes_of(const py::bytes& b) {
  const std::string s = b;
  return {s.begin(), s.end()};
}

}  // namespace

void register_gripper_simulator(py::module_& m) {
  py::class_<GripperSimulator> cls(
      m, "GripperSimulator",
      "A simulated Korvex Hand on host:port (0: ephemeral): fingers of 0.08 m that move at the\n"
      "commanded speed, an optional object to grasp, 23-byte states every millisecond.");
  cls.def(py::init(&make), py::arg("host") = "127.0.0.1", py::arg("port") = 1338);
  cls.def("start", &start, "Binds and starts serving.");
  cls.def("stop", &GripperSimulator::stop, py::call_guard<py::gil_scoped_release>(),
          "Closes every socket and joins the server threads.");
  cls.def("__enter__",
          [](GripperSimulator& s) -> GripperSimulator& {
            start(s);
            return s;
          },
          py::return_value_policy::reference);
  cls.def("__exit__", [](GripperSimulator& s, py::args) {
    py::gil_scoped_release release;
    s.stop();
  });
  cls.def_property_readonly("running", &GripperSimulator::running);
  cls.def_property_readonly("port", &GripperSimulator::port);
  cls.def_property_readonly("address", &GripperSimulator::address, "\"host:port\" for `korvex.Gripper`.");
  cls.def_property_readonly("max_width", [](const GripperSimulator&) { return GripperSimulator::kMaxWidth; },
                            "Opening at the end stop, m; states report it after the first homing.");
  cls.def_property_readonly("width", &GripperSimulator::width, "Current opening, m.");
  cls.def_property_readonly("is_grasped", &GripperSimulator::is_grasped);
  cls.def_property_readonly("busy", &GripperSimulator::busy, "True while a homing, move or grasp runs.");
  cls.def_property(
      "object_width", &GripperSimulator::object_width,
      [](GripperSimulator& s, std::optional<double> w) { check(s.set_object_width(w)); },
      "Width of the object between the fingers, m, or None.");
  cls.def_property("temperature", &GripperSimulator::temperature, &GripperSimulator::set_temperature,
                   "Degrees Celsius, as the states report it.");
  cls.def(
      "force_status",
      [](GripperSimulator& s, const std::string& command, std::optional<std::uint16_t> status) {
        check(s.force_status(command, status));
      },
      py::arg("command"), py::arg("status"),
      "Replies to the named command (Connect, Homing, Grasp, Move, Stop) carry this status and the\n"
      "command is not carried out, until cleared with None.");
  cls.def(
      "force_reply",
      [](GripperSimulator& s, const std::string& command, std::optional<py::bytes> payload) {
        std::optional<std::vector<std::uint8_t>> bytes;
        if (payload) bytes = bytes_of(*payload);
        check(s.force_reply(command, std::move(bytes)));
      },
      py::arg("command"), py::arg("payload"),
      "Replies to the named command carry exactly this payload, until cleared with None.");
  cls.def("pause_states", &GripperSimulator::pause_states, py::arg("paused") = true,
          "Stops (or resumes) the state stream.");
  cls.def(
      "send_state",
      [](GripperSimulator& s, std::optional<std::uint32_t> message_id, std::size_t size) {
        check(s.send_state(message_id, size));
      },
      py::arg("message_id") = py::none(), py::arg("size") = 23,
      "Sends one state now, `size` bytes long (cut or padded with zeros).");
  cls.def(
      "command_count", [](const GripperSimulator& s, const std::string& command) { return value(s.command_count(command)); },
      py::arg("command"));
  cls.def(
      "last_request",
      [](const GripperSimulator& s, const std::string& command) -> std::optional<py::bytes> {
        auto payload = value(s.last_request(command));
        if (!payload) return std::nullopt;
        return py::bytes(reinterpret_cast<const char*>(payload->data()), payload->size());
      },
      py::arg("command"), "Payload of the last request for the named command, or None.");
}
