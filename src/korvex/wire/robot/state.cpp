#include "korvex/wire/robot/state.hpp"

namespace korvex {

const std::array<std::string_view, Errors::kCount> Errors::kNames = {
    "joint_position_limits_violation",
    "cartesian_position_limits_violation",
    "self_collision_avoidance_violation",
    "joint_velocity_violation",
    "cartesian_velocity_violation",
    "force_control_safety_violation",
    "joint_reflex",
    "cartesian_reflex",
    "max_goal_pose_deviation_violation",
    "max_path_pose_deviation_violation",
    "cartesian_velocity_profile_safety_violation",
    "joint_position_motion_generator_start_pose_invalid",
    "joint_motion_generator_position_limits_violation",
    "joint_motion_generator_velocity_limits_violation",
    "joint_motion_generator_velocity_discontinuity",
    "joint_motion_generator_acceleration_discontinuity",
    "cartesian_position_motion_generator_start_pose_invalid",
    "cartesian_motion_generator_elbow_limit_violation",
    "cartesian_motion_generator_velocity_limits_violation",
    "cartesian_motion_generator_velocity_discontinuity",
    "cartesian_motion_generator_acceleration_discontinuity",
    "cartesian_motion_generator_elbow_sign_inconsistent",
    "cartesian_motion_generator_start_elbow_invalid",
    "force_controller_desired_force_tolerance_violation",
    "start_elbow_sign_inconsistent",
    "communication_constraints_violation",
    "power_limit_violation",
    "cartesian_motion_generator_joint_position_limits_violation",
    "cartesian_motion_generator_joint_velocity_limits_violation",
    "cartesian_motion_generator_joint_velocity_discontinuity",
    "cartesian_motion_generator_joint_acceleration_discontinuity",
    "cartesian_position_motion_generator_invalid_frame_flag",
    "controller_torque_discontinuity",
    "joint_p2p_insufficient_torque_for_planning",
    "tau_J_range_violation",
    "instability_detected",
    "joint_move_in_wrong_direction",
    "cartesian_spline_motion_generator_violation",
    "joint_via_motion_generator_planning_joint_limit_violation",
    "base_acceleration_initialization_timeout",
    "base_acceleration_invalid_reading",
};

bool Errors::any() const {
  for (bool f : flags)
    if (f) return true;
  return false;
}

std::string Errors::display() const {
  std::string out = "[";
  bool first = true;
  for (std::size_t i = 0; i < kCount; ++i) {
    if (!flags[i]) continue;
    if (!first) out += ", ";
    first = false;
    out += '"';
    out += kNames[i];
    out += '"';
  }
  out += ']';
  return out;
}

std::string_view robot_mode_display(RobotMode mode) {
  switch (mode) {
    case RobotMode::Idle: return "Idle";
    case RobotMode::Move: return "Move";
    case RobotMode::Guiding: return "Guiding";
    case RobotMode::Reflex: return "Reflex";
    case RobotMode::UserStopped: return "User stopped";
    case RobotMode::AutomaticErrorRecovery: return "Automatic error recovery";
    case RobotMode::Other: break;
  }
  return "Other";
}

std::string_view robot_mode_name(RobotMode mode) {
  switch (mode) {
    case RobotMode::UserStopped: return "UserStopped";
    case RobotMode::AutomaticErrorRecovery: return "AutomaticErrorRecovery";
    default: return robot_mode_display(mode);
  }
}

}  // namespace korvex
