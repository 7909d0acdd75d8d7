// The motion loop against a scripted arm: TCP through the loopback peer, states and commands over UDP.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <numbers>
#include <functional>
#include <new>
#include <optional>
#include <stdexcept>
#include <thread>
#include <vector>

#include "korvex/robot/connection.hpp"
#include "korvex/robot/logger.hpp"
#include "korvex/robot/robot_impl/exception.hpp"
#include "korvex/robot/robot_impl/motion.hpp"
#include "korvex/wire/robot/codec.hpp"
#include "korvex/wire/robot/protocol.hpp"
#include "korvex/wire/robot/receive.hpp"
#include "support/loopback_peer.hpp"
#include "support/allocations.hpp"

namespace korvex {
namespace {

using testing::LoopbackPeer;
using testing::PeerMessage;

constexpr std::uint32_t kMove = 1;
constexpr std::uint32_t kStopMove = 2;
constexpr std::uint32_t kGetRobotModel = 11;
constexpr std::string_view kBusy =
    "libkorvex robot: Cannot perform this operation while another control or read operation is running.";

std::string description() {
  std::string s = "<robot name=\"arm\">";
  for (int i = 1; i <= 7; ++i)
    s += "<joint name=\"joint" + std::to_string(i) +
         "\" type=\"revolute\"><limit lower=\"-2.8\" upper=\"2.8\" velocity=\"2.5\" effort=\"87\"/>"
         "<position_based_velocity_limits velocity_offset=\"0.1\" deceleration_limit=\"10\"/></joint>";
  return s + "</robot>";
}

Pose identity() { return {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1}; }

//! The arm's UDP side, with bounded waits.
class ArmUdp {
 public:
  ArmUdp() {
    fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in a = loopback(0);
    if (fd_ < 0 || ::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0)
      throw std::runtime_error("arm udp: bind");
  }
  ~ArmUdp() { ::close(fd_); }
  void send_to(std::uint16_t port, std::span<const std::uint8_t> bytes) {
    const sockaddr_in a = loopback(port);
    if (::sendto(fd_, bytes.data(), bytes.size(), 0, reinterpret_cast<const sockaddr*>(&a), sizeof a) < 0)
      throw std::runtime_error("arm udp: send");
  }
  std::optional<net::Bytes> receive_for(std::chrono::milliseconds wait) {
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(wait.count())) <= 0) return std::nullopt;
    net::Bytes out(4096);
    const ssize_t n = ::recv(fd_, out.data(), out.size(), 0);
    if (n < 0) throw std::runtime_error("arm udp: receive");
    out.resize(static_cast<std::size_t>(n));
    return out;
  }

 private:
  static sockaddr_in loopback(std::uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(port);
    return a;
  }
  int fd_ = -1;
};

//! A scripted arm: the test thread plays it step by step.
struct FakeArm {
  explicit FakeArm(std::uint16_t v) : version(v) {
    state.robot_mode = RobotMode::Idle;
    state.O_T_EE_c = identity();
    state.O_T_EE = identity();
    state.q_d = {0, -0.3, 0, -2.0, 0, 1.9, 0.8};
    state.elbow_c = {0, -1};
    state.control_command_success_rate = 1.0;
  }

  //! Connect, the first state, and on version 10 the model description.
  void handshake() {
    const PeerMessage connect = tcp.read_message();
    EXPECT_EQ(connect.command, 0u);
    EXPECT_EQ(connect.payload.at(0) | connect.payload.at(1) << 8, version);
    client_port = static_cast<std::uint16_t>(connect.payload.at(2) | connect.payload.at(3) << 8);
    const std::uint8_t reply[] = {0, static_cast<std::uint8_t>(version), 0};
    tcp.reply(0, connect.id, reply);
    send_state();
    if (version == 10) {
      const PeerMessage m = tcp.read_message();
      EXPECT_EQ(m.command, kGetRobotModel);
      net::Bytes payload{0};
      const std::string text = description();
      payload.insert(payload.end(), text.begin(), text.end());
      tcp.reply(m.command, m.id, payload);
    }
  }

