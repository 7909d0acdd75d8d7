#include <gtest/gtest.h>

#include <cmath>
#include <thread>

#include "korvex/network/tcp.hpp"
#include "korvex/network/udp.hpp"
#include "korvex/robot/connection.hpp"
#include "korvex/wire/robot/codec.hpp"
#include "korvex/wire/robot/protocol.hpp"
#include "sim/arm_simulator.hpp"

namespace korvex {
namespace {

using sim::ArmModel;
using sim::ArmSimulator;
using sim::Pacing;

// Plays the client side of a motion by hand: Move, one command per state, the final reply.
class Client {
 public:
  explicit Client(const std::string& address) {
    std::thread([&] {
      auto c = Connection::create(address, true, 0);
      EXPECT_TRUE(c.has_value()) << c.error().message();
      if (c) conn_ = *c;
    }).join();
  }

  std::uint16_t version() const { return conn_->kxp_version(); }

  MoveStatus start(ControllerMode controller, MotionGeneratorMode generator) {
    auto payload = move_request(version(), controller, generator, kMoveDeviation, kMoveDeviation);
    EXPECT_TRUE(payload.has_value());
    auto id = conn_->tcp().send(*command_id(Command::Move, version()), *payload);
    EXPECT_TRUE(id.has_value());
    move_id_ = *id;
    auto reply = conn_->tcp().receive_reply(move_id_);
    EXPECT_TRUE(reply.has_value());
    return *parse_move_reply(*reply, version());
  }

  RobotState state() {
    auto s = conn_->read_once();
    EXPECT_TRUE(s.has_value()) << s.error().message();
    last_ = *s;
    return *s;
  }

  void send(RobotCommand c) {
    c.message_id = last_.time;
    CommandBuffer buf{};
    ASSERT_TRUE(conn_->udp().send(encode_command(c, version(), buf)).has_value());
  }

  std::optional<MoveStatus> final_status() {
    auto r = conn_->tcp().try_receive_reply(move_id_);
    if (!r || !*r) return std::nullopt;
    return *parse_move_reply(**r, version());
  }

  // Sends `make(state)` every cycle until the arm ends the motion or `cycles` pass.
  template <class Make>
  std::optional<MoveStatus> run(int cycles, Make&& make) {
    for (int i = 0; i < cycles; ++i) {
      const RobotState s = state();
      if (auto f = final_status()) return f;
      send(make(s, i));
    }
    for (int i = 0; i < 50; ++i) {  // the last command may still end the motion
      state();
      if (auto f = final_status()) return f;
    }
    return std::nullopt;
  }

  Connection& connection() { return *conn_; }

