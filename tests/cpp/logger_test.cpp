#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <new>
#include <string>
#include <vector>

#include "korvex/robot/logger.hpp"
#include "korvex/robot/robot_impl/exception.hpp"
#include "support/allocations.hpp"

namespace korvex {
namespace {

RobotState state_at(std::uint64_t time, double success_rate = 1.0) {
  RobotState s;
  s.time = time;
  s.control_command_success_rate = success_rate;
  s.q[0] = static_cast<double>(time);
  return s;
}

RobotCommandLog command_for(std::uint64_t time) {
  RobotCommandLog c;
  c.tau_J_d[6] = static_cast<double>(time);
  return c;
}

Errors flags(std::initializer_list<std::string_view> names) {
  Errors e;
  for (auto name : names) {
    const auto it = std::find(Errors::kNames.begin(), Errors::kNames.end(), name);
    e.flags[static_cast<std::size_t>(it - Errors::kNames.begin())] = true;
  }
  return e;
}

std::vector<std::uint64_t> times_of(const std::vector<Record>& log) {
  std::vector<std::uint64_t> out;
  for (const auto& r : log) {
    EXPECT_EQ(r.command.tau_J_d[6], static_cast<double>(r.state.time)) << "state and command out of step";
    out.push_back(r.state.time);
  }
  return out;
}

std::vector<std::uint64_t> range(std::uint64_t first, std::uint64_t last) {
  std::vector<std::uint64_t> out;
  for (auto t = first; t <= last; ++t) out.push_back(t);
  return out;
}

TEST(Logger, KeepsTheLastCyclesOldestFirst) {
  const struct { std::size_t size; std::uint64_t cycles; std::vector<std::uint64_t> times; } cases[] = {
      {50, 80, range(31, 80)}, {50, 50, range(1, 50)}, {50, 3, range(1, 3)}, {3, 7, range(5, 7)},
      {1, 4, {4}},             {0, 10, {}},            {5, 0, {}},
  };
  for (const auto& c : cases) {
    Logger log(c.size);
    for (std::uint64_t t = 1; t <= c.cycles; ++t) log.record(command_for(t), state_at(t));
    EXPECT_EQ(times_of(log.take()), c.times) << c.size << " after " << c.cycles;
    EXPECT_TRUE(log.take().empty());
    // A log that was taken starts over.
    for (std::uint64_t t = 101; t <= 102; ++t) log.record(command_for(t), state_at(t));
    EXPECT_EQ(times_of(log.take()).size(), std::min<std::size_t>(c.size, 2));
  }
}

TEST(Logger, RecordingAllocatesNothing) {
  Logger log(50);
  const RobotState state = state_at(1);
  const RobotCommandLog command = command_for(1);
  const long before = korvex::testing::allocations();
  for (int i = 0; i < 500; ++i) log.record(command, state);
  EXPECT_EQ(korvex::testing::allocations() - before, 0);
  EXPECT_EQ(log.take().size(), 50u);
}

struct Built {
  ControlException exception;
  std::string stderr_text;
};

Built build(Logger& log, const std::string& text, MoveStatus status, const Errors& errors) {
  ::testing::internal::CaptureStderr();
  ControlException e = make_control_exception(log, text, status, errors);
  return {std::move(e), ::testing::internal::GetCapturedStderr()};
}

TEST(ControlException, MessageForms) {
  const std::string reflex = "libkorvex: Move command aborted: motion aborted by reflex!";
  const std::string joint = " [\"joint_reflex\"]";
  const std::string rate = "\ncontrol_command_success_rate: ";
  const std::string lost = " packets lost in a row in the last sample: ";
  struct Sample { std::uint64_t time; double rate; };
  const struct {
    const char* label;
    std::size_t log_size;
    std::vector<Sample> samples;
    MoveStatus status;
    Errors errors;
    std::string text;
    std::string message;
  } cases[] = {
      {"user stop", 50, {{1000, 1.0}, {1003, 1.0}}, MoveStatus::EmergencyAborted, flags({"joint_reflex"}),
       "libkorvex: Move command aborted: User Stop pressed!", "libkorvex: Move command aborted: User Stop pressed!"},
      {"two lost", 50, {{999, 0.5}, {1000, 1.0}, {1003, 0.1}}, MoveStatus::ReflexAborted, flags({"joint_reflex"}),
       reflex, reflex + joint + rate + "0.98" + lost + "2"},
      {"consecutive", 50, {{1000, 1.0}, {1001, 0.5}}, MoveStatus::ReflexAborted, flags({"joint_reflex"}), reflex,
       reflex + joint + rate + "1"},
      {"two flags", 50, {{7, 0.9}, {8, 1.0}}, MoveStatus::ReflexAborted, flags({"cartesian_reflex", "joint_reflex"}),
       reflex, reflex + " [\"joint_reflex\", \"cartesian_reflex\"]" + rate + "0.9"},
      {"tiny rate", 50, {{7, 0.00001}, {8, 1.0}}, MoveStatus::ReflexAborted, flags({"joint_reflex"}), reflex,
       reflex + joint + rate + "1e-05"},
      {"time went back", 50, {{1003, 0.95}, {1000, 1.0}}, MoveStatus::ReflexAborted, flags({"joint_reflex"}), reflex,
       reflex + joint + rate + "0.95"},
      {"rate never negative", 50, {{1000, 1.0}, {1151, 1.0}}, MoveStatus::ReflexAborted, flags({"joint_reflex"}),
       reflex, reflex + joint + rate + "0" + lost + "150"},
      {"one record", 50, {{1000, 1.0}}, MoveStatus::ReflexAborted, flags({"joint_reflex"}), reflex, reflex + joint},
      {"no log", 0, {{1000, 1.0}, {1003, 1.0}}, MoveStatus::ReflexAborted, flags({"joint_reflex"}), reflex,
       reflex + joint},
      {"no flags", 50, {{1, 1.0}, {2, 1.0}}, MoveStatus::ReflexAborted, Errors{}, reflex, reflex + " []" + rate + "1"},
      {"other status", 50, {{1, 1.0}, {5, 1.0}}, MoveStatus::Aborted, flags({"joint_reflex"}),
       "libkorvex: Move command aborted!", "libkorvex: Move command aborted!"},
  };
  for (const auto& c : cases) {
    Logger log(c.log_size);
    for (const auto& s : c.samples) log.record(command_for(s.time), state_at(s.time, s.rate));
    const Built b = build(log, c.text, c.status, c.errors);
    EXPECT_EQ(b.exception.message, c.message) << c.label;
    EXPECT_EQ(b.stderr_text, c.message + "\n") << c.label;
    EXPECT_EQ(b.exception.move_status, c.status) << c.label;
    EXPECT_EQ(b.exception.last_motion_errors, c.errors) << c.label;
    EXPECT_EQ(b.exception.log.size(), std::min(c.log_size, c.samples.size())) << c.label;
    EXPECT_TRUE(log.take().empty()) << c.label << ": the log was not taken";
  }
}

TEST(ControlException, DebugListsEveryRecordInFull) {
  Logger log(4);
  RobotState s = state_at(5);
  s.O_T_EE = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0.5, 0, 0.25, 1};
  s.m_ee = 0.73;
  s.current_errors = flags({"power_limit_violation"});
  s.robot_mode = RobotMode::Idle;
  RobotCommandLog c;
  c.tau_J_d = {1, 2, 3, 4, 5, 6, 1e-5};
  log.record(c, s);
  ControlException e;
  {
    ::testing::internal::CaptureStderr();
    e = make_control_exception(log, "m", MoveStatus::ReflexAborted, flags({"joint_reflex"}));
    ::testing::internal::GetCapturedStderr();
  }
  const std::string text = e.debug();
  const std::string head =
      "ControlException { message: \"m [\\\"joint_reflex\\\"]\", move_status: Some(ReflexAborted), "
      "last_motion_errors: [\"joint_reflex\"], log: [Record { state: RobotState { "
      "O_T_EE: [1.0, 0.0, 0.0, 0.0, 0.0, 1.0, 0.0, 0.0, 0.0, 0.0, 1.0, 0.0, 0.5, 0.0, 0.25, 1.0], ";
  const std::string tail =
      "current_errors: [\"power_limit_violation\"], last_motion_errors: [], control_command_success_rate: 1.0, "
      "robot_mode: Idle, time: 5 }, command: RobotCommandLog { q_c: [0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0], "
      "dq_c: [0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0], "
      "O_T_EE_c: [0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0], "
      "O_dP_EE_c: [0.0, 0.0, 0.0, 0.0, 0.0, 0.0], elbow_c: [0.0, 0.0], "
      "tau_J_d: [1.0, 2.0, 3.0, 4.0, 5.0, 6.0, 1e-5] } }] }";
  ASSERT_GE(text.size(), head.size() + tail.size());
  EXPECT_EQ(text.substr(0, head.size()), head);
  EXPECT_EQ(text.substr(text.size() - tail.size()), tail);
  EXPECT_NE(text.find(", m_ee: 0.73, I_ee: [0.0, "), std::string::npos);

