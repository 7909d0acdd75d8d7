// Motion loops of the library against the simulated arm, on both arm models.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <numbers>
#include <thread>

#include "korvex/model/kinematics.hpp"
#include "korvex/robot/commands.hpp"
#include "korvex/robot/connection.hpp"
#include "korvex/robot/robot_impl/exception.hpp"
#include "korvex/wire/robot/protocol.hpp"
#include "sim/arm_simulator.hpp"

namespace korvex {
namespace {

using sim::ArmModel;
using sim::ArmSimulator;
using sim::Pacing;

constexpr double kNoFilter = 1000.0;

struct Arm {
  explicit Arm(ArmModel model) : sim({model, "127.0.0.1", 0, true, Pacing::Lockstep, 50}) {
    EXPECT_TRUE(sim.start().has_value());
    // Connections raise their thread to SCHED_FIFO: keep that off the test runner's thread.
    std::thread([&] {
      auto c = Connection::create(sim.address(), true, 50);
      EXPECT_TRUE(c.has_value()) << c.error().message();
      if (c) conn = *c;
    }).join();
  }
  // Runs a loop in its own thread, as a control thread would.
  template <class F>
  Status run(F&& loop) {
    Status out;
    std::thread([&] { out = loop(*conn); }).join();
    return out;
  }
  ArmSimulator sim;
  std::shared_ptr<Connection> conn;
};

class MotionOnSimulator : public ::testing::TestWithParam<ArmModel> {};
INSTANTIATE_TEST_SUITE_P(Models, MotionOnSimulator, ::testing::Values(ArmModel::ZK2, ArmModel::ZK1),
                         [](const auto& info) { return info.param == ArmModel::ZK2 ? "ZK2" : "ZK1"; });

double cosine_ramp(int i, int n) { return i >= n ? 1.0 : 0.5 - 0.5 * std::cos(std::numbers::pi * i / n); }

TEST_P(MotionOnSimulator, TorqueLoopHoldsAndFinishes) {
  Arm arm(GetParam());
  Vec7 q0{};
  int cycles = 0;
  const Status result = arm.run([&](Connection& c) {
    return c.control_torques(
        [&](const RobotState& s, std::uint64_t) {
          if (cycles == 0) q0 = s.q;
          Torques t;
          for (int j = 0; j < 7; ++j) t.tau_J[j] = -200.0 * (s.q[j] - q0[j]) - 10.0 * s.dq[j];
          t.motion_finished = ++cycles == 500;
          return t;
        },
        true, 100.0);
  });
  ASSERT_TRUE(result.has_value()) << result.error().message();
  EXPECT_EQ(cycles, 500);
  EXPECT_EQ(arm.sim.robot_mode(), RobotMode::Idle);
  const Vec7 q = arm.sim.joint_positions();
  for (int j = 0; j < 7; ++j) EXPECT_NEAR(q[j], q0[j], 1e-4);
}

TEST_P(MotionOnSimulator, JointPositionStreamIsTracked) {
  Arm arm(GetParam());
  Vec7 q0{}, goal{};
  int i = 0;
  const int n = 1000;
  const Status result = arm.run([&](Connection& c) {
    return c.control_joint_positions(
        ControllerMode::JointImpedance,
        [&](const RobotState& s, std::uint64_t) {
          if (i == 0) {
            q0 = goal = s.q;
            goal[6] += 0.3;
            goal[3] += 0.2;
          }
          JointPositions p;
          const double a = cosine_ramp(i, n);
          for (int j = 0; j < 7; ++j) p.q[j] = q0[j] + a * (goal[j] - q0[j]);
          p.motion_finished = ++i == n + 300;
          return p;
        },
        true, kNoFilter);
  });
  ASSERT_TRUE(result.has_value()) << result.error().message();
  const Vec7 q = arm.sim.joint_positions();
  for (int j = 0; j < 7; ++j) EXPECT_NEAR(q[j], goal[j], 5e-3) << "joint " << j + 1;
}

TEST_P(MotionOnSimulator, CartesianPoseStreamIsTracked) {
  Arm arm(GetParam());
  Pose start{};
  int i = 0;
  const int n = 1500;
  const Status result = arm.run([&](Connection& c) {
    return c.control_cartesian_pose(
        ControllerMode::CartesianImpedance,
        [&](const RobotState& s, std::uint64_t) {
          if (i == 0) start = s.O_T_EE_c;
          CartesianPose p;
          p.O_T_EE = start;
          p.O_T_EE[12] += 0.05 * cosine_ramp(i, n);
          p.O_T_EE[14] -= 0.03 * cosine_ramp(i, n);
          p.motion_finished = ++i == n + 500;
          return p;
        },
        true, kNoFilter);
  });
  ASSERT_TRUE(result.has_value()) << result.error().message();
  const RobotState s = arm.sim.last_state();
  EXPECT_NEAR(s.O_T_EE[12], start[12] + 0.05, 5e-3);
  EXPECT_NEAR(s.O_T_EE[13], start[13], 5e-3);
  EXPECT_NEAR(s.O_T_EE[14], start[14] - 0.03, 5e-3);
}

TEST_P(MotionOnSimulator, FinishingOnTheFirstCall) {
  Arm arm(GetParam());
  int calls = 0;
  const Status result = arm.run([&](Connection& c) {
    return c.control_torques([&](const RobotState&, std::uint64_t) { return Torques{{}, ++calls > 0}; }, true,
                             kNoFilter);
  });
  ASSERT_TRUE(result.has_value()) << result.error().message();
  EXPECT_EQ(calls, 1);
  EXPECT_FALSE(arm.sim.motion_running());
}

TEST_P(MotionOnSimulator, NonFiniteOutputCancelsTheMotion) {
  Arm arm(GetParam());
  int calls = 0;
  const Status result = arm.run([&](Connection& c) {
    return c.control_torques(
        [&](const RobotState&, std::uint64_t) {
          Torques t;
          if (++calls == 10) t.tau_J[2] = std::numeric_limits<double>::quiet_NaN();
          return t;
        },
        false, kNoFilter);
  });
  ASSERT_FALSE(result.has_value());
  EXPECT_EQ(result.error().kind(), ErrorKind::InvalidArgument);
  EXPECT_EQ(result.error().message(), "Commanding value is infinite or NaN.");
  EXPECT_EQ(calls, 10);
  EXPECT_FALSE(arm.sim.motion_running());
  EXPECT_EQ(arm.sim.command_count("Stop Move"), 1u);
  EXPECT_EQ(arm.sim.robot_mode(), RobotMode::Idle);
}

TEST_P(MotionOnSimulator, AbnormalEndsBecomeControlExceptions) {
  const struct {
    const char* name;
    void (*inject)(ArmSimulator&, Connection&, std::thread&);
    MoveStatus status;
    const char* message_start;
  } cases[] = {
      {"collision", [](ArmSimulator& s, Connection&, std::thread&) { s.push({0, 0, 0, 30, 0, 0, 0}, {}, 20); },
       MoveStatus::ReflexAborted,
       "libkorvex: Move command aborted: motion aborted by reflex! [\"joint_reflex\"]\ncontrol_command_success_rate: "},
      {"user stop", [](ArmSimulator& s, Connection&, std::thread&) { s.press_user_stop(); }, MoveStatus::EmergencyAborted,
       "libkorvex: Move command aborted: User Stop pressed!"},
      {"stop from another thread",
       [](ArmSimulator&, Connection& c, std::thread& helper) {
         helper = std::thread([&c] { EXPECT_TRUE(c.stop().has_value()); });
       },
       MoveStatus::Preempted, "libkorvex: Move command preempted!"},
  };
  for (const auto& k : cases) {
    SCOPED_TRACE(k.name);
    Arm arm(GetParam());
    std::thread helper;
    int calls = 0;
    const Status result = arm.run([&](Connection& c) {
      return c.control_torques(
          [&](const RobotState&, std::uint64_t) {
            if (++calls == 50) k.inject(arm.sim, c, helper);
            return Torques{};
          },
          true, kNoFilter);
    });
    if (helper.joinable()) helper.join();
    ASSERT_FALSE(result.has_value());
    ASSERT_EQ(result.error().kind(), ErrorKind::Control);
    const ControlException& e = *result.error().control_exception();
    EXPECT_EQ(e.move_status, k.status);
    EXPECT_EQ(e.message.rfind(k.message_start, 0), 0u) << e.message;
    EXPECT_FALSE(e.log.empty());
    EXPECT_FALSE(arm.sim.motion_running());
  }
}

TEST_P(MotionOnSimulator, ReflexWhileFinishing) {
  Arm arm(GetParam());
  int calls = 0;
  const Status result = arm.run([&](Connection& c) {
    return c.control_torques(
        [&](const RobotState&, std::uint64_t) {
          const bool finish = ++calls == 20;
          if (finish) {
            const std::string_view flags[] = {"joint_reflex"};
            arm.sim.trigger_reflex(flags);
          }
          return Torques{{}, finish};
        },
        true, kNoFilter);
  });
  ASSERT_FALSE(result.has_value());
  ASSERT_EQ(result.error().kind(), ErrorKind::Control);
  const ControlException& e = *result.error().control_exception();
  EXPECT_EQ(e.move_status, MoveStatus::ReflexAborted);
  EXPECT_EQ(e.message.rfind("Motion finished commanded, but the robot is still moving! [\"joint_reflex\"]", 0), 0u)
      << e.message;
}

TEST_P(MotionOnSimulator, OneLoopAtATime) {
  Arm arm(GetParam());
  std::atomic<bool> second_done{false};
  Status second;
  int calls = 0;
  const Status first = arm.run([&](Connection& c) {
    return c.control_torques(
        [&](const RobotState&, std::uint64_t) {
          if (++calls == 10) {
            std::thread([&] {
              second = c.control_torques([](const RobotState&, std::uint64_t) { return Torques{{}, true}; }, true,
                                         kNoFilter);
              second_done = true;
            }).join();
          }
          return Torques{{}, calls == 30};
        },
        true, kNoFilter);
  });
  ASSERT_TRUE(first.has_value()) << first.error().message();
  ASSERT_TRUE(second_done);
  ASSERT_FALSE(second.has_value());
  EXPECT_EQ(second.error().kind(), ErrorKind::InvalidOperation);
  EXPECT_EQ(second.error().message(),
            "libkorvex robot: Cannot perform this operation while another control or read operation is running.");
}

}  // namespace
}  // namespace korvex