  PeerMessage expect(std::uint32_t command) {
    PeerMessage m = tcp.read_message();
    EXPECT_EQ(m.command, command);
    return m;
  }
  void reply(const PeerMessage& m, std::uint8_t status) {
    const std::uint8_t payload[] = {status};
    tcp.reply(m.command, m.id, payload);
  }

  void running(std::uint8_t generator, std::uint8_t controller) {
    modes = {generator, controller, 2};
    state.robot_mode = RobotMode::Move;
  }
  void ended(RobotMode mode) {
    modes = {0, 0, static_cast<std::uint8_t>(mode)};
    state.robot_mode = mode;
  }

  std::uint64_t send_state() {
    state.time = next_id++;
    modes.robot_mode = static_cast<std::uint8_t>(state.robot_mode);
    std::array<std::uint8_t, kMaxStateSize> buffer{};
    udp.send_to(client_port, encode_state(state, modes, version, buffer));
    return state.time;
  }

  //! Sends states until a command comes back: while starting and in its first cycle the client sends none.
  std::pair<RobotCommand, net::Bytes> cycle() {
    for (int attempt = 0; attempt < 100; ++attempt) {
      send_state();
      if (auto bytes = udp.receive_for(std::chrono::milliseconds(20))) {
        EXPECT_EQ(bytes->size(), command_size(version));
        auto command = decode_command(*bytes, version);
        if (!command) throw std::runtime_error("arm: undecodable command");
        return {*command, *bytes};
      }
    }
    throw std::runtime_error("arm: no command within 2 s");
  }

  //! Waits for the command that answers the state with this id.
  RobotCommand answer(std::uint64_t id) {
    for (int i = 0; i < 100; ++i) {
      auto bytes = udp.receive_for(std::chrono::milliseconds(2000));
      if (!bytes) break;
      auto command = decode_command(*bytes, version);
      if (command && command->message_id == id) return *command;
    }
    throw std::runtime_error("arm: no answer to state " + std::to_string(id));
  }

  //! Runs cycles until a command carries a finished flag; returns every command.
  std::vector<RobotCommand> cycles_until_finished() {
    std::vector<RobotCommand> out;
    for (int i = 0; i < 5000; ++i) {
      out.push_back(cycle().first);
      if (out.back().motion.motion_generation_finished || out.back().control.torque_command_finished) return out;
    }
    throw std::runtime_error("arm: the motion never finished");
  }

  //! After a cancel: Stop Move answered, and a state that shows the motion over.
  void serve_cancel() {
    reply(expect(kStopMove), 0);
    send_state();
  }

  std::uint16_t version;
  LoopbackPeer tcp;
  ArmUdp udp;
  std::uint16_t client_port = 0;
  std::uint64_t next_id = 1000;
  RobotState state;
  StateModes modes{0, 0, 1};
};

//! Creates a connection and runs `body` in its own thread (connections raise their thread to SCHED_FIFO).
class Client {
 public:
  Client(FakeArm& arm, std::function<Status(Connection&)> body, std::size_t log_size = 50) : arm_(arm) {
    const auto choice = arm.version == 5 ? ProtocolChoice::V5 : ProtocolChoice::V10;
    thread_ = std::thread([this, address = arm.tcp.address(), body = std::move(body), log_size, choice] {
      auto c = Connection::create(address, true, log_size, choice);
      if (!c) {
        result_.emplace(fail(c.error()));
        done_ = true;
        return;
      }
      connection_ = *c;
      result_.emplace(body(**c));
      done_ = true;
    });
  }
  ~Client() {
    if (!thread_.joinable()) return;
    arm_.tcp.close();  // a failed script: let the client's waits end
    thread_.join();
  }
  Status join() {
    thread_.join();
    return *result_;
  }
  bool done() const { return done_; }
  //! Valid after join().
  Connection& connection() { return *connection_; }

 private:
  FakeArm& arm_;
  std::thread thread_;
  std::optional<Status> result_;
  std::shared_ptr<Connection> connection_;
  std::atomic<bool> done_{false};
};

double f64_at(const net::Bytes& b, std::size_t offset) {
  double x;
  std::memcpy(&x, b.data() + offset, 8);
  return x;
}