  // Every field of the state, once, in declaration order.
  const char* fields[] = {
      "O_T_EE", "O_T_EE_d", "F_T_EE", "F_T_NE", "NE_T_EE", "EE_T_K", "m_ee", "I_ee", "F_x_Cee", "m_load",
      "I_load", "F_x_Cload", "m_total", "I_total", "F_x_Ctotal", "elbow", "elbow_d", "elbow_c", "delbow_c",
      "ddelbow_c", "tau_J", "tau_J_d", "dtau_J", "q", "q_d", "dq", "dq_d", "ddq_d", "joint_contact",
      "cartesian_contact", "joint_collision", "cartesian_collision", "tau_ext_hat_filtered", "O_F_ext_hat_K",
      "K_F_ext_hat_K", "O_dP_EE_d", "O_ddP_O", "O_T_EE_c", "O_dP_EE_c", "O_ddP_EE_c", "theta", "dtheta",
      "accelerometer_top", "accelerometer_bottom", "current_errors", "last_motion_errors",
      "control_command_success_rate", "robot_mode", "time"};
  const std::string state = text.substr(text.find("RobotState { "), text.find(", command: ") - text.find("RobotState { "));
  std::size_t at = 0;
  for (const char* f : fields) {
    const std::string key = std::string(at == 0 ? "{ " : ", ") + f + ": ";
    const std::size_t pos = state.find(key, at);
    ASSERT_NE(pos, std::string::npos) << f;
    at = pos + key.size();
  }
  EXPECT_EQ(state.find(": ", at), std::string::npos) << "fields after time";
}

}  // namespace
}  // namespace korvex
