#include "korvex/robot/lowpass.hpp"

#include <Eigen/Core>
#include <Eigen/Geometry>
#include <cmath>
#include <numbers>

#include "korvex/model/rotation.hpp"

namespace korvex {
namespace {

bool valid_sample_time(double dt) { return dt >= 0.0 && std::isfinite(dt); }
bool valid_cutoff(double f) { return f > 0.0 && std::isfinite(f); }

double gain_of(double dt, double f) { return dt / (dt + 1.0 / (2.0 * std::numbers::pi * f)); }

bool all_finite(const Pose& p) {
  for (double x : p)
    if (!std::isfinite(x)) return false;
  return true;
}

Eigen::Vector4d unit_quaternion(const Pose& p) {
  const Eigen::Map<const Eigen::Matrix4d> T(p.data());
  return model::quaternion_of(T.topLeftCorner<3, 3>()).normalized();
}

}  // namespace

Result<double> lowpass(double sample_time, double y, double y_prev, double cutoff_frequency) {
  if (!valid_sample_time(sample_time))
    return fail(Error::invalid_argument("lowpass-filter: sample_time is negative, infinite or NaN."));
  if (!valid_cutoff(cutoff_frequency))
    return fail(Error::invalid_argument("lowpass-filter: cutoff_frequency is zero, negative, infinite or NaN."));
  if (!std::isfinite(y) || !std::isfinite(y_prev))
    return fail(Error::invalid_argument(
        "lowpass-filter: current or past input value of the signal to be filtered is infinite or NaN."));
  const double gain = gain_of(sample_time, cutoff_frequency);
  return gain * y + (1.0 - gain) * y_prev;
}

Result<Pose> cartesian_lowpass(const Pose& y, const Pose& y_prev, double sample_time, double cutoff_frequency) {
  if (!valid_sample_time(sample_time))
    return fail(Error::invalid_argument("Cartesian lowpass-filter: sample_time is negative, infinite or NaN."));
  if (!valid_cutoff(cutoff_frequency))
    return fail(
        Error::invalid_argument("Cartesian lowpass-filter: cutoff_frequency is zero, negative, infinite or NaN."));
  if (!all_finite(y) || !all_finite(y_prev))
    return fail(Error::invalid_argument(
        "Cartesian lowpass-filter: current or past input value of the signal to be filtered is infinite or NaN."));
  const double gain = gain_of(sample_time, cutoff_frequency);

  Pose out = y;
  for (int i = 12; i < 15; ++i) out[i] = gain * y[i] + (1.0 - gain) * y_prev[i];

  const Eigen::Vector4d q = unit_quaternion(y);
  const Eigen::Vector4d q_prev = unit_quaternion(y_prev);
  const double d = q_prev.dot(q);
  double w_prev = 1.0 - gain;
  double w = gain;
  if (std::abs(d) < 0.9999999999999998) {
    // The angle between the two rotations on the shortest arc; with acos(d) for d < 0 the
    // weights would belong to the long way round and the gain would no longer hold.
    const double theta = std::acos(std::abs(d));
    const double s = std::sin(theta);
    w_prev = std::sin((1.0 - gain) * theta) / s;
    w = std::sin(gain * theta) / s;
  }
  if (d < 0.0) w = -w;
  const Eigen::Vector4d r = (w_prev * q_prev + w * q).normalized();
  const Eigen::Matrix3d R = Eigen::Quaterniond(r[3], r[0], r[1], r[2]).toRotationMatrix();
  for (int c = 0; c < 3; ++c)
    for (int row = 0; row < 3; ++row) out[static_cast<std::size_t>(4 * c + row)] = R(row, c);
  return out;
}

}  // namespace korvex
