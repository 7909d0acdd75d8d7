#include "korvex/robot/rate_limiting.hpp"

#include <Eigen/Core>
#include <algorithm>
#include <cmath>
#include <limits>
#include <span>

#include "korvex/model/rotation.hpp"

namespace korvex {
namespace {

constexpr double kNormEpsilon = std::numeric_limits<double>::epsilon();  // 2^-52
constexpr double kHalfFloatStep = 1.0 / 16777216.0;                      // 2^-24

bool all_finite(std::span<const double> xs) {
  for (double x : xs)
    if (!std::isfinite(x)) return false;
  return true;
}

// Acceleration after braking towards the velocity limits.
double bounded_acceleration(double a, double v_p, double v_upper, double v_lower, double A, double J) {
  a = std::min(a, std::min((J / A) * (v_upper - v_p), A));
  return std::max(a, std::max((J / A) * (v_lower - v_p), -A));
}

Eigen::Vector3d as_vector(const Vec3& v) { return {v[0], v[1], v[2]}; }

}  // namespace

double limit_joint_position(double q_c, double q_p, double v_p, double a_p, double v_upper, double v_lower,
                            double max_acceleration, double max_jerk) {
  const double jerk = std::clamp((((q_c - q_p) / kDeltaT - v_p) / kDeltaT - a_p) / kDeltaT, -max_jerk, max_jerk);
  const double a = bounded_acceleration(a_p + jerk * kDeltaT, v_p, v_upper, v_lower, max_acceleration, max_jerk);
  const double v = v_p + a * kDeltaT;
  return q_p + v * kDeltaT;
}

double limit_joint_velocity(double v_c, double v_p, double a_p, double v_upper, double v_lower,
                            double max_acceleration, double max_jerk) {
  const double jerk = std::clamp(((v_c - v_p) / kDeltaT - a_p) / kDeltaT, -max_jerk, max_jerk);
  const double a = bounded_acceleration(a_p + jerk * kDeltaT, v_p, v_upper, v_lower, max_acceleration, max_jerk);
  return v_p + a * kDeltaT;
}

Result<Vec7> limit_joint_positions(const Vec7& q_c, const Vec7& q_p, const Vec7& v_p, const Vec7& a_p,
                                   const Vec7& v_upper, const Vec7& v_lower, const Vec7& max_acceleration,
                                   const Vec7& max_jerk) {
  if (!all_finite(q_c)) return fail(Error::invalid_argument("commanded_positions is infinite or NaN."));
  Vec7 out;
  for (std::size_t i = 0; i < 7; ++i)
    out[i] = limit_joint_position(q_c[i], q_p[i], v_p[i], a_p[i], v_upper[i], v_lower[i], max_acceleration[i],
                                  max_jerk[i]);
  return out;
}

Result<Vec7> limit_joint_velocities(const Vec7& v_c, const Vec7& v_p, const Vec7& a_p, const Vec7& v_upper,
                                    const Vec7& v_lower, const Vec7& max_acceleration, const Vec7& max_jerk) {
  if (!all_finite(v_c)) return fail(Error::invalid_argument("commanded_velocities is infinite or NaN."));
  Vec7 out;
  for (std::size_t i = 0; i < 7; ++i)
    out[i] = limit_joint_velocity(v_c[i], v_p[i], a_p[i], v_upper[i], v_lower[i], max_acceleration[i], max_jerk[i]);
  return out;
}

Result<Vec7> limit_torque_rate(const Vec7& tau_c, const Vec7& tau_p, double max_rate, bool float_margin) {
  if (!all_finite(tau_c)) return fail(Error::invalid_argument("Commanding value is infinite or NaN."));
  Vec7 out;
  for (std::size_t i = 0; i < 7; ++i) {
    double limit = max_rate;
    // A huge previous torque must not turn the bound negative (and the clamp inside out).
    if (float_margin) limit = std::max(0.0, limit - std::abs(tau_p[i]) * kHalfFloatStep / kDeltaT);
    const double rate = std::clamp((tau_c[i] - tau_p[i]) / kDeltaT, -limit, limit);
    out[i] = tau_p[i] + rate * kDeltaT;
  }
  return out;
}

Vec3 limit_vector_rate(double max_velocity, double max_acceleration, double max_jerk, const Vec3& v_c,
                       const Vec3& v_p, const Vec3& a_p) {
  const Eigen::Vector3d vc = as_vector(v_c), vp = as_vector(v_p), ap = as_vector(a_p);
  const Eigen::Vector3d jerk = ((vc - vp) / kDeltaT - ap) / kDeltaT;
  const double jerk_norm = jerk.norm();
  Eigen::Vector3d a = ap;
  if (jerk_norm > kNormEpsilon) a = ap + (jerk / jerk_norm) * std::min(jerk_norm, max_jerk) * kDeltaT;

  Eigen::Vector3d v = vp;
  const double a_norm = a.norm();
  if (a_norm > kNormEpsilon) {
    const Eigen::Vector3d u = a / a_norm;
    const double p = u.dot(vp);
    // NaN when the previous velocity already lies outside the sphere; the selections below then keep |a|.
    const double s = (max_jerk / max_acceleration) *
                     (std::sqrt(max_velocity * max_velocity + p * p - vp.squaredNorm()) - p);
    double m = max_acceleration < s ? max_acceleration : s;
    m = m < a_norm ? m : a_norm;
    v = vp + u * m * kDeltaT;
  }
  return {v[0], v[1], v[2]};
}

Result<Pose> limit_cartesian_rate(const CartesianRateLimits& limits, const Pose& pose_c, const Pose& pose_p,
                                  const Vec6& twist_p, const Vec6& acceleration_p) {
  if (!all_finite(pose_c)) return fail(Error::invalid_argument("O_T_EE_c is infinite or NaN."));
  if (!is_valid_transform(pose_c))
    return fail(Error::invalid_argument("O_T_EE_c is invalid transformation matrix. Has to be column major!"));

  const Eigen::Map<const Eigen::Matrix4d> T(pose_c.data()), T_p(pose_p.data());
  const Eigen::Matrix3d R = model::nearest_rotation(T.topLeftCorner<3, 3>());
  const Eigen::Matrix3d R_p = model::nearest_rotation(T_p.topLeftCorner<3, 3>());
  const Eigen::Vector3d t_p = T_p.block<3, 1>(0, 3);
  const Eigen::Vector3d v_c = (T.block<3, 1>(0, 3) - t_p) / kDeltaT;
  const Eigen::Vector3d w_c = model::log_rotation(R * R_p.transpose()) / kDeltaT;
  if (!v_c.allFinite() || !w_c.allFinite())
    return fail(Error::invalid_argument("O_dP_EE_c is infinite or NaN."));

  const Vec3 v = limit_vector_rate(limits.translational_velocity, limits.translational_acceleration,
                                   limits.translational_jerk, {v_c[0], v_c[1], v_c[2]},
                                   {twist_p[0], twist_p[1], twist_p[2]},
                                   {acceleration_p[0], acceleration_p[1], acceleration_p[2]});
  const Vec3 w = limit_vector_rate(limits.rotational_velocity, limits.rotational_acceleration, limits.rotational_jerk,
                                   {w_c[0], w_c[1], w_c[2]}, {twist_p[3], twist_p[4], twist_p[5]},
                                   {acceleration_p[3], acceleration_p[4], acceleration_p[5]});

  const Eigen::Vector3d omega = as_vector(w);
  const Eigen::Matrix3d R_out = omega.norm() > kNormEpsilon ? Eigen::Matrix3d(model::exp_rotation(omega * kDeltaT) * R_p)
                                                            : R_p;
  Pose out{};
  for (int c = 0; c < 3; ++c)
    for (int r = 0; r < 3; ++r) out[static_cast<std::size_t>(4 * c + r)] = R_out(r, c);
  for (std::size_t i = 0; i < 3; ++i) out[12 + i] = t_p[static_cast<Eigen::Index>(i)] + v[i] * kDeltaT;
  out[15] = 1.0;
  return out;
}

bool is_valid_transform(const Pose& T) {
  if (T[3] != 0.0 || T[7] != 0.0 || T[11] != 0.0 || T[15] != 1.0) return false;
  constexpr double kTolerance = 1e-5;
  for (std::size_t j = 0; j < 3; ++j) {
    const double column = std::sqrt(T[4 * j] * T[4 * j] + T[4 * j + 1] * T[4 * j + 1] + T[4 * j + 2] * T[4 * j + 2]);
    const double row = std::sqrt(T[j] * T[j] + T[4 + j] * T[4 + j] + T[8 + j] * T[8 + j]);
    // Written so that NaN fails too.
    if (!(std::abs(column - 1.0) <= kTolerance) || !(std::abs(row - 1.0) <= kTolerance)) return false;
  }
  return true;
}

}  // namespace korvex
