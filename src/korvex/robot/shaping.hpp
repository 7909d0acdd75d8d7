#pragma once
// Checks and shaping of every command a control callback returns, before it is sent.
#include <cstdint>
#include <optional>

#include "korvex/error.hpp"
#include "korvex/model/velocity_limits.hpp"
#include "korvex/robot/commands.hpp"
#include "korvex/robot/lowpass.hpp"
#include "korvex/robot/rate_limiting.hpp"
#include "korvex/wire/robot/codec.hpp"

namespace korvex {

//! The arm's limits reduced by a small margin; joint velocity limits come from the position-based limits.
struct ShapingLimits {
  Vec7 joint_acceleration{};  //!< [rad/s^2]
  Vec7 joint_jerk{};          //!< [rad/s^3]
  double translational_velocity = 0;      //!< [m/s]
  double translational_acceleration = 0;  //!< [m/s^2]
  double translational_jerk = 0;          //!< [m/s^3]
  double rotational_velocity = 0;         //!< [rad/s]
  double rotational_acceleration = 0;     //!< [rad/s^2]
  double rotational_jerk = 0;             //!< [rad/s^3]
  double elbow_velocity_upper = 0;        //!< [rad/s]
  double elbow_velocity_lower = 0;        //!< [rad/s]
  double elbow_acceleration = 0;          //!< [rad/s^2]
  double elbow_jerk = 0;                  //!< [rad/s^3]
  double torque_rate = 0;                 //!< [Nm/s]
};

inline constexpr ShapingLimits kShapingLimitsV5{
    {14.999, 7.499, 9.999, 12.499, 14.999, 19.999, 19.999},
    {7499.999, 3749.999, 4999.999, 6249.999, 7499.999, 9999.999, 9999.999},
    1.960003, 12.999, 6499.999,
    2.424003, 24.999, 12499.999,
    2.144003, -2.144003, 9.999, 4999.999,
    999.999,
};

inline constexpr ShapingLimits kShapingLimitsV10{
    {9.999, 9.999, 9.999, 9.999, 9.999, 9.999, 9.999},
    {4999.999, 4999.999, 4999.999, 4999.999, 4999.999, 4999.999, 4999.999},
    2.999, 8.999, 4499.999,
    2.499, 16.999, 8499.999,
    1.499, -1.499, 9.999, 4999.999,
    999.999,
};

//! The table of a protocol version (5, else 10).
const ShapingLimits& shaping_limits(std::uint16_t version);

//! The rotational limits are used at 99 % in the Cartesian limiter.
constexpr double kRotationalLimitFactor = 0.99;

//! Shaping state of one motion. Each `shape_*` returns the command part to send; `motion_finished`
//! passes through as the part's finished flag. Nothing here allocates unless it builds an error.
class CommandShaper {
 public:
  CommandShaper(std::uint16_t version, std::optional<JointVelocityLimits> velocity_limits, double cutoff_frequency,
                bool limit_rate);

  Result<ControllerCommand> shape_torques(const Torques& command, const RobotState& state);
  Result<MotionGeneratorCommand> shape_joint_positions(const JointPositions& command, const RobotState& state);
  Result<MotionGeneratorCommand> shape_joint_velocities(const JointVelocities& command, const RobotState& state);
  Result<MotionGeneratorCommand> shape_cartesian_pose(const CartesianPose& command, const RobotState& state);

  bool filtering() const { return cutoff_frequency_ < kMaxCutoffFrequency; }
  bool limit_rate() const { return limit_rate_; }

 private:
  //! Version 10: the first command of a motion is its own previous position, pose and elbow.
  bool against_itself() const { return first_ && version_ >= 10; }

  std::uint16_t version_;
  std::optional<JointVelocityLimits> velocity_limits_;
  double cutoff_frequency_;
  bool limit_rate_;
  const ShapingLimits& limits_;
  bool first_ = true;
};

}  // namespace korvex