void expect_move_payload(const PeerMessage& move, std::uint16_t version, std::uint32_t controller,
                         std::uint32_t generator) {
  ASSERT_EQ(move.payload.size(), version == 5 ? 56u : 113u);
  EXPECT_EQ(move.payload[0] | move.payload[1] << 8, static_cast<int>(controller));
  EXPECT_EQ(move.payload[4] | move.payload[5] << 8, static_cast<int>(generator));
  for (std::size_t base : {8u, 32u}) {
    EXPECT_EQ(f64_at(move.payload, base), 10.0);
    EXPECT_EQ(f64_at(move.payload, base + 8), 3.12);
    EXPECT_EQ(f64_at(move.payload, base + 16), 2 * std::numbers::pi);
  }
}

const ControlException& control_of(const Status& s) {
  static const ControlException none{};
  if (s || s.error().kind() != ErrorKind::Control || !s.error().control_exception()) {
    ADD_FAILURE() << "not a control error: " << (s ? std::string("success") : s.error().debug());
    return none;
  }
  return *s.error().control_exception();
}

// --- motions that end well ---

TEST(MotionLoop, TorqueMotionOnVersion10) {
  FakeArm arm(10);
  std::vector<std::pair<std::uint64_t, std::uint64_t>> seen;  // (state time, elapsed)
  Client client(arm, [&](Connection& c) {
    return c.control_torques(
        [&](const RobotState& s, std::uint64_t elapsed) {
          seen.emplace_back(s.time, elapsed);
          Torques t;
          t.tau_J = {0.1, -0.2, 0.3, -0.4, 0.5, -0.6, 0.7};
          t.tau_J[0] += 0.01 * static_cast<double>(seen.size());
          t.motion_finished = seen.size() == 4;
          return t;
        },
        true, 1000);
  });
  arm.handshake();
  const PeerMessage move = arm.expect(kMove);
  expect_move_payload(move, 10, 2, 4);
  arm.reply(move, 1);  // motion started
  arm.running(5, 2);
  std::vector<std::pair<RobotCommand, net::Bytes>> sent;
  for (int i = 0; i < 2; ++i) sent.push_back(arm.cycle());
  arm.next_id += 2;  // two states lost on the way
  for (int i = 0; i < 2; ++i) sent.push_back(arm.cycle());
  arm.ended(RobotMode::Idle);
  arm.send_state();
  arm.reply(move, 0);
  const Status result = client.join();
  ASSERT_TRUE(result.has_value()) << result.error().debug();

  ASSERT_EQ(seen.size(), 4u);
  ASSERT_EQ(sent.size(), 4u);
  EXPECT_EQ(seen[0].second, 0u);
  for (std::size_t k = 0; k < 4; ++k) {
    const RobotCommand& c = sent[k].first;
    EXPECT_EQ(c.message_id, seen[k].first) << k;  // echoes the state the callback saw
    if (k > 0) EXPECT_EQ(seen[k].second, seen[k].first - seen[k - 1].first) << k;
    EXPECT_DOUBLE_EQ(c.control.tau_J_d[0], 0.1 + 0.01 * static_cast<double>(k + 1));
    EXPECT_EQ(c.control.tau_J_d[6], 0.7);
    EXPECT_EQ(c.control.torque_command_finished, k == 3) << k;
    // No motion generator on version 10: the whole motion part is zeros.
    EXPECT_EQ(c.motion.q_c, Vec7{});
    EXPECT_EQ(c.motion.dq_c, Vec7{});
    EXPECT_FALSE(c.motion.motion_generation_finished);
  }
  EXPECT_EQ(seen[2].second, 3u);
  // The exact bytes of the finished command.
  RobotCommand expected{};
  expected.message_id = seen[3].first;
  expected.control.tau_J_d = {0.14, -0.2, 0.3, -0.4, 0.5, -0.6, 0.7};
  expected.control.torque_command_finished = true;
  CommandBuffer buffer;
  const auto bytes = encode_command(expected, 10, buffer);
  EXPECT_EQ(sent[3].second, net::Bytes(bytes.begin(), bytes.end()));

  // A finished motion resets the expected modes.
  StateBookkeeping& b = client.connection().bookkeeping();
  EXPECT_EQ(b.expected_motion_generator_mode, 0);
  EXPECT_EQ(b.expected_controller_mode, 3);
}

