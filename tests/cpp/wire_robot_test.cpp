#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <new>
#include <numbers>
#include <optional>
#include <string>
#include <vector>

#include "korvex/wire/robot/codec.hpp"
#include "korvex/wire/robot/protocol.hpp"
#include "support/allocations.hpp"

namespace korvex {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes reply(std::vector<std::uint8_t> payload) {
  payload.insert(payload.begin(), 12, 0);  // header
  return payload;
}

template <class T>
T read_le(const std::uint8_t* p) {
  T v;
  std::memcpy(&v, p, sizeof v);
  return v;
}
template <class T>
void write_le(std::uint8_t* p, T v) {
  std::memcpy(p, &v, sizeof v);
}

// ---------------------------------------------------------------- command ids

TEST(CommandIds, PerVersionAndMissingCommands) {
  struct Row {
    Command command;
    int v5;  // -1: absent
    int v10;
  };
  const Row rows[] = {
      {Command::Connect, 0, 0},
      {Command::Move, 1, 1},
      {Command::StopMove, 2, 2},
      {Command::GetCartesianLimit, 3, -1},
      {Command::SetCollisionBehavior, 4, 3},
      {Command::SetJointImpedance, 5, 4},
      {Command::SetCartesianImpedance, 6, 5},
      {Command::SetGuidingMode, 7, 6},
      {Command::SetEeToK, 8, 7},
      {Command::SetNeToEe, 9, 8},
      {Command::SetLoad, 10, 9},
      {Command::SetFilters, 11, -1},
      {Command::AutomaticErrorRecovery, 12, 10},
      {Command::GetRobotModel, -1, 11},
  };
  for (const Row& r : rows) {
    for (auto [version, want] : {std::pair<std::uint16_t, int>{5, r.v5}, {10, r.v10}}) {
      const auto id = command_id(r.command, version);
      SCOPED_TRACE(std::string(command_name(r.command)) + " v" + std::to_string(version));
      if (want < 0) {
        ASSERT_FALSE(id);
        EXPECT_EQ(id.error().kind(), ErrorKind::InvalidOperation);
        EXPECT_EQ(id.error().message(), "libkorvex: " + std::string(command_name(r.command)) +
                                            " is not available on KXP version " + std::to_string(version) + ".");
      } else {
        ASSERT_TRUE(id);
        EXPECT_EQ(*id, static_cast<std::uint32_t>(want));
      }
    }
  }
  EXPECT_EQ(command_id(Command::GetRobotModel, 5).error().message(),
            "libkorvex: Get Robot Model is not available on KXP version 5.");
  EXPECT_EQ(command_name(Command::SetEeToK), "Set EE to K");
  EXPECT_EQ(command_name(Command::SetNeToEe), "Set NE to EE");
}

// ---------------------------------------------------------------- reply statuses

constexpr const char* kOk = "";
constexpr const char* kIdle = " command rejected: command not possible in the current mode (\"Idle\")!";
constexpr const char* kMoveSafety =
    "libkorvex: Move command rejected due to activated safety function! Please disable all safety functions.";

// One reply judged the way the connection does: Move by its status, Get Robot Model by its text parser.
struct Judged {
  Status status;
  std::optional<MoveStatus> move;
};
Judged judge(Command command, std::uint8_t wire, std::uint16_t version, RobotMode mode) {
  const Bytes m = reply({wire});
  if (command == Command::Move) {
    auto s = parse_move_reply(m, version);
    if (!s) return {fail(s.error()), std::nullopt};
    return {check_move_status(*s, mode), *s};
  }
  if (command == Command::GetRobotModel) {
    auto text = parse_robot_model_reply(m, version, mode);
    if (!text) return {fail(text.error()), std::nullopt};
    return {Status{}, std::nullopt};
  }
  return {check_reply(command, m, version, mode), std::nullopt};
}

TEST(ReplyStatus, EveryStatusOfEveryCommandOnBothVersions) {
  struct Row {
    Command command;
    std::uint16_t version;
    std::uint8_t wire;
    ErrorKind kind;  // Control stands for success here
    std::string text;
    const char* move = nullptr;  // expected move status name
  };
  const auto ok = ErrorKind::Control;
  const auto cmd = ErrorKind::Command;
  const auto proto = ErrorKind::Protocol;
  const std::string stop = "libkorvex: Stop Move";
  const std::string aer = "libkorvex: Automatic Error Recovery";
  const std::string grm = "libkorvex: Get Robot Model";
  const std::string mv = "libkorvex: Move";
  std::vector<Row> rows = {
      // Stop Move
      {Command::StopMove, 10, 0, ok, kOk},
      {Command::StopMove, 10, 1, cmd, stop + kIdle},
      {Command::StopMove, 10, 2, cmd, kMoveSafety},
      {Command::StopMove, 10, 3, cmd, stop + " command aborted: User Stop pressed!"},
      {Command::StopMove, 10, 4, cmd, stop + " command aborted: motion aborted by reflex!"},
      {Command::StopMove, 10, 5, cmd, stop + kIdle},
      {Command::StopMove, 10, 6, proto, "libkorvex: Unexpected response while handling Stop Move command!"},
      {Command::StopMove, 5, 0, ok, kOk},
      {Command::StopMove, 5, 1, cmd, stop + kIdle},
      {Command::StopMove, 5, 2, cmd, stop + " command aborted: User Stop pressed!"},
      {Command::StopMove, 5, 3, cmd, stop + " command aborted: motion aborted by reflex!"},
      {Command::StopMove, 5, 4, cmd, stop + kIdle},
      {Command::StopMove, 5, 5, proto, "libkorvex: Unexpected response while handling Stop Move command!"},
      // Automatic Error Recovery
      {Command::AutomaticErrorRecovery, 10, 0, ok, kOk},
      {Command::AutomaticErrorRecovery, 10, 1, cmd, aer + kIdle},
      {Command::AutomaticErrorRecovery, 10, 2, cmd, kMoveSafety},
      {Command::AutomaticErrorRecovery, 10, 3, cmd, aer + " command rejected: manual error recovery required!"},
      {Command::AutomaticErrorRecovery, 10, 4, cmd, aer + " command aborted: motion aborted by reflex!"},
      {Command::AutomaticErrorRecovery, 10, 5, cmd, aer + " command aborted: User Stop pressed!"},
      {Command::AutomaticErrorRecovery, 10, 6, cmd, aer + " command aborted!"},
      {Command::AutomaticErrorRecovery, 10, 7, proto,
       "libkorvex: Unexpected response while handling Automatic Error Recovery command!"},
      {Command::AutomaticErrorRecovery, 5, 0, ok, kOk},
      {Command::AutomaticErrorRecovery, 5, 1, cmd, aer + kIdle},
      {Command::AutomaticErrorRecovery, 5, 2, cmd, aer + " command rejected: manual error recovery required!"},
      {Command::AutomaticErrorRecovery, 5, 3, cmd, aer + " command aborted: motion aborted by reflex!"},
      {Command::AutomaticErrorRecovery, 5, 4, cmd, aer + " command aborted: User Stop pressed!"},
      {Command::AutomaticErrorRecovery, 5, 5, cmd, aer + " command aborted!"},
      {Command::AutomaticErrorRecovery, 5, 6, proto,
       "libkorvex: Unexpected response while handling Automatic Error Recovery command!"},
      // Get Robot Model (version 10 only)
      {Command::GetRobotModel, 10, 0, ok, kOk},
      {Command::GetRobotModel, 10, 1, cmd, grm + kIdle},
      {Command::GetRobotModel, 10, 2, cmd,
       grm + " command rejected due to activated safety function! Please disable all safety functions."},
      {Command::GetRobotModel, 10, 3, proto, "libkorvex: Unexpected response while handling Get Robot Model command!"},
      {Command::GetRobotModel, 5, 0, ErrorKind::InvalidOperation,
       "libkorvex: Get Robot Model is not available on KXP version 5."},
      // Move
      {Command::Move, 10, 0, ok, kOk, "Success"},
      {Command::Move, 10, 1, ok, kOk, "MotionStarted"},
      {Command::Move, 10, 2, cmd, mv + " command preempted!", "Preempted"},
      {Command::Move, 10, 3, cmd,
       mv + " command preempted due to activated safety function! Please disable all safety functions.",
       "PreemptedDueToActivatedSafetyFunctions"},
      {Command::Move, 10, 4, cmd, kMoveSafety, "CommandRejectedDueToActivatedSafetyFunctions"},
      {Command::Move, 10, 5, cmd, mv + kIdle, "CommandNotPossibleRejected"},
      {Command::Move, 10, 6, cmd, mv + " command rejected: cannot start at singular pose!",
       "StartAtSingularPoseRejected"},
      {Command::Move, 10, 7, cmd, mv + " command rejected: maximum path deviation out of range!",
       "InvalidArgumentRejected"},
      {Command::Move, 10, 8, cmd, mv + " command aborted: motion aborted by reflex!", "ReflexAborted"},
      {Command::Move, 10, 9, cmd, mv + " command aborted: User Stop pressed!", "EmergencyAborted"},
      {Command::Move, 10, 10, cmd, mv + " command aborted: invalid input provided!", "InputErrorAborted"},
      {Command::Move, 10, 11, cmd, mv + " command aborted!", "Aborted"},
      {Command::Move, 10, 12, proto, "libkorvex: Unexpected response while handling Move command!"},
      {Command::Move, 5, 0, ok, kOk, "Success"},
      {Command::Move, 5, 1, ok, kOk, "MotionStarted"},
      {Command::Move, 5, 2, cmd, mv + " command preempted!", "Preempted"},
      {Command::Move, 5, 3, cmd, mv + kIdle, "CommandNotPossibleRejected"},
      {Command::Move, 5, 4, cmd, mv + " command rejected: cannot start at singular pose!",
       "StartAtSingularPoseRejected"},
      {Command::Move, 5, 5, cmd, mv + " command rejected: maximum path deviation out of range!",
       "InvalidArgumentRejected"},
      {Command::Move, 5, 6, cmd, mv + " command aborted: motion aborted by reflex!", "ReflexAborted"},
      {Command::Move, 5, 7, cmd, mv + " command aborted: User Stop pressed!", "EmergencyAborted"},
      {Command::Move, 5, 8, cmd, mv + " command aborted: invalid input provided!", "InputErrorAborted"},
      {Command::Move, 5, 9, cmd, mv + " command aborted!", "Aborted"},
      {Command::Move, 5, 10, proto, "libkorvex: Unexpected response while handling Move command!"},
  };
  // Every Set command, sent or not, shares one table.
  for (Command set : {Command::SetCollisionBehavior, Command::SetJointImpedance, Command::SetCartesianImpedance,
                      Command::SetGuidingMode, Command::SetEeToK, Command::SetNeToEe, Command::SetLoad,
                      Command::SetFilters}) {
    const std::string name(command_name(set));
    const std::string pre = "libkorvex: " + name;
    const std::string bad = "libkorvex: Unexpected response while handling " + name + " command!";
    for (std::uint16_t v : {5, 10}) {
      if (!command_id(set, v)) continue;
      rows.push_back({set, v, 0, ok, kOk});
      rows.push_back({set, v, 1, cmd, pre + kIdle});
      rows.push_back({set, v, 2, cmd, pre + " command rejected: invalid argument!"});
      if (v == 10) {
        rows.push_back({set, v, 3, cmd,
                        pre + " command rejected due to activated safety function! Please disable all safety "
                              "functions. "});
        rows.push_back({set, v, 4, proto, bad});
      } else {
        rows.push_back({set, v, 3, proto, bad});
      }
      rows.push_back({set, v, 255, proto, bad});
    }
  }
  rows.push_back({Command::Move, 10, 255, proto, "libkorvex: Unexpected response while handling Move command!"});

  for (const Row& r : rows) {
    SCOPED_TRACE(std::string(command_name(r.command)) + " v" + std::to_string(r.version) + " wire " +
                 std::to_string(r.wire));
    const Judged j = judge(r.command, r.wire, r.version, RobotMode::Idle);
    if (r.kind == ok) {
      EXPECT_TRUE(j.status) << j.status.error().message();
    } else {
      ASSERT_FALSE(j.status);
      EXPECT_EQ(j.status.error().kind(), r.kind);
      EXPECT_EQ(j.status.error().message(), r.text);
    }
    if (r.move) {
      ASSERT_TRUE(j.move);
      EXPECT_EQ(move_status_name(*j.move), r.move);
      EXPECT_EQ(move_status_message(*j.move, RobotMode::Idle), r.text);
    }
  }
}

TEST(ReplyStatus, ModeTextNamesTheModeAndHintsAtBrakesOnlyInOther) {
  const struct {
    RobotMode mode;
    const char* text;
  } cases[] = {
      {RobotMode::Other,
       "libkorvex: Set Joint Impedance command rejected: command not possible in the current mode (\"Other\")! "
       "Did you open the brakes?"},
      {RobotMode::Idle,
       "libkorvex: Set Joint Impedance command rejected: command not possible in the current mode (\"Idle\")!"},
      {RobotMode::UserStopped,
       "libkorvex: Set Joint Impedance command rejected: command not possible in the current mode (\"User "
       "stopped\")!"},
      {RobotMode::AutomaticErrorRecovery,
       "libkorvex: Set Joint Impedance command rejected: command not possible in the current mode (\"Automatic "
       "error recovery\")!"},
  };
  for (const auto& c : cases) {
    const auto s = check_reply(Command::SetJointImpedance, reply({1}), 5, c.mode);
    ASSERT_FALSE(s);
    EXPECT_EQ(s.error().message(), c.text);
  }
  EXPECT_EQ(move_status_message(MoveStatus::CommandNotPossibleRejected, RobotMode::Other),
            "libkorvex: Move command rejected: command not possible in the current mode (\"Other\")! Did you open "
            "the brakes?");
}

TEST(ReplyStatus, HeaderOnlyOrShorterRepliesAreSizeErrors) {
  for (std::size_t size : {0, 11, 12}) {
    const Bytes m(size, 0);
    const std::string want = "libkorvex: Incorrect TCP message size.";
    const auto a = check_reply(Command::StopMove, m, 10, RobotMode::Idle);
    const auto b = parse_move_reply(m, 5);
    const auto c = parse_robot_model_reply(m, 10, RobotMode::Idle);
    for (const Error* e : {&a.error(), &b.error(), &c.error()}) {
      EXPECT_EQ(e->kind(), ErrorKind::Protocol);
      EXPECT_EQ(e->message(), want);
    }
  }
}

TEST(RobotModelReply, TextIsLossyUtf8) {
  Bytes m = reply({0});
  const std::string xml = "<robot name=\"zk2\">\xC3\xA9\xFF</robot>";
  m.insert(m.end(), xml.begin(), xml.end());
  const auto text = parse_robot_model_reply(m, 10, RobotMode::Idle);
  ASSERT_TRUE(text);
  EXPECT_EQ(*text, "<robot name=\"zk2\">\xC3\xA9\xEF\xBF\xBD</robot>");
  const auto empty = parse_robot_model_reply(reply({0}), 10, RobotMode::Idle);
  ASSERT_TRUE(empty);
  EXPECT_EQ(*empty, "");
}

TEST(RobotModelReply, InvalidSequencesBecomeOneReplacementPerMaximalSubpart) {
  const std::string R = "\xEF\xBF\xBD";
  const struct {
    std::string in, out;
  } cases[] = {
      {"plain", "plain"},
      {"\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80", "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80"},  // 2, 3, 4 bytes
      {"\xC3(", R + "("},                                                                 // bad continuation
      {"a\xE2\x82", "a" + R},                                                             // truncated at end
      {"\xF0\x9F\x98" "A", R + "A"},                                                      // truncated 4-byte
      {"\xC0\xAF", R + R},                                                                // overlong lead
      {"\xE0\x80\x80", R + R + R},                                                        // overlong 3-byte
      {"\xED\xA0\x80", R + R + R},                                                        // surrogate
      {"\xF4\x90\x80\x80", R + R + R + R},                                                // above U+10FFFF
      {"\x80\xBF", R + R},                                                                // lone continuations
      {"\xFF\xFE", R + R},
  };
  for (const auto& c : cases) {
    const auto out = utf8_lossy({reinterpret_cast<const std::uint8_t*>(c.in.data()), c.in.size()});
    EXPECT_EQ(out, c.out) << ::testing::PrintToString(c.in);
  }
}

// ---------------------------------------------------------------- Connect

TEST(ConnectReply, LongAndShortHeaders) {
  using net::HeaderVariant;
  struct Row {
    HeaderVariant variant;
    Bytes message;
    std::uint16_t requested;
    std::optional<std::uint16_t> version;
    ErrorKind kind;
    std::string text;
  };
  const auto incompatible = "libkorvex: Incompatible library version (server version: 5, library version: 10).";
  const auto protocol = "libkorvex: Protocol error during connection attempt";
  const auto size = "libkorvex: Incorrect TCP message size.";
  Bytes long_head(12, 0), short_head(10, 0);
  auto with = [](Bytes head, Bytes payload) {
    head.insert(head.end(), payload.begin(), payload.end());
    return head;
  };
  const Row rows[] = {
      {HeaderVariant::Long, with(long_head, {0, 10, 0}), 10, 10, {}, ""},
      {HeaderVariant::Long, with(long_head, {0, 5, 0}), 5, 5, {}, ""},
      {HeaderVariant::Long, with(long_head, {0, 0x34, 0x12}), 10, 0x1234, {}, ""},
      {HeaderVariant::Long, with(long_head, {1, 5, 0}), 10, {}, ErrorKind::IncompatibleVersion, incompatible},
      {HeaderVariant::Long, with(long_head, {2, 10, 0}), 10, {}, ErrorKind::Protocol, protocol},
      {HeaderVariant::Long, with(long_head, {0, 10}), 10, {}, ErrorKind::Protocol, size},
      {HeaderVariant::Long, long_head, 10, {}, ErrorKind::Protocol, size},
      {HeaderVariant::Short, with(short_head, {0, 0, 3, 0}), 3, 3, {}, ""},
      {HeaderVariant::Short, with(short_head, {1, 0, 2, 0}), 3, {}, ErrorKind::IncompatibleVersion,
       "libkorvex: Incompatible library version (server version: 2, library version: 3)."},
      {HeaderVariant::Short, with(short_head, {0, 1, 3, 0}), 3, {}, ErrorKind::Protocol, protocol},  // status 256
      {HeaderVariant::Short, with(short_head, {0, 0, 3}), 3, {}, ErrorKind::Protocol, size},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(::testing::PrintToString(r.message));
    const auto v = parse_connect_reply(r.message, r.variant, r.requested);
    if (r.version) {
      ASSERT_TRUE(v) << v.error().message();
      EXPECT_EQ(*v, *r.version);
    } else {
      ASSERT_FALSE(v);
      EXPECT_EQ(v.error().kind(), r.kind);
      EXPECT_EQ(v.error().message(), r.text);
    }
  }
  const auto bad = parse_connect_reply(with(long_head, {1, 5, 0}), HeaderVariant::Long, 10);
  EXPECT_EQ(bad.error().server_version(), 5);
  EXPECT_EQ(bad.error().library_version(), 10);

  const auto mismatch = check_connect_version(5, 10);
  ASSERT_FALSE(mismatch);
  EXPECT_EQ(mismatch.error().message(), incompatible);
  EXPECT_TRUE(check_connect_version(10, 10));
}

// ---------------------------------------------------------------- requests

TEST(Requests, ConnectPayload) {
  const auto p = connect_request(10, 0xBEEF);
  EXPECT_EQ(read_le<std::uint16_t>(p.data()), 10);
  EXPECT_EQ(read_le<std::uint16_t>(p.data() + 2), 0xBEEF);
}

TEST(Requests, MovePayloadPerVersion) {
  const Deviation path{1.25, 2.5, 3.75};
  const Deviation goal{-4.5, 5.125, 6.0625};
  const struct {
    std::uint16_t version;
    std::size_t size;
  } cases[] = {{5, 56}, {10, 113}};
  for (const auto& c : cases) {
    const auto p = move_request(c.version, ControllerMode::CartesianImpedance, MotionGeneratorMode::CartesianVelocity,
                                path, goal);
    ASSERT_TRUE(p);
    ASSERT_EQ(p->size(), c.size);
    const std::uint8_t* b = p->data();
    EXPECT_EQ(read_le<std::uint32_t>(b), 1u);
    EXPECT_EQ(read_le<std::uint32_t>(b + 4), 3u);
    const double want[] = {1.25, 2.5, 3.75, -4.5, 5.125, 6.0625};
    for (int i = 0; i < 6; ++i) EXPECT_EQ(read_le<double>(b + 8 + 8 * i), want[i]) << i;
    for (std::size_t i = 56; i < c.size; ++i) EXPECT_EQ(b[i], 0) << i;
  }
  const auto none10 = move_request(10, ControllerMode::ExternalController, MotionGeneratorMode::None, kMoveDeviation,
                                   kMoveDeviation);
  ASSERT_TRUE(none10);
  EXPECT_EQ(read_le<std::uint32_t>(none10->data()), 2u);
  EXPECT_EQ(read_le<std::uint32_t>(none10->data() + 4), 4u);
  EXPECT_EQ(read_le<double>(none10->data() + 24), 2 * std::numbers::pi);

  const auto none5 = move_request(5, ControllerMode::ExternalController, MotionGeneratorMode::None, kMoveDeviation,
                                  kMoveDeviation);
  ASSERT_FALSE(none5);
  EXPECT_EQ(none5.error().kind(), ErrorKind::InvalidArgument);
  EXPECT_EQ(none5.error().message(), "libkorvex: Move: motion generator mode None is not available on KXP version 5.");
}

TEST(Requests, SetPayloadsKeepTheirOrder) {
  CollisionThresholds t;
  double next = 1;
  for (auto* a : {&t.lower_torque_acceleration, &t.upper_torque_acceleration, &t.lower_torque_nominal,
                  &t.upper_torque_nominal})
    for (double& x : *a) x = next++;
  for (auto* a : {&t.lower_force_acceleration, &t.upper_force_acceleration, &t.lower_force_nominal,
                  &t.upper_force_nominal})
    for (double& x : *a) x = next++;
  const auto c = set_collision_behavior_request(t);
  ASSERT_EQ(c.size(), 416u);
  for (int i = 0; i < 52; ++i) EXPECT_EQ(read_le<double>(c.data() + 8 * i), i + 1.0) << i;

  const Vec7 k7{1.5, 2.5, 3.5, 4.5, 5.5, 6.5, 7.5};
  const auto j = set_joint_impedance_request(k7);
  ASSERT_EQ(j.size(), 56u);
  for (int i = 0; i < 7; ++i) EXPECT_EQ(read_le<double>(j.data() + 8 * i), k7[i]);
  const Vec6 k6{3000, 3001, 3002, 300, 301, 302};
  const auto x = set_cartesian_impedance_request(k6);
  ASSERT_EQ(x.size(), 48u);
  for (int i = 0; i < 6; ++i) EXPECT_EQ(read_le<double>(x.data() + 8 * i), k6[i]);
}

// ---------------------------------------------------------------- state decoding

// Documented offsets, written independently of the decoder.
struct FieldSpec {
  const char* name;
  std::function<std::span<const double>(const RobotState&)> get;
  int off5;  // -1: absent on version 5
  int off10;
};
std::span<const double> as_span(const double& x) { return {&x, 1}; }
template <std::size_t N>
std::span<const double> as_span(const std::array<double, N>& a) { return a; }
#define KX_FIELD(f, o5, o10) FieldSpec{#f, [](const RobotState& s) { return as_span(s.f); }, o5, o10}

const std::vector<FieldSpec>& fields() {
  static const std::vector<FieldSpec> f = {
      KX_FIELD(O_T_EE, 8, 8),
      KX_FIELD(O_T_EE_d, 136, 72),
      KX_FIELD(F_T_EE, 264, 136),
      KX_FIELD(EE_T_K, 392, 200),
      KX_FIELD(F_T_NE, 520, 264),
      KX_FIELD(NE_T_EE, 648, 328),
      KX_FIELD(m_ee, 776, 392),
      KX_FIELD(I_ee, 784, 396),
      KX_FIELD(F_x_Cee, 856, 432),
      KX_FIELD(m_load, 880, 444),
      KX_FIELD(I_load, 888, 448),
      KX_FIELD(F_x_Cload, 960, 484),
      KX_FIELD(elbow, 984, 496),
      KX_FIELD(elbow_d, 1000, 504),
      KX_FIELD(tau_J, 1016, 512),
      KX_FIELD(tau_J_d, 1072, 540),
      KX_FIELD(dtau_J, 1128, 568),
      KX_FIELD(q, 1184, 596),
      KX_FIELD(q_d, 1240, 624),
      KX_FIELD(dq, 1296, 652),
      KX_FIELD(dq_d, 1352, 680),
      KX_FIELD(ddq_d, 1408, 708),
      KX_FIELD(joint_contact, 1464, 736),
      KX_FIELD(cartesian_contact, 1520, 764),
      KX_FIELD(joint_collision, 1568, 788),
      KX_FIELD(cartesian_collision, 1624, 816),
      KX_FIELD(tau_ext_hat_filtered, 1672, 840),
      KX_FIELD(O_F_ext_hat_K, 1728, 868),
      KX_FIELD(K_F_ext_hat_K, 1776, 892),
      KX_FIELD(O_dP_EE_d, 1824, 916),
      KX_FIELD(O_ddP_O, 1872, 940),
      KX_FIELD(elbow_c, 1896, 952),
      KX_FIELD(delbow_c, 1912, 960),
      KX_FIELD(ddelbow_c, 1928, 968),
      KX_FIELD(O_T_EE_c, 1944, 976),
      KX_FIELD(O_dP_EE_c, 2072, 1040),
      KX_FIELD(O_ddP_EE_c, 2120, 1064),
      KX_FIELD(theta, 2168, 1088),
      KX_FIELD(dtheta, 2224, 1116),
      KX_FIELD(accelerometer_top, -1, 1144),
      KX_FIELD(accelerometer_bottom, -1, 1216),
      KX_FIELD(control_command_success_rate, 2365, 1373),
  };
  return f;
}
#undef KX_FIELD

struct Tail {
  int mg, ctrl, errors, reflex, mode;
};
constexpr Tail kTail5{2280, 2281, 2282, 2323, 2364};
constexpr Tail kTail10{1288, 1289, 1290, 1331, 1372};

// Field k, element j; on version 10 a float value that is not a short decimal.
double wire_value(std::uint16_t version, std::size_t k, std::size_t j) {
  const double x = (k + 1) * 1.0009765625 + j * 0.1 + 0.3;
  return version == 5 ? x : static_cast<double>(static_cast<float>(x));
}

Bytes make_state(std::uint16_t version, std::uint64_t id) {
  Bytes d(version == 5 ? 2373 : 1377, 0);
  write_le<std::uint64_t>(d.data(), id);
  const auto& fs = fields();
  for (std::size_t k = 0; k < fs.size(); ++k) {
    const int off = version == 5 ? fs[k].off5 : fs[k].off10;
    if (off < 0) continue;
    const std::size_t n = fs[k].get(RobotState{}).size();
    for (std::size_t j = 0; j < n; ++j) {
      const double x = wire_value(version, k, j);
      if (version == 5) write_le<double>(d.data() + off + 8 * j, x);
      else write_le<float>(d.data() + off + 4 * j, static_cast<float>(x));
    }
  }
  return d;
}

TEST(StateDecode, EveryFieldLandsInItsRecordFieldOnBothVersions) {
  for (std::uint16_t version : {5, 10}) {
    SCOPED_TRACE(version);
    Bytes d = make_state(version, 1500);
    const Tail& t = version == 5 ? kTail5 : kTail10;
    d[t.mg] = 3;
    d[t.ctrl] = 2;
    d[t.mode] = 4;
    for (int i = 0; i < 41; ++i) {
      d[t.errors + i] = i % 3 == 0 ? (i % 2 ? 0xFF : 1) : 0;
      d[t.reflex + i] = i % 5 == 1 ? 2 : 0;
    }
    const auto s = decode_state(d, version);
    ASSERT_TRUE(s) << s.error().message();
    EXPECT_EQ(s->time, 1500u);
    EXPECT_EQ(s->robot_mode, RobotMode::Reflex);
    for (int i = 0; i < 41; ++i) {
      EXPECT_EQ(s->current_errors.flags[i], i % 3 == 0) << i;
      EXPECT_EQ(s->last_motion_errors.flags[i], i % 5 == 1) << i;
    }
    const auto& fs = fields();
    for (std::size_t k = 0; k < fs.size(); ++k) {
      const auto got = fs[k].get(*s);
      const bool absent = (version == 5 ? fs[k].off5 : fs[k].off10) < 0;
      for (std::size_t j = 0; j < got.size(); ++j)
        EXPECT_EQ(got[j], absent ? 0.0 : wire_value(version, k, j)) << fs[k].name << "[" << j << "]";
    }
    const auto modes = state_modes(d, version);
    EXPECT_EQ(modes.motion_generator_mode, 3);
    EXPECT_EQ(modes.controller_mode, 2);
    EXPECT_EQ(modes.robot_mode, 4);
    EXPECT_EQ(state_message_id(d), 1500u);
  }
}

TEST(StateDecode, RobotModeByteAboveRangeIsOther) {
  const struct {
    std::uint8_t byte;
    RobotMode mode;
  } cases[] = {{0, RobotMode::Other},  {1, RobotMode::Idle},   {5, RobotMode::UserStopped},
               {6, RobotMode::AutomaticErrorRecovery}, {7, RobotMode::Other}, {9, RobotMode::Other},
               {255, RobotMode::Other}};
  for (std::uint16_t version : {5, 10}) {
    Bytes d = make_state(version, 1);
    for (const auto& c : cases) {
      d[(version == 5 ? kTail5 : kTail10).mode] = c.byte;
      EXPECT_EQ(decode_state(d, version)->robot_mode, c.mode) << int(c.byte);
    }
  }
}

TEST(StateDecode, WrongSizesAreRejected) {
  const struct {
    std::uint16_t version;
    std::size_t size;
  } cases[] = {{5, 0}, {5, 2372}, {5, 2374}, {5, 1377}, {10, 1376}, {10, 1378}, {10, 2373}};
  for (const auto& c : cases) {
    const Bytes d(c.size, 0);
    const auto s = decode_state(d, c.version);
    ASSERT_FALSE(s) << c.size;
    EXPECT_EQ(s.error().kind(), ErrorKind::Protocol);
    EXPECT_EQ(s.error().message(), "libkorvex: incorrect object size");
  }
  EXPECT_EQ(state_size(5), 2373u);
  EXPECT_EQ(state_size(10), 1377u);
}

struct PayloadIn {
  double m_ee;
  Mat3 I_ee;
  Vec3 c_ee;
  double m_load;
  Mat3 I_load;
  Vec3 c_load;
};

RobotState decode_payload(const PayloadIn& p) {
  Bytes d(2373, 0);
  auto put = [&](int off, std::span<const double> xs) {
    for (std::size_t i = 0; i < xs.size(); ++i) write_le<double>(d.data() + off + 8 * i, xs[i]);
  };
  put(776, {&p.m_ee, 1});
  put(784, p.I_ee);
  put(856, p.c_ee);
  put(880, {&p.m_load, 1});
  put(888, p.I_load);
  put(960, p.c_load);
  return *decode_state(d, 5);
}

TEST(StateDecode, PayloadComposition) {
  const Mat3 I_ee{0.01, 0.001, 0.002, 0.001, 0.02, 0.003, 0.002, 0.003, 0.03};
  const Vec3 c_ee{0.01, -0.02, 0.05};
  {  // end effector only: the total is the end effector
    const auto s = decode_payload({0.73, I_ee, c_ee, 0.0, {}, {0.3, 0.3, 0.3}});
    EXPECT_EQ(s.m_total, 0.73);
    for (int i = 0; i < 3; ++i) EXPECT_NEAR(s.F_x_Ctotal[i], c_ee[i], 1e-15);
    for (int i = 0; i < 9; ++i) EXPECT_NEAR(s.I_total[i], I_ee[i], 1e-15) << i;
  }
  {  // no mass at all: zeros even with inertias and centres given
    const auto s = decode_payload({0.0, I_ee, c_ee, 0.0, I_ee, c_ee});
    EXPECT_EQ(s.m_total, 0.0);
    for (double x : s.F_x_Ctotal) EXPECT_EQ(x, 0.0);
    for (double x : s.I_total) EXPECT_EQ(x, 0.0);
  }
  {  // two parts, by hand: combined centre (0.15, 0.075, 0.1), offsets d_ee = (-0.15, -0.075, 0),
     // d_load = (0.05, 0.025, 0); I += m (|d|^2 E - d d^T) per part
    const auto s = decode_payload({1.0, {0.01, 0, 0, 0, 0.02, 0, 0, 0, 0.03}, {0.0, 0.0, 0.1}, 3.0,
                                   {0.001, 0, 0, 0, 0.002, 0, 0, 0, 0.003}, {0.2, 0.1, 0.1}});
    EXPECT_EQ(s.m_total, 4.0);
    const Vec3 c{0.15, 0.075, 0.1};
    for (int i = 0; i < 3; ++i) EXPECT_NEAR(s.F_x_Ctotal[i], c[i], 1e-15);
    const Mat3 want{0.0185, -0.015, 0, -0.015, 0.052, 0, 0, 0, 0.0705};
    for (int i = 0; i < 9; ++i) EXPECT_NEAR(s.I_total[i], want[i], 1e-15) << i;
  }
  {  // a massless end effector contributes nothing, not even its inertia
    const Mat3 I_load{0.004, 0, 0, 0, 0.005, 0, 0, 0, 0.006};
    const auto s = decode_payload({0.0, I_ee, c_ee, 2.0, I_load, {0.1, 0.2, 0.3}});
    for (int i = 0; i < 9; ++i) EXPECT_NEAR(s.I_total[i], I_load[i], 1e-15) << i;
  }
}

// ---------------------------------------------------------------- command encoding

TEST(CommandEncode, FieldsAtTheirOffsetsOnBothVersions) {
  RobotCommand c;
  c.message_id = 0x0102030405060708ull;
  double next = 0.5;
  for (double& x : c.motion.q_c) x = next += 1.25;
  for (double& x : c.motion.dq_c) x = next += 1.25;
  for (double& x : c.motion.O_T_EE_c) x = next += 1.25;
  for (double& x : c.motion.O_dP_EE_c) x = next += 1.25;
  for (double& x : c.motion.elbow_c) x = next += 1.25;
  for (double& x : c.control.tau_J_d) x = next += 1.25;
  c.motion.valid_elbow = true;
  c.motion.motion_generation_finished = false;
  c.control.torque_command_finished = true;

  auto check_doubles = [](const std::uint8_t* b, int off, std::span<const double> xs) {
    for (std::size_t i = 0; i < xs.size(); ++i) EXPECT_EQ(read_le<double>(b + off + 8 * i), xs[i]) << off << "+" << i;
  };
  for (std::uint16_t version : {5, 10}) {
    SCOPED_TRACE(version);
    CommandBuffer buf;
    buf.fill(0xAA);
    const auto out = encode_command(c, version, buf);
    ASSERT_EQ(out.size(), version == 5 ? 370u : 371u);
    ASSERT_EQ(out.data(), buf.data());
    const std::uint8_t* b = out.data();
    EXPECT_EQ(read_le<std::uint64_t>(b), c.message_id);
    check_doubles(b, 8, c.motion.q_c);
    check_doubles(b, 64, c.motion.dq_c);
    check_doubles(b, 120, c.motion.O_T_EE_c);
    check_doubles(b, 248, c.motion.O_dP_EE_c);
    check_doubles(b, 296, c.motion.elbow_c);
    EXPECT_EQ(b[312], 1);
    EXPECT_EQ(b[313], 0);
    check_doubles(b, 314, c.control.tau_J_d);
    if (version == 10) EXPECT_EQ(b[370], 1);
  }
  c.motion.valid_elbow = false;
  c.motion.motion_generation_finished = true;
  c.control.torque_command_finished = false;
  CommandBuffer buf;
  const auto out = encode_command(c, 10, buf);
  EXPECT_EQ(out[312], 0);
  EXPECT_EQ(out[313], 1);
  EXPECT_EQ(out[370], 0);
}

// ---------------------------------------------------------------- the 1 kHz path allocates nothing

TEST(NoAllocation, DecodeAndEncode) {
  const Bytes d5 = make_state(5, 11), d10 = make_state(10, 12);
  RobotCommand c;
  c.control.tau_J_d = {1, 2, 3, 4, 5, 6, 7};
  CommandBuffer buf;
  double sink = 0;
  const long before = korvex::testing::allocations();
  for (int i = 0; i < 100; ++i) {
    const auto s5 = decode_state(d5, 5);
    const auto s10 = decode_state(d10, 10);
    sink += s5->q[0] + s10->q[0] + static_cast<double>(state_modes(d10, 10).robot_mode);
    sink += static_cast<double>(encode_command(c, i % 2 ? 5 : 10, buf)[314]);
  }
  const long after = korvex::testing::allocations();
  EXPECT_EQ(after - before, 0);
  EXPECT_NE(sink, 0);
  // The counter itself works.
  auto* p = new int(3);
  EXPECT_EQ(korvex::testing::allocations(), after + 1);
  delete p;
}

}  // namespace
}  // namespace korvex
