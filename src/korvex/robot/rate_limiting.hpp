#pragma once
// Rate limiters that keep commanded velocity, acceleration and jerk (or torque rate) inside the arm's limits.
#include "korvex/error.hpp"
#include "korvex/wire/robot/state.hpp"

namespace korvex {

//! Control period [s].
constexpr double kDeltaT = 1e-3;

//! One joint position: jerk, then acceleration (braking towards the velocity limits) limited; no checks.
double limit_joint_position(double q_c, double q_p, double v_p, double a_p, double v_upper, double v_lower,
                            double max_acceleration, double max_jerk);
//! One joint velocity, limited like a position; no checks.
double limit_joint_velocity(double v_c, double v_p, double a_p, double v_upper, double v_lower,
                            double max_acceleration, double max_jerk);

//! Seven positions; "commanded_positions is infinite or NaN." for a non-finite command.
Result<Vec7> limit_joint_positions(const Vec7& q_c, const Vec7& q_p, const Vec7& v_p, const Vec7& a_p,
                                   const Vec7& v_upper, const Vec7& v_lower, const Vec7& max_acceleration,
                                   const Vec7& max_jerk);
//! Seven velocities; "commanded_velocities is infinite or NaN." for a non-finite command.
Result<Vec7> limit_joint_velocities(const Vec7& v_c, const Vec7& v_p, const Vec7& a_p, const Vec7& v_upper,
                                    const Vec7& v_lower, const Vec7& max_acceleration, const Vec7& max_jerk);

//! Torque rate at most `max_rate` [Nm/s]. With `float_margin` (version 10, whose arm reports the previous
//! torque as a float) the limit shrinks per joint by half a float rounding step per period.
Result<Vec7> limit_torque_rate(const Vec7& tau_c, const Vec7& tau_p, double max_rate, bool float_margin);

//! A 3-vector velocity with limits on its norm, the norm of its acceleration and of its jerk.
Vec3 limit_vector_rate(double max_velocity, double max_acceleration, double max_jerk, const Vec3& v_c,
                       const Vec3& v_p, const Vec3& a_p);

struct CartesianRateLimits {
  double translational_velocity = 0, translational_acceleration = 0, translational_jerk = 0;
  double rotational_velocity = 0, rotational_acceleration = 0, rotational_jerk = 0;
};

//! Pose towards `pose_c` from `pose_p` (both rotation parts replaced by their nearest rotations) with the
//! twist limited against the previous twist and acceleration. Errors are `InvalidArgument`.
Result<Pose> limit_cartesian_rate(const CartesianRateLimits& limits, const Pose& pose_c, const Pose& pose_p,
                                  const Vec6& twist_p, const Vec6& acceleration_p);

//! Column-major 4x4: bottom row (0, 0, 0, 1) exactly, rotation rows and columns of norm 1 within 1e-5.
bool is_valid_transform(const Pose& pose);

}  // namespace korvex