TEST(MotionLoop, TorqueMotionOnVersion5RunsAZeroVelocityGenerator) {
  FakeArm arm(5);
  arm.state.dq_d = {0.3, 0, 0, 0, 0, 0, 0};  // the generator brakes it within its jerk bound
  int calls = 0;
  Client client(arm, [&](Connection& c) {
    return c.control_torques(
        [&](const RobotState&, std::uint64_t) {
          Torques t;
          t.tau_J.fill(0.25);
          t.motion_finished = ++calls == 3;
          return t;
        },
        true, 100);
  });
  arm.handshake();
  const PeerMessage move = arm.expect(kMove);
  expect_move_payload(move, 5, 2, 1);  // external controller, joint velocity
  arm.reply(move, 1);
  arm.running(2, 2);
  const auto commands = arm.cycles_until_finished();
  arm.ended(RobotMode::Idle);
  arm.send_state();
  arm.reply(move, 0);
  const Status result = client.join();
  ASSERT_TRUE(result.has_value()) << result.error().debug();

  ASSERT_EQ(commands.size(), 3u);
  const double filtered = 0.25 * (0.001 / (0.001 + 1 / (200 * std::numbers::pi)));
  const double braked = 0.3 - 7499.999 * 1e-6;
  for (std::size_t k = 0; k < 3; ++k) {
    const RobotCommand& c = commands[k];
    EXPECT_NEAR(c.control.tau_J_d[2], filtered, 1e-15) << k;  // low-passed against tau_J_d = 0
    EXPECT_NEAR(c.motion.dq_c[0], braked, 1e-15) << k;
    EXPECT_EQ(c.motion.dq_c[1], 0.0) << k;
    EXPECT_EQ(c.motion.motion_generation_finished, k == 2) << k;
    EXPECT_FALSE(c.control.torque_command_finished);  // not sent on version 5
  }
}

TEST(MotionLoop, JointPositionMotionSendsTheCommandUnshaped) {
  FakeArm arm(10);
  const Vec7 target = {0.1, -0.2, 0.05, -2.1, 0.0, 1.8, 0.7};
  int calls = 0;
  Client client(arm, [&](Connection& c) {
    return c.control_joint_positions(
        ControllerMode::JointImpedance,
        [&](const RobotState&, std::uint64_t) { return JointPositions{target, ++calls == 2}; }, false, 1000);
  });
  arm.handshake();
  const PeerMessage move = arm.expect(kMove);
  expect_move_payload(move, 10, 0, 0);
  arm.reply(move, 1);
  arm.running(1, 0);
  std::vector<std::pair<RobotCommand, net::Bytes>> sent{arm.cycle(), arm.cycle()};
  arm.ended(RobotMode::Idle);
  arm.send_state();
  arm.reply(move, 0);
  ASSERT_TRUE(client.join().has_value());
  for (std::size_t k = 0; k < 2; ++k) {
    RobotCommand expected{};
    expected.message_id = sent[k].first.message_id;
    expected.motion.q_c = target;
    expected.motion.motion_generation_finished = k == 1;
    CommandBuffer buffer;
    const auto bytes = encode_command(expected, 10, buffer);
    EXPECT_EQ(sent[k].second, net::Bytes(bytes.begin(), bytes.end())) << k;
  }
}

TEST(MotionLoop, CartesianPoseMotionCarriesTheElbow) {
  FakeArm arm(10);
  int calls = 0;
  Client client(arm, [&](Connection& c) {
    return c.control_cartesian_pose(
        ControllerMode::CartesianImpedance,
        [&](const RobotState& s, std::uint64_t) { return CartesianPose{s.O_T_EE_c, Vec2{0.0, -1.0}, ++calls == 3}; },
        true, 100);
  });
  arm.handshake();
  const PeerMessage move = arm.expect(kMove);
  expect_move_payload(move, 10, 1, 2);
  arm.reply(move, 1);
  arm.running(3, 1);
  const auto commands = arm.cycles_until_finished();
  arm.ended(RobotMode::Idle);
  arm.send_state();
  arm.reply(move, 0);
  ASSERT_TRUE(client.join().has_value());
  ASSERT_EQ(commands.size(), 3u);
  for (const RobotCommand& c : commands) {
    EXPECT_EQ(c.motion.O_T_EE_c, identity());
    EXPECT_EQ(c.motion.elbow_c, (Vec2{0.0, -1.0}));
    EXPECT_TRUE(c.motion.valid_elbow);
    EXPECT_EQ(c.control.tau_J_d, Vec7{});
  }
  EXPECT_TRUE(commands.back().motion.motion_generation_finished);
}

