#include <gtest/gtest.h>

#include <thread>

#include "korvex/model/kinematics.hpp"
#include "korvex/model/native_backend.hpp"
#include "korvex/robot/connection.hpp"
#include "korvex/robot/logger.hpp"
#include "sim/arm_simulator.hpp"

namespace korvex {
namespace {

using sim::ArmModel;
using sim::ArmSimulator;

// Connections raise their thread to SCHED_FIFO: keep that off the test runner's thread.
Result<std::shared_ptr<Connection>> connect_in_thread(const std::string& address, std::size_t log_size = 50,
                                                      ProtocolChoice choice = ProtocolChoice::Automatic) {
  std::optional<Result<std::shared_ptr<Connection>>> out;
  std::thread([&] { out.emplace(Connection::create(address, true, log_size, choice)); }).join();
  return std::move(*out);
}

struct Started {
  explicit Started(ArmModel model, bool brakes_open = true) : sim({model, "127.0.0.1", 0, brakes_open}) {
    EXPECT_TRUE(sim.start().has_value());
  }
  ArmSimulator sim;
};

TEST(Connection, NegotiatesEachModel) {
  const struct {
    ArmModel model;
    std::uint16_t version;
    std::uint64_t connects;
    std::uint64_t model_requests;
  } cases[] = {{ArmModel::ZK2, 10, 1, 1}, {ArmModel::ZK1, 5, 2, 0}};
  for (const auto& c : cases) {
    Started s(c.model);
    auto conn = connect_in_thread(s.sim.address());
    ASSERT_TRUE(conn.has_value()) << conn.error().message();
    EXPECT_EQ((*conn)->kxp_version(), c.version);
    EXPECT_EQ((*conn)->server_version(), c.version);
    EXPECT_EQ(s.sim.command_count("Connect"), c.connects);
    EXPECT_EQ(s.sim.command_count("Get Robot Model"), c.model_requests);
    EXPECT_EQ((*conn)->velocity_limits().has_value(), c.version == 10);

    auto a = (*conn)->read_once();
    auto b = (*conn)->read_once();
    ASSERT_TRUE(a && b);
    EXPECT_GT(b->time, a->time);
    EXPECT_EQ(b->robot_mode, RobotMode::Idle);
    EXPECT_EQ(b->control_command_success_rate, 1.0);

    auto text = (*conn)->model_description();
    ASSERT_TRUE(text.has_value());
    EXPECT_NE(text->find("link8"), std::string::npos);
    EXPECT_EQ(s.sim.command_count("Get Robot Model"), c.model_requests * 2);
  }
}

TEST(Connection, ModelOfEachArmMatchesItsStates) {
  for (ArmModel model : {ArmModel::ZK2, ArmModel::ZK1}) {
    Started s(model);
    auto conn = connect_in_thread(s.sim.address());
    ASSERT_TRUE(conn.has_value());
    const auto before = s.sim.command_count("Get Robot Model");
    auto m = (*conn)->model();
    ASSERT_TRUE(m.has_value()) << m.error().message();
    // ZK2 fetches the description for every model; ZK1 carries its own.
    EXPECT_EQ(s.sim.command_count("Get Robot Model") - before, model == ArmModel::ZK2 ? 1u : 0u);
    auto state = (*conn)->read_once();
    ASSERT_TRUE(state.has_value());
    const Pose ee = model::pose(*m, model::Frame::EndEffector, state->q, state->F_T_EE);
    // Version 10 sends floats.
    const double tol = model == ArmModel::ZK2 ? 1e-6 : 1e-12;
    for (int i = 0; i < 16; ++i) EXPECT_NEAR(ee[i], state->O_T_EE[i], tol) << i;
  }
}

TEST(Connection, FixedVersionIsNotRenegotiated) {
  Started s(ArmModel::ZK1);
  auto conn = connect_in_thread(s.sim.address(), 50, ProtocolChoice::V10);
  ASSERT_FALSE(conn.has_value());
  EXPECT_EQ(conn.error().kind(), ErrorKind::IncompatibleVersion);
  EXPECT_EQ(conn.error().message(),
            "libkorvex: Incompatible library version (server version: 5, library version: 10).");
  EXPECT_EQ(s.sim.command_count("Connect"), 1u);
}

TEST(Connection, CommandsFollowTheArmsMode) {
  for (ArmModel model : {ArmModel::ZK2, ArmModel::ZK1}) {
    Started s(model, /*brakes_open=*/false);
    auto conn = connect_in_thread(s.sim.address(), 0);
    ASSERT_TRUE(conn.has_value()) << conn.error().message();
    auto& c = **conn;
    ASSERT_TRUE(c.read_once().has_value());
    const Vec7 k7{3000, 3000, 3000, 2500, 2500, 2000, 2000};
    auto refused = c.set_joint_impedance(k7);
    ASSERT_FALSE(refused.has_value());
    EXPECT_EQ(refused.error().kind(), ErrorKind::Command);
    EXPECT_EQ(refused.error().message(),
              "libkorvex: Set Joint Impedance command rejected: command not possible in the current mode "
              "(\"Other\")! Did you open the brakes?");

    s.sim.set_brakes_open(true);
    ASSERT_TRUE(c.read_once().has_value());
    EXPECT_TRUE(c.set_joint_impedance(k7).has_value());
    EXPECT_TRUE(c.set_cartesian_impedance({3000, 3000, 3000, 300, 300, 300}).has_value());
    EXPECT_TRUE(c.set_collision_behavior_simple({20, 20, 18, 18, 16, 14, 12}, {20, 20, 18, 18, 16, 14, 12},
                                                {20, 20, 20, 25, 25, 25}, {20, 20, 20, 25, 25, 25})
                    .has_value());
    EXPECT_TRUE(c.stop().has_value());
    EXPECT_TRUE(c.automatic_error_recovery().has_value());

    auto invalid = c.set_cartesian_impedance({3000, -1, 3000, 300, 300, 300});
    ASSERT_FALSE(invalid.has_value());
    EXPECT_EQ(invalid.error().message(), "libkorvex: Set Cartesian Impedance command rejected: invalid argument!");
    EXPECT_EQ(s.sim.command_count("Set Cartesian Impedance"), 2u);

    // A failed command leaves the connection usable.
    EXPECT_TRUE(c.read_once().has_value());
  }
}

TEST(Connection, ReflexIsClearedByErrorRecovery) {
  Started s(ArmModel::ZK2);
  auto conn = connect_in_thread(s.sim.address());
  ASSERT_TRUE(conn.has_value());
  s.sim.set_robot_mode(RobotMode::Reflex);
  ASSERT_TRUE((*conn)->read_once().has_value());
  EXPECT_TRUE((*conn)->automatic_error_recovery().has_value());
  EXPECT_EQ(s.sim.robot_mode(), RobotMode::Idle);
}

TEST(Connection, LostStateStreamShutsTheCommandChannel) {
  Started s(ArmModel::ZK2);
  auto conn = connect_in_thread(s.sim.address());
  ASSERT_TRUE(conn.has_value());
  s.sim.pause_states(true);
  // A state sent just before the pause may still arrive.
  auto state = (*conn)->read_once();
  for (int i = 0; i < 5 && state.has_value(); ++i) state = (*conn)->read_once();
  ASSERT_FALSE(state.has_value());
  EXPECT_EQ(state.error().message(), "libkorvex: UDP receive: Timeout");
  auto after = (*conn)->stop();
  ASSERT_FALSE(after.has_value());
  EXPECT_EQ(after.error().kind(), ErrorKind::Network);
}

TEST(Connection, NoFirstStateTimesOut) {
  Started s(ArmModel::ZK1);
  s.sim.pause_states(true);
  auto conn = connect_in_thread(s.sim.address());
  ASSERT_FALSE(conn.has_value());
  EXPECT_EQ(conn.error().message(), "libkorvex: UDP receive: Timeout");
}

TEST(Connection, ForcedStatusesReachTheCaller) {
  Started s(ArmModel::ZK2);
  auto conn = connect_in_thread(s.sim.address());
  ASSERT_TRUE(conn.has_value());
  s.sim.force_status("Stop Move", 4);
  auto stopped = (*conn)->stop();
  ASSERT_FALSE(stopped.has_value());
  EXPECT_EQ(stopped.error().message(), "libkorvex: Stop Move command aborted: motion aborted by reflex!");
  s.sim.force_status("Stop Move", std::nullopt);
  EXPECT_TRUE((*conn)->stop().has_value());
}

TEST(Connection, LogSizeZeroKeepsTheLogEmpty) {
  Started s(ArmModel::ZK2);
  auto conn = connect_in_thread(s.sim.address(), 0);
  ASSERT_TRUE(conn.has_value());
  auto state = (*conn)->read_once();
  ASSERT_TRUE(state.has_value());
  (*conn)->log().record(RobotCommandLog{}, *state);
  EXPECT_TRUE((*conn)->log().take().empty());
}

}  // namespace
}  // namespace korvex