 private:
  std::shared_ptr<Connection> conn_;
  std::uint32_t move_id_ = 0;
  RobotState last_{};
};

struct Started {
  explicit Started(ArmModel model = ArmModel::ZK2) : sim({model, "127.0.0.1", 0, true, Pacing::Lockstep, 50}) {
    EXPECT_TRUE(sim.start().has_value());
  }
  ArmSimulator sim;
};

double max_abs_diff(const Vec7& a, const Vec7& b) {
  double m = 0;
  for (int j = 0; j < 7; ++j) m = std::max(m, std::fabs(a[j] - b[j]));
  return m;
}

TEST(ArmSimulator, StatesCarryTheModelsPoses) {
  Started s;
  Client c(s.sim.address());
  const RobotState st = c.state();
  EXPECT_EQ(st.robot_mode, RobotMode::Idle);
  // The end effector of the home pose hangs in front of the base, pointing down.
  EXPECT_GT(st.O_T_EE[12], 0.2);
  EXPECT_GT(st.O_T_EE[14], 0.2);
  EXPECT_NEAR(st.O_T_EE[10], -1.0, 1e-9);
  EXPECT_NEAR(st.m_total, 0.73, 1e-6);
}

TEST(ArmSimulator, ZeroTorquesHoldTheArmAndFinish) {
  for (ArmModel model : {ArmModel::ZK2, ArmModel::ZK1}) {
    Started s(model);
    Client c(s.sim.address());
    const bool v10 = c.version() == 10;
    ASSERT_EQ(c.start(ControllerMode::ExternalController,
                      v10 ? MotionGeneratorMode::None : MotionGeneratorMode::JointVelocity),
              MoveStatus::MotionStarted);
    // States sent before the Move was taken may still be on their way.
    RobotState first = c.state();
    for (int i = 0; i < 50 && first.robot_mode != RobotMode::Move; ++i) first = c.state();
    EXPECT_EQ(first.robot_mode, RobotMode::Move);
    auto end = c.run(300, [&](const RobotState&, int i) {
      RobotCommand cmd;
      cmd.control.torque_command_finished = v10 && i == 299;
      cmd.motion.motion_generation_finished = !v10 && i == 299;
      return cmd;
    });
    ASSERT_TRUE(end.has_value());
    EXPECT_EQ(*end, MoveStatus::Success);
    const RobotState last = c.state();
    EXPECT_EQ(last.robot_mode, RobotMode::Idle);
    // Gravity is compensated by the arm: nothing moves without a torque.
    EXPECT_LT(max_abs_diff(first.q, last.q), 1e-6);
    EXPECT_GT(last.control_command_success_rate, 0.99);
  }
}

TEST(ArmSimulator, JointPositionsAreTrackedByTheInternalController) {
  Started s;
  Client c(s.sim.address());
  ASSERT_EQ(c.start(ControllerMode::JointImpedance, MotionGeneratorMode::JointPosition), MoveStatus::MotionStarted);
  const Vec7 q0 = c.state().q;
  Vec7 goal = q0;
  goal[6] += 0.2;
  goal[0] -= 0.1;
  const int n = 800;
  auto end = c.run(n + 400, [&](const RobotState&, int i) {
    // Smooth cosine ramp, then hold.
    const double a = i < n ? 0.5 - 0.5 * std::cos(M_PI * i / n) : 1.0;
    RobotCommand cmd;
    for (int j = 0; j < 7; ++j) cmd.motion.q_c[j] = q0[j] + a * (goal[j] - q0[j]);
    cmd.motion.motion_generation_finished = i == n + 399;
    return cmd;
  });
  ASSERT_TRUE(end.has_value());
  EXPECT_EQ(*end, MoveStatus::Success);
  EXPECT_LT(max_abs_diff(c.state().q, goal), 5e-3);
}

TEST(ArmSimulator, AbnormalEnds) {
  const struct {
    const char* name;
    void (*inject)(ArmSimulator&, Client&);
    MoveStatus status;
    RobotMode mode;
    const char* flag;
  } cases[] = {
      {"push", [](ArmSimulator& s, Client&) { s.push({40, 0, 0, 0, 0, 0, 0}, {}, 50); }, MoveStatus::ReflexAborted,
       RobotMode::Reflex, "joint_reflex"},
      {"forced reflex",
       [](ArmSimulator& s, Client&) {
         const std::string_view flags[] = {"cartesian_reflex"};
         s.trigger_reflex(flags);
       },
       MoveStatus::ReflexAborted, RobotMode::Reflex, "cartesian_reflex"},
      {"user stop", [](ArmSimulator& s, Client&) { s.press_user_stop(); }, MoveStatus::EmergencyAborted,
       RobotMode::UserStopped, nullptr},
      {"stop move", [](ArmSimulator&, Client& c) { ASSERT_TRUE(c.connection().stop().has_value()); },
       MoveStatus::Preempted, RobotMode::Idle, nullptr},
  };
  for (const auto& k : cases) {
    SCOPED_TRACE(k.name);
    Started s;
    Client c(s.sim.address());
    ASSERT_EQ(c.start(ControllerMode::ExternalController, MotionGeneratorMode::None), MoveStatus::MotionStarted);
    auto end = c.run(500, [&](const RobotState&, int i) {
      if (i == 20) k.inject(s.sim, c);
      return RobotCommand{};
    });
    ASSERT_TRUE(end.has_value());
    EXPECT_EQ(*end, k.status);
    const RobotState after = c.state();
    EXPECT_EQ(after.robot_mode, k.mode);
    if (k.flag) {
      EXPECT_NE(after.last_motion_errors.display().find(k.flag), std::string::npos)
          << after.last_motion_errors.display();
      ASSERT_TRUE(c.connection().automatic_error_recovery().has_value());
      EXPECT_EQ(s.sim.robot_mode(), RobotMode::Idle);
    }
  }
}

TEST(ArmSimulator, TorqueJumpsAndSilenceAreReflexes) {
  const struct {
    const char* name;
    double torque;
    int silent_after;
    const char* flag;
  } cases[] = {
      {"torque jump", 5.0, 1000, "controller_torque_discontinuity"},
      {"missed commands", 0.0, 10, "communication_constraints_violation"},
  };
  for (const auto& k : cases) {
    SCOPED_TRACE(k.name);
    Started s;
    Client c(s.sim.address());
    ASSERT_EQ(c.start(ControllerMode::ExternalController, MotionGeneratorMode::None), MoveStatus::MotionStarted);
    std::optional<MoveStatus> end;
    for (int i = 0; i < 200 && !end; ++i) {
      c.state();
      end = c.final_status();
      if (end || i >= k.silent_after) continue;
      RobotCommand cmd;
      if (i == 5) cmd.control.tau_J_d[0] = k.torque;
      c.send(cmd);
    }
    ASSERT_TRUE(end.has_value());
    EXPECT_EQ(*end, MoveStatus::ReflexAborted);
    EXPECT_NE(c.state().last_motion_errors.display().find(k.flag), std::string::npos);
  }
}

TEST(ArmSimulator, MoveIsRefusedOutsideIdle) {
  Started s;
  s.sim.set_brakes_open(false);
  Client c(s.sim.address());
  EXPECT_EQ(c.start(ControllerMode::ExternalController, MotionGeneratorMode::None),
            MoveStatus::CommandNotPossibleRejected);
  EXPECT_FALSE(s.sim.motion_running());
}

}  // namespace
}  // namespace korvex