// --- abnormal ends ---

TEST(MotionLoop, ReflexAbortCarriesFlagsLogAndSuccessRate) {
  FakeArm arm(10);
  int calls = 0;
  Client client(
      arm,
      [&](Connection& c) {
        return c.control_torques(
            [&](const RobotState&, std::uint64_t) {
              ++calls;
              return Torques{{0.5, 0, 0, 0, 0, 0, 0}, false};
            },
            true, 1000);
      },
      4);
  arm.handshake();
  const PeerMessage move = arm.expect(kMove);
  arm.reply(move, 1);
  arm.running(5, 2);
  for (int i = 0; i < 5; ++i) arm.cycle();
  arm.state.control_command_success_rate = 0.95;
  arm.answer(arm.send_state());  // the client now waits for the next state with nothing queued
  arm.next_id += 2;  // two states lost before the reflex state
  arm.ended(RobotMode::Reflex);
  arm.state.last_motion_errors.flags[6] = true;  // joint_reflex
  ::testing::internal::CaptureStderr();
  const std::uint64_t reflex_time = arm.send_state();
  arm.reply(move, 8);  // reflex aborted
  arm.serve_cancel();
  const Status result = client.join();
  const std::string err = ::testing::internal::GetCapturedStderr();

  const std::string message =
      "libkorvex: Move command aborted: motion aborted by reflex! [\"joint_reflex\"]\n"
      "control_command_success_rate: 0.931 packets lost in a row in the last sample: 2";
  const ControlException& e = control_of(result);
  EXPECT_EQ(e.message, message);
  EXPECT_EQ(e.move_status, MoveStatus::ReflexAborted);
  EXPECT_TRUE(e.last_motion_errors.flags[6]);
  ASSERT_EQ(e.log.size(), 4u);  // log_size 4: the last four cycles, oldest first
  EXPECT_EQ(e.log.back().state.time, reflex_time);
  EXPECT_EQ(e.log.back().command.tau_J_d[0], 0.5);
  for (std::size_t k = 1; k < e.log.size(); ++k) EXPECT_LT(e.log[k - 1].state.time, e.log[k].state.time);
  EXPECT_NE(err.find(message + "\n"), std::string::npos) << err;
}

TEST(MotionLoop, PreemptedMotionAndUserStop) {
  const struct {
    std::uint8_t status;
    MoveStatus move_status;
    RobotMode mode;
    const char* message;
  } cases[] = {
      {2, MoveStatus::Preempted, RobotMode::Idle, "libkorvex: Move command preempted!"},
      {9, MoveStatus::EmergencyAborted, RobotMode::UserStopped, "libkorvex: Move command aborted: User Stop pressed!"},
  };
  for (const auto& c : cases) {
    FakeArm arm(10);
    Client client(arm, [&](Connection& conn) {
      return conn.control_torques([&](const RobotState&, std::uint64_t) { return Torques{}; }, true, 100);
    });
    arm.handshake();
    const PeerMessage move = arm.expect(kMove);
    arm.reply(move, 1);
    arm.running(5, 2);
    for (int i = 0; i < 3; ++i) arm.cycle();
    arm.ended(c.mode);
    arm.state.last_motion_errors.flags[7] = true;  // not listed: only a reflex lists flags
    ::testing::internal::CaptureStderr();
    arm.send_state();
    arm.reply(move, c.status);
    arm.serve_cancel();
    const Status result = client.join();
    const std::string err = ::testing::internal::GetCapturedStderr();
    const ControlException& e = control_of(result);
    EXPECT_EQ(e.message, c.message);
    EXPECT_EQ(e.move_status, c.move_status);
    EXPECT_FALSE(e.log.empty());
    EXPECT_EQ(err, std::string(c.message) + "\n");
  }
}

