#include <gtest/gtest.h>

#include <algorithm>

#include "korvex/wire/robot/codec.hpp"

namespace korvex {
namespace {

// Every field distinct and exactly representable as a float, so both versions must round-trip it.
RobotState distinct_state() {
  RobotState s;
  double next = 1.0;
  auto fill = [&](auto& a) {
    for (double& x : a) x = (next += 0.25);
  };
  fill(s.O_T_EE); fill(s.O_T_EE_d); fill(s.F_T_EE); fill(s.F_T_NE); fill(s.NE_T_EE); fill(s.EE_T_K);
  s.m_ee = (next += 0.25);
  fill(s.I_ee); fill(s.F_x_Cee);
  s.m_load = (next += 0.25);
  fill(s.I_load); fill(s.F_x_Cload); fill(s.elbow); fill(s.elbow_d); fill(s.elbow_c); fill(s.delbow_c);
  fill(s.ddelbow_c); fill(s.tau_J); fill(s.tau_J_d); fill(s.dtau_J); fill(s.q); fill(s.q_d); fill(s.dq);
  fill(s.dq_d); fill(s.ddq_d); fill(s.joint_contact); fill(s.cartesian_contact); fill(s.joint_collision);
  fill(s.cartesian_collision); fill(s.tau_ext_hat_filtered); fill(s.O_F_ext_hat_K); fill(s.K_F_ext_hat_K);
  fill(s.O_dP_EE_d); fill(s.O_ddP_O); fill(s.O_T_EE_c); fill(s.O_dP_EE_c); fill(s.O_ddP_EE_c); fill(s.theta);
  fill(s.dtheta); fill(s.accelerometer_top); fill(s.accelerometer_bottom);
  s.current_errors.flags[3] = s.current_errors.flags[40] = true;
  s.last_motion_errors.flags[6] = true;
  s.control_command_success_rate = 0.5;
  s.robot_mode = RobotMode::Reflex;
  s.time = 123456789;
  return s;
}

TEST(CodecRoundTrip, StatesOfBothVersions) {
  for (std::uint16_t version : {5, 10}) {
    RobotState s = distinct_state();
    if (version == 5) s.accelerometer_top = s.accelerometer_bottom = {};
    std::array<std::uint8_t, kMaxStateSize> buf{};
    auto bytes = encode_state(s, {3, 1, 4}, version, buf);
    ASSERT_EQ(bytes.size(), state_size(version));
    auto decoded = decode_state(bytes, version);
    ASSERT_TRUE(decoded.has_value());
    std::array<std::uint8_t, kMaxStateSize> again{};
    auto rebytes = encode_state(*decoded, state_modes(bytes, version), version, again);
    EXPECT_TRUE(std::equal(bytes.begin(), bytes.end(), rebytes.begin(), rebytes.end())) << "version " << version;
    EXPECT_EQ(decoded->O_T_EE, s.O_T_EE);
    EXPECT_EQ(decoded->EE_T_K, s.EE_T_K);
    EXPECT_EQ(decoded->q, s.q);
    EXPECT_EQ(decoded->dtheta, s.dtheta);
    EXPECT_EQ(decoded->accelerometer_bottom, s.accelerometer_bottom);
    EXPECT_EQ(decoded->current_errors, s.current_errors);
    EXPECT_EQ(decoded->last_motion_errors, s.last_motion_errors);
    EXPECT_EQ(decoded->control_command_success_rate, 0.5);
    EXPECT_EQ(decoded->robot_mode, RobotMode::Reflex);
    EXPECT_EQ(decoded->time, s.time);
    const StateModes modes = state_modes(bytes, version);
    EXPECT_EQ(modes.motion_generator_mode, 3);
    EXPECT_EQ(modes.controller_mode, 1);
    EXPECT_EQ(modes.robot_mode, 4);
  }
}

TEST(CodecRoundTrip, CommandsOfBothVersions) {
  for (std::uint16_t version : {5, 10}) {
    RobotCommand c;
    c.message_id = 77;
    c.motion.q_c = {1, 2, 3, 4, 5, 6, 7};
    c.motion.O_T_EE_c[12] = 0.5;
    c.motion.elbow_c = {0.1, -1};
    c.motion.valid_elbow = true;
    c.control.tau_J_d = {-1, -2, -3, -4, -5, -6, -7.5};
    c.control.torque_command_finished = true;
    CommandBuffer buf{};
    auto bytes = encode_command(c, version, buf);
    auto back = decode_command(bytes, version);
    ASSERT_TRUE(back.has_value());
    EXPECT_EQ(back->message_id, 77u);
    EXPECT_EQ(back->motion.q_c, c.motion.q_c);
    EXPECT_EQ(back->motion.O_T_EE_c, c.motion.O_T_EE_c);
    EXPECT_EQ(back->motion.elbow_c, c.motion.elbow_c);
    EXPECT_TRUE(back->motion.valid_elbow);
    EXPECT_FALSE(back->motion.motion_generation_finished);
    EXPECT_EQ(back->control.tau_J_d, c.control.tau_J_d);
    // Version 5 has no torque-finished byte.
    EXPECT_EQ(back->control.torque_command_finished, version == 10);
    EXPECT_FALSE(decode_command(bytes.first(bytes.size() - 1), version).has_value());
  }
}

}  // namespace
}  // namespace korvex
