// Gripper: one gripper connection; every exchange runs without the GIL.
#include "gripper.hpp"

#include <cstdio>
#include <memory>
#include <string>

#include "convert.hpp"
#include "korvex/gripper/gripper.hpp"

namespace korvex::python {
namespace {

using State = gripper::GripperState;

std::string state_repr(const State& s) {
  char text[200];
  std::snprintf(text, sizeof text, "GripperState(width=%.4f, max_width=%.4f, is_grasped=%s, temperature=%u, time=%.3f)",
                s.width, s.max_width, s.is_grasped ? "true" : "false", static_cast<unsigned>(s.temperature), s.time);
  return text;
}

std::unique_ptr<Gripper> connect(const std::string& address) {
  return std::make_unique<Gripper>(unwrap(without_gil([&] { return Gripper::connect(address); })));
}

template <class F>
auto call(Gripper& self, F&& f) {
  return unwrap(without_gil([&] { return f(self); }));
}

constexpr const char* kGripperDoc =
    "Gripper(address)\n--\n\n"
    "The Korvex Hand. Commands return `True` on success, `False` when the hand reports\n"
    "\"unsuccessful\" (a grasp that did not hold), and raise `KorvexError` when they fail.";

constexpr const char* kStateDoc =
    "One gripper state: `width` and `max_width` (m), `is_grasped`, `temperature` (C), `time` (s).";

void add_gripper_state(py::module_& m) {
  py::class_<State> cls(m, "GripperState", kStateDoc);
  cls.def_property_readonly("width", [](const State& s) { return s.width; }, "Finger opening, m.");
  cls.def_property_readonly("max_width", [](const State& s) { return s.max_width; },
                            "Largest opening found by the last homing, m.");
  cls.def_property_readonly("is_grasped", [](const State& s) { return s.is_grasped; },
                            "Whether an object is held.");
  cls.def_property_readonly("temperature", [](const State& s) { return s.temperature; },
                            "The hand's temperature, degrees Celsius.");
  cls.def_property_readonly("time", [](const State& s) { return s.time; }, "The hand's timestamp, seconds.");
  cls.def("__repr__", &state_repr, "__repr__($self)\n--\n\n");
  forbid_instantiation(cls);
}

void add_gripper(py::module_& m) {
  py::class_<Gripper> cls(m, "Gripper", kGripperDoc);
  cls.def(py::init(&connect), "__init__(self, address)\n--\n\nConnects to the hand at `address` (port 1338 unless given).",
          py::arg("address"));
  cls.def_property_readonly("server_version", &Gripper::server_version,
                            "The protocol version of the hand's server, from the handshake.");
  cls.def(
      "homing", [](Gripper& self) { return call(self, [](Gripper& g) { return g.homing(); }); },
      "homing($self)\n--\n\nHomes the hand and estimates `max_width`; needed after changing the fingers.");
  cls.def(
      "move",
      [](Gripper& self, double width, double speed) {
        return call(self, [&](Gripper& g) { return g.move(width, speed); });
      },
      "move($self, width, speed)\n--\n\nMoves the fingers to `width` (m) at `speed` (m/s).", py::arg("width"),
      py::arg("speed"));
  cls.def(
      "grasp",
      [](Gripper& self, double width, double speed, double force, double epsilon_inner, double epsilon_outer) {
        return call(self, [&](Gripper& g) { return g.grasp(width, speed, force, epsilon_inner, epsilon_outer); });
      },
      "grasp($self, width, speed, force, epsilon_inner=0.005, epsilon_outer=0.005)\n--\n\n"
      "Grasps at `width` (m), `speed` (m/s), `force` (N); success when the fingers end within\n"
      "`[width - epsilon_inner, width + epsilon_outer]`.",
      py::arg("width"), py::arg("speed"), py::arg("force"), py::arg("epsilon_inner") = 0.005,
      py::arg("epsilon_outer") = 0.005);
  cls.def(
      "stop", [](Gripper& self) { return call(self, [](Gripper& g) { return g.stop(); }); },
      "stop($self)\n--\n\nStops a running move or grasp.");
  cls.def(
      "read_once", [](Gripper& self) { return call(self, [](Gripper& g) { return g.read_once(); }); },
      "read_once($self)\n--\n\nWaits for the next gripper state.");
  cls.def(
      "__repr__",
      [](const Gripper& self) { return "Gripper(server_version=" + std::to_string(self.server_version()) + ")"; },
      "__repr__($self)\n--\n\n");
}

}  // namespace

void register_gripper(py::module_& m) {
  as_korvex(m, [&] {
    add_gripper(m);
    add_gripper_state(m);
  });
}

}  // namespace korvex::python