TEST(MotionLoop, FinishAnsweredWithReflexOrUnexpectedSuccess) {
  // A final ReflexAborted after finishing, and a Success while the library had not finished the motion.
  for (bool finish : {true, false}) {
    FakeArm arm(10);
    int calls = 0;
    Client client(arm, [&](Connection& c) {
      return c.control_torques(
          [&](const RobotState&, std::uint64_t) { return Torques{{}, finish && ++calls == 2}; }, true, 1000);
    });
    arm.handshake();
    const PeerMessage move = arm.expect(kMove);
    arm.reply(move, 1);
    arm.running(5, 2);
    arm.cycle();
    arm.cycle();
    arm.ended(RobotMode::Reflex);
    arm.state.last_motion_errors.flags[7] = true;  // cartesian_reflex
    ::testing::internal::CaptureStderr();
    arm.send_state();
    arm.reply(move, finish ? 8 : 0);
    arm.serve_cancel();
    const Status result = client.join();
    (void)::testing::internal::GetCapturedStderr();
    ASSERT_FALSE(result.has_value());
    if (finish) {
      const ControlException& e = control_of(result);
      EXPECT_EQ(e.message.rfind("Motion finished commanded, but the robot is still moving! [\"cartesian_reflex\"]\n"
                                "control_command_success_rate: 1",
                                0),
                0u)
          << e.message;
      EXPECT_EQ(e.move_status, MoveStatus::ReflexAborted);
    } else {
      EXPECT_EQ(result.error().kind(), ErrorKind::Protocol);
      EXPECT_EQ(result.error().message(), "Unexpected reply to a Move command");
    }
  }
}

TEST(MotionLoop, ShapingErrorCancelsTheMotion) {
  FakeArm arm(10);
  int calls = 0;
  Client client(arm, [&](Connection& c) {
    return c.control_joint_positions(
        ControllerMode::JointImpedance,
        [&](const RobotState& s, std::uint64_t) {
          JointPositions p{s.q_d, false};
          if (++calls == 3) p.q[4] = std::numeric_limits<double>::quiet_NaN();
          return p;
        },
        false, 1000);
  });
  arm.handshake();
  const PeerMessage move = arm.expect(kMove);
  arm.reply(move, 1);
  arm.running(1, 0);
  arm.cycle();
  arm.cycle();
  arm.send_state();  // the callback's third state; the NaN command is never sent
  const PeerMessage stop = arm.expect(kStopMove);
  EXPECT_TRUE(stop.payload.empty());
  arm.reply(stop, 0);
  arm.ended(RobotMode::Idle);
  arm.send_state();
  arm.reply(move, 2);  // the Move's own end, discarded by the cancel
  const Status result = client.join();
  ASSERT_FALSE(result.has_value());
  EXPECT_EQ(result.error().kind(), ErrorKind::InvalidArgument);
  EXPECT_EQ(result.error().message(), "Commanding value is infinite or NaN.");
  EXPECT_EQ(calls, 3);
  EXPECT_EQ(client.connection().bookkeeping().expected_controller_mode, 3);  // reset by the cancel
  EXPECT_FALSE(arm.udp.receive_for(std::chrono::milliseconds(20)).has_value());
}

TEST(MotionLoop, StartRefused) {
  // Move rejected: the Command error unchanged, the expected modes left set, no cancel.
  FakeArm arm(10);
  bool called = false;
  Client client(arm, [&](Connection& c) {
    return c.control_torques(
        [&](const RobotState&, std::uint64_t) {
          called = true;
          return Torques{};
        },
        true, 100);
  });
  arm.handshake();
  arm.reply(arm.expect(kMove), 5);
  const Status result = client.join();
  ASSERT_FALSE(result.has_value());
  EXPECT_EQ(result.error().kind(), ErrorKind::Command);
  EXPECT_EQ(result.error().message(),
            "libkorvex: Move command rejected: command not possible in the current mode (\"Idle\")!");
  EXPECT_FALSE(called);
  EXPECT_EQ(client.connection().bookkeeping().expected_motion_generator_mode, 5);
  EXPECT_EQ(client.connection().bookkeeping().expected_controller_mode, 2);
}

