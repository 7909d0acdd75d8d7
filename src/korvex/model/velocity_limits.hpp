#pragma once
// Position-based joint velocity limits: read from a ZK2 arm's URDF, a fixed table on ZK1.
#include <array>
#include <cstdint>
#include <optional>
#include <string_view>

#include "korvex/error.hpp"

namespace korvex {

//! Parameters of one joint, as read from its `limit` and `position_based_velocity_limits`.
struct JointVelocityLimit {
  double velocity = 0;            //!< maximum speed [rad/s]
  double velocity_offset = 0;     //!< subtracted from the braking speed [rad/s]
  double deceleration_limit = 0;  //!< deceleration assumed for braking [rad/s^2]
  double upper = 0;               //!< upper position limit [rad]
  double lower = 0;               //!< lower position limit [rad]
};

struct JointVelocityLimits {
  std::array<JointVelocityLimit, 7> joints{};

  //! Highest allowed joint velocities at q [rad/s]; no allocation.
  std::array<double, 7> upper_at(const std::array<double, 7>& q) const;
  //! Lowest allowed joint velocities at q [rad/s] (normally negative).
  std::array<double, 7> lower_at(const std::array<double, 7>& q) const;
};

//! Upper limits of a ZK1 arm [rad/s], whatever the configuration; the lower ones are their negatives.
inline constexpr std::array<double, 7> kZk1VelocityLimits = {2.129003, 2.151503, 2.144003, 2.136503,
                                                             2.564003, 2.549003, 2.549003};

//! Reads the limits of joints 1 to 7 from URDF text; errors are `InvalidArgument`.
Result<JointVelocityLimits> read_joint_velocity_limits(std::string_view urdf);

//! Limits of a connection: the URDF record on version 10, the ZK1 table on version 5.
std::array<double, 7> upper_velocity_limits(std::uint16_t version, const std::optional<JointVelocityLimits>& limits,
                                            const std::array<double, 7>& q);
std::array<double, 7> lower_velocity_limits(std::uint16_t version, const std::optional<JointVelocityLimits>& limits,
                                            const std::array<double, 7>& q);

}  // namespace korvex
