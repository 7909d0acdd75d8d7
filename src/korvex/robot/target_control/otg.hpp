#pragma once
// Online jerk-limited trajectory generator: replans every cycle from the state it reached.
#include <array>
#include <cstddef>

#include "korvex/error.hpp"
#include "korvex/robot/target_control/tuning/options.hpp"

namespace korvex {

//! One scalar axis.
struct OtgAxis {
  double max_velocity = 0;
  double max_acceleration = 0;
  double max_jerk = 0;
  double position = 0;
  double velocity = 0;
  double acceleration = 0;
  double target = 0;  //!< position to reach, at rest
};

//! A span of constant jerk.
struct OtgPhase {
  double jerk = 0;
  double duration = 0;  //!< [s]
};

//! Plan of one axis: reach the cruise velocity (phases 1-3), cruise (4), stop (5-7).
struct OtgProfile {
  std::array<OtgPhase, 7> phases{};
  double cruise_velocity = 0;
  //! Target minus the end position without cruise.
  double shortfall = 0;

  double duration() const;
};

namespace otg {

//! The profile of `axis` through cruise velocity `vc`.
OtgProfile profile_for_cruise(const OtgAxis& axis, double vc);
//! Fastest profile that brings `axis` to rest on its target.
OtgProfile time_optimal_profile(const OtgAxis& axis);
//! The fastest slowed-down cruise that lasts at least `duration`; `profile` itself when none does.
OtgProfile stretch_profile(const OtgAxis& axis, const OtgProfile& profile, double duration);
//! Advances `axis` along `profile` by `dt` and returns the new position.
double evaluate(OtgAxis& axis, const OtgProfile& profile, double dt);

}  // namespace otg

//! N axes (7 joints or 6 Cartesian coordinates), optionally synchronised to arrive together.
template <std::size_t N>
class Otg {
 public:
  using Vector = std::array<double, N>;

  //! Axes at rest on the given positions.
  static Result<Otg> create(const std::array<OtgLimits, N>& limits, const Vector& positions, bool synchronise);

  //! New limits for every axis, state and targets kept; all or nothing.
  Status set_limits(const std::array<OtgLimits, N>& limits)
    requires(N == 6);
  //! Positions as given, velocities and accelerations clamped into the limits; all or nothing.
  Status set_state(const Vector& positions, const Vector& velocities, const Vector& accelerations);
  //! Refuses a non-finite target and keeps the previous ones.
  Status set_targets(const Vector& targets);

  //! Plans and advances every axis by dt [s]; dt <= 0 or non-finite changes nothing.
  Vector step(double dt);

  const OtgAxis& axis(std::size_t i) const { return axes_[i]; }
  Vector positions() const { return collect(&OtgAxis::position); }
  Vector velocities() const { return collect(&OtgAxis::velocity); }
  Vector accelerations() const { return collect(&OtgAxis::acceleration); }
  Vector targets() const { return collect(&OtgAxis::target); }
  bool synchronise() const { return synchronise_; }

 private:
  Otg() = default;
  Vector collect(double OtgAxis::*field) const {
    Vector out;
    for (std::size_t i = 0; i < N; ++i) out[i] = axes_[i].*field;
    return out;
  }

  std::array<OtgAxis, N> axes_{};
  bool synchronise_ = true;
};

using JointOtg = Otg<7>;
using CartesianOtg = Otg<6>;

extern template class Otg<6>;
extern template class Otg<7>;

//! Reference and target coordinates of one cycle.
template <std::size_t N>
struct OtgCoordinates {
  std::array<double, N> reference;
  std::array<double, N> target;
};

//! Joint mapping: the identity.
OtgCoordinates<7> joint_coordinates(const std::array<double, 7>& target, const std::array<double, 7>& reference);

//! Cartesian mapping of poses (x, y, z, qx, qy, qz, qw): positions, and the rotation vector of
//! R_target * R_reference^T (the reference orientation maps to zero rotation).
OtgCoordinates<6> cartesian_coordinates(const std::array<double, 7>& target, const std::array<double, 7>& reference);

//! Per-axis limits of the Cartesian budgets: each translation axis gets budget/sqrt(3), each rotation
//! axis 0.99*budget/sqrt(3), so that all three together stay within the norm.
std::array<OtgLimits, 6> cartesian_axis_limits(const OtgLimits& translation, const OtgLimits& rotation);

}  // namespace korvex
