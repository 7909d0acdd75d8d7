#pragma once
// Per-model joint tables of the two arms: trajectory budgets, position limits, rated torques.
#include <array>
#include <cstdint>
#include <string_view>

#include "korvex/error.hpp"
#include "korvex/robot/target_control/tuning/options.hpp"

namespace korvex {

//! ZK2 speaks protocol version 10, ZK1 version 5.
enum class ArmModel : std::uint8_t { ZK2, ZK1 };

//! The model behind a negotiated protocol version (5: ZK1, else ZK2).
ArmModel arm_model_of_version(std::uint16_t kxp_version);

//! Joint position limits [rad].
struct JointRange {
  std::array<double, 7> lower;
  std::array<double, 7> upper;
};

//! Rated torques, the upper bound of `torque_limits` [Nm].
inline constexpr std::array<double, 7> kRatedTorques{87, 87, 87, 87, 12, 12, 12};

//! Per-joint velocity, acceleration and jerk limits of the model [rad/s, rad/s^2, rad/s^3].
const std::array<OtgLimits, 7>& joint_limit_table(ArmModel model);
//! The joint budget: every entry of the table times `fraction`.
std::array<OtgLimits, 7> joint_budget(ArmModel model, double fraction);
const JointRange& joint_range(ArmModel model);

//! Fails for the first joint outside [lower + margin, upper - margin]; `name` is "posture" or "target".
Status check_joint_configuration(std::string_view name, const std::array<double, 7>& q, double margin,
                                 ArmModel model);

}  // namespace korvex