TEST(MotionLoop, SecondReplyWhileStartingIsAControlException) {
  FakeArm arm(10);
  Client client(arm, [&](Connection& c) {
    return c.control_torques([&](const RobotState&, std::uint64_t) { return Torques{}; }, true, 100);
  });
  arm.handshake();
  const PeerMessage move = arm.expect(kMove);
  arm.reply(move, 1);
  arm.reply(move, 11);  // aborted before the states ever showed the motion
  // Idle states keep the start loop polling for the second reply.
  for (int i = 0; i < 400 && !client.done(); ++i) {
    arm.send_state();
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  const Status result = client.join();
  const ControlException& e = control_of(result);
  EXPECT_EQ(e.message, "libkorvex: Move command aborted!");
  EXPECT_FALSE(e.move_status.has_value());
  EXPECT_TRUE(e.log.empty());
}

TEST(MotionLoop, StartRefusedWhileAnotherMotionRuns) {
  // The last state shows a running external controller: nothing is sent.
  FakeArm arm(10);
  arm.modes = {0, 2, 1};
  Client client(arm, [&](Connection& c) {
    return c.control_torques([&](const RobotState&, std::uint64_t) { return Torques{}; }, true, 100);
  });
  arm.handshake();
  const Status result = client.join();
  const ControlException& e = control_of(result);
  EXPECT_EQ(e.message, "libkorvex robot: Attempted to start multiple motions!");
  EXPECT_TRUE(e.log.empty());
  EXPECT_FALSE(e.move_status.has_value());
  EXPECT_FALSE(e.last_motion_errors.any());
}

TEST(MotionLoop, BusyGuardRefusesASecondLoop) {
  FakeArm arm(10);
  int calls = 0;
  std::vector<Status> refused;
  Client client(arm, [&](Connection& c) {
    return c.control_torques(
        [&](const RobotState&, std::uint64_t) {
          if (++calls == 2) {
            std::thread([&] {
              refused.push_back(c.control_torques([](const RobotState&, std::uint64_t) { return Torques{}; }, true, 100));
              refused.push_back(c.control_joint_positions(
                  ControllerMode::JointImpedance, [](const RobotState&, std::uint64_t) { return JointPositions{}; },
                  true, 100));
              refused.push_back(c.control_cartesian_pose(
                  ControllerMode::CartesianImpedance,
                  [](const RobotState&, std::uint64_t) { return CartesianPose{}; }, true, 100));
            }).join();
          }
          return Torques{{}, calls == 4};
        },
        true, 100);
  });
  arm.handshake();
  const PeerMessage move = arm.expect(kMove);
  arm.reply(move, 1);
  arm.running(5, 2);
  EXPECT_EQ(arm.cycles_until_finished().size(), 4u);
  arm.ended(RobotMode::Idle);
  arm.send_state();
  arm.reply(move, 0);
  const Status result = client.join();
  EXPECT_TRUE(result.has_value());  // the first loop is untouched
  ASSERT_EQ(refused.size(), 3u);
  for (const Status& r : refused) {
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error().kind(), ErrorKind::InvalidOperation);
    EXPECT_EQ(r.error().message(), kBusy);
  }
}

TEST(MotionLoop, CommandPartsMustMatchTheExpectedModes) {
  // Driving the loop's operations directly: a controller mode the arm has no motion part for.
  FakeArm arm(10);
  std::vector<Status> sends;
  Client client(arm, [&](Connection& c) {
    robot_impl::MotionLoop loop(c, 1000, false);
    {
      std::lock_guard lock(c.bookkeeping().mutex);
      c.bookkeeping().expected_motion_generator_mode = 1;
      c.bookkeeping().expected_controller_mode = 2;
    }
    robot_impl::CycleCommands motion_only;
    motion_only.has_motion = true;
    robot_impl::CycleCommands control_only;
    control_only.has_control = true;
    auto a = loop.update(&motion_only);
    auto b = loop.update(&control_only);
    {
      std::lock_guard lock(c.bookkeeping().mutex);
      c.bookkeeping().expected_motion_generator_mode = 5;
      c.bookkeeping().expected_controller_mode = 0;
    }
    auto d = loop.update(&motion_only);
    auto e = loop.update(&control_only);
    for (auto* r : {&a, &b, &d, &e}) sends.push_back(r->has_value() ? Status{} : fail(r->error()));
    return Status{};
  });
  arm.handshake();
  ASSERT_TRUE(client.join().has_value());
  const char* expected[] = {
      "libkorvex robot: Trying to send partial robot command!",
      "libkorvex robot: Trying to send partial robot command!",
      "libkorvex robot: Trying to send motion command, but no motion generator running!",
      "libkorvex robot: Trying to send control command, but no controller running!",
  };
  ASSERT_EQ(sends.size(), 4u);
  for (std::size_t k = 0; k < 4; ++k) EXPECT_EQ(control_of(sends[k]).message, expected[k]) << k;
  EXPECT_FALSE(arm.udp.receive_for(std::chrono::milliseconds(20)).has_value());
}

