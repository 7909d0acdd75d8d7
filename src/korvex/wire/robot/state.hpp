#pragma once
// The arm's state record, its error flags and modes.
#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace korvex {

//! 41 error flags in their fixed (wire) order.
struct Errors {
  static constexpr std::size_t kCount = 41;
  static const std::array<std::string_view, kCount> kNames;

  std::array<bool, kCount> flags{};

  bool any() const;
  //! "[\"a\", \"b\"]" with the names of the set flags; "[]" when none.
  std::string display() const;
  bool operator==(const Errors&) const = default;
};

enum class RobotMode : std::uint8_t {
  Other = 0,
  Idle = 1,
  Move = 2,
  Guiding = 3,
  Reflex = 4,
  UserStopped = 5,
  AutomaticErrorRecovery = 6,
};

//! "Other", "Idle", ..., "User stopped", "Automatic error recovery".
std::string_view robot_mode_display(RobotMode mode);
//! Variant name: "Other", ..., "UserStopped", "AutomaticErrorRecovery".
std::string_view robot_mode_name(RobotMode mode);

using Pose = std::array<double, 16>;      // column-major homogeneous transform
using Vec7 = std::array<double, 7>;
using Vec6 = std::array<double, 6>;
using Vec3 = std::array<double, 3>;
using Vec2 = std::array<double, 2>;
using Mat3 = std::array<double, 9>;       // column-major

struct RobotState {
  Pose O_T_EE{};
  Pose O_T_EE_d{};
  Pose F_T_EE{};
  Pose F_T_NE{};
  Pose NE_T_EE{};
  Pose EE_T_K{};
  double m_ee = 0;
  Mat3 I_ee{};
  Vec3 F_x_Cee{};
  double m_load = 0;
  Mat3 I_load{};
  Vec3 F_x_Cload{};
  double m_total = 0;
  Mat3 I_total{};
  Vec3 F_x_Ctotal{};
  Vec2 elbow{};
  Vec2 elbow_d{};
  Vec2 elbow_c{};
  Vec2 delbow_c{};
  Vec2 ddelbow_c{};
  Vec7 tau_J{};
  Vec7 tau_J_d{};
  Vec7 dtau_J{};
  Vec7 q{};
  Vec7 q_d{};
  Vec7 dq{};
  Vec7 dq_d{};
  Vec7 ddq_d{};
  Vec7 joint_contact{};
  Vec6 cartesian_contact{};
  Vec7 joint_collision{};
  Vec6 cartesian_collision{};
  Vec7 tau_ext_hat_filtered{};
  Vec6 O_F_ext_hat_K{};
  Vec6 K_F_ext_hat_K{};
  Vec6 O_dP_EE_d{};
  Vec3 O_ddP_O{};
  Pose O_T_EE_c{};
  Vec6 O_dP_EE_c{};
  Vec6 O_ddP_EE_c{};
  Vec7 theta{};
  Vec7 dtheta{};
  std::array<double, 18> accelerometer_top{};
  std::array<double, 18> accelerometer_bottom{};
  Errors current_errors{};
  Errors last_motion_errors{};
  double control_command_success_rate = 0;
  RobotMode robot_mode = RobotMode::Other;
  std::uint64_t time = 0;  //!< message id [ms]
};

}  // namespace korvex