TEST(MotionLoop, LostStateStreamEndsWithTheNetworkError) {
  FakeArm arm(5);
  Client client(arm, [&](Connection& c) {
    return c.control_torques([](const RobotState&, std::uint64_t) { return Torques{}; }, true, 100);
  });
  arm.handshake();
  const PeerMessage move = arm.expect(kMove);
  arm.reply(move, 1);
  arm.running(2, 2);
  arm.cycle();
  ::testing::internal::CaptureStderr();
  // No more states: the receive times out after 1 s and the cancel finds the command channel shut.
  const Status result = client.join();
  const std::string err = ::testing::internal::GetCapturedStderr();
  ASSERT_FALSE(result.has_value());
  EXPECT_EQ(result.error().kind(), ErrorKind::Network);
  EXPECT_EQ(result.error().message(), "libkorvex: UDP receive: Timeout");
  EXPECT_EQ(err, "libkorvex robot: TCP connection is closed. Cannot cancel motion.\n");
}

// --- no allocation per cycle ---

struct AllocationRun {
  std::uint16_t version;
  int kind;  // 0 torques, 1 joint positions, 2 Cartesian pose
  std::uint8_t generator, controller;
};

TEST(MotionLoop, NoAllocationPerCycleAfterStartUp) {
  constexpr int kCycles = 400;
  constexpr int kWarmUp = 5;
  const AllocationRun runs[] = {{10, 0, 5, 2}, {5, 0, 2, 2}, {10, 1, 1, 0}, {10, 2, 3, 1}, {5, 2, 3, 1}};
  for (const AllocationRun& run : runs) {
    FakeArm arm(run.version);
    std::vector<std::size_t> counts;
    counts.reserve(kCycles + 1);
    const auto note = [&] {
      counts.push_back(korvex::testing::thread_allocations());
      return static_cast<int>(counts.size()) == kCycles;
    };
    Client client(arm, [&](Connection& c) -> Status {
      switch (run.kind) {
        case 0:
          return c.control_torques(
              [&](const RobotState& s, std::uint64_t) { return Torques{s.tau_J_d, note()}; }, true, 100);
        case 1:
          return c.control_joint_positions(
              ControllerMode::JointImpedance,
              [&](const RobotState& s, std::uint64_t) { return JointPositions{s.q_d, note()}; }, true, 100);
        default:
          return c.control_cartesian_pose(
              ControllerMode::CartesianImpedance,
              [&](const RobotState& s, std::uint64_t) { return CartesianPose{s.O_T_EE_c, s.elbow_c, note()}; },
              true, 100);
      }
    });
    arm.handshake();
    const PeerMessage move = arm.expect(kMove);
    arm.reply(move, 1);
    arm.running(run.generator, run.controller);
    EXPECT_EQ(arm.cycles_until_finished().size(), static_cast<std::size_t>(kCycles));
    arm.ended(RobotMode::Idle);
    arm.send_state();
    arm.reply(move, 0);
    const Status result = client.join();
    ASSERT_TRUE(result.has_value()) << result.error().debug();
    ASSERT_EQ(counts.size(), static_cast<std::size_t>(kCycles));
    EXPECT_EQ(counts.back() - counts[kWarmUp], 0u)
        << "version " << run.version << " kind " << run.kind << ": allocations across "
        << kCycles - 1 - kWarmUp << " cycles";
  }
}

}  // namespace
}  // namespace korvex
