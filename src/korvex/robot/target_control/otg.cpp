#include "korvex/robot/target_control/otg.hpp"

#include <Eigen/Geometry>
#include <algorithm>
#include <cmath>
#include <span>
#include <string>

#include "korvex/format.hpp"
#include "korvex/model/rotation.hpp"
#include "korvex/robot/target_control/tuning/validate.hpp"

namespace korvex {
namespace {

// -0 counts as negative, so the choice is never "no direction".
double sign_of(double x) { return std::signbit(x) ? -1.0 : 1.0; }

struct Kinematic {
  double p, v, a;

  void advance(double jerk, double tau) {
    const double tau2 = tau * tau;
    p += v * tau + a * tau2 / 2 + jerk * tau2 * tau / 6;
    v += a * tau + jerk * tau2 / 2;
    a += jerk * tau;
  }
};

bool all_finite(std::span<const double> xs) {
  return std::all_of(xs.begin(), xs.end(), [](double x) { return std::isfinite(x); });
}

// Halving an interval of 2V down to 1e-10 V takes 35 steps; the cap only guards subnormal limits.
constexpr int kMaxBisections = 200;

}  // namespace

double OtgProfile::duration() const {
  double t = 0;
  for (const OtgPhase& ph : phases) t += ph.duration;
  return t;
}

namespace otg {

OtgProfile profile_for_cruise(const OtgAxis& x, double vc) {
  const double J = x.max_jerk;
  const double A = x.max_acceleration;
  const double v0 = x.velocity;
  const double a0 = x.acceleration;
  OtgProfile pr;
  pr.cruise_velocity = vc;

  // v0 -> vc: e is the direction still needed after bringing a0 to zero at full jerk.
  const double delta = vc - v0;
  const double e = sign_of(delta - a0 * std::fabs(a0) / (2 * J));
  const double f = e * a0;
  const double g = e * delta;
  const double h = std::min(std::sqrt(std::max(J * g + f * f / 2, 0.0)), A);
  pr.phases[0] = {e * J, std::max((h - f) / J, 0.0)};
  pr.phases[1] = {0, h > 0 ? std::max((g - (2 * h * h - f * f) / (2 * J)) / h, 0.0) : 0.0};
  pr.phases[2] = {-e * J, h / J};

  // vc -> 0 from zero acceleration.
  const double s = sign_of(-vc);
  const double speed = std::fabs(vc);
  const double w = std::min(std::sqrt(std::max(J * speed, 0.0)), A);
  pr.phases[4] = {s * J, w / J};
  pr.phases[5] = {0, w > 0 ? std::max((speed - w * w / J) / w, 0.0) : 0.0};
  pr.phases[6] = {-s * J, w / J};

  Kinematic k{x.position, v0, a0};
  for (std::size_t i : {0u, 1u, 2u, 4u, 5u, 6u}) k.advance(pr.phases[i].jerk, pr.phases[i].duration);
  pr.shortfall = x.target - k.p;
  const double cruise = (vc != 0 && std::fabs(pr.shortfall) >= 1e-9) ? std::max(pr.shortfall / vc, 0.0) : 0.0;
  pr.phases[3] = {0, cruise};
  return pr;
}

OtgProfile time_optimal_profile(const OtgAxis& x) {
  if (x.position == x.target && x.velocity == 0 && x.acceleration == 0) return {};
  const double V = x.max_velocity;
  const OtgProfile up = profile_for_cruise(x, V);
  if (up.shortfall >= 0) return up;
  const OtgProfile down = profile_for_cruise(x, -V);
  if (down.shortfall <= 0) return down;

  // Between consecutive breakpoints the shortfall changes sign at most once.
  const double J = x.max_jerk;
  const double A = x.max_acceleration;
  const double vb = x.velocity + x.acceleration * std::fabs(x.acceleration) / (2 * J);
  const double K = A * A / J;
  const std::array<double, 5> breaks{-V, std::clamp(vb - K, -V, V), std::clamp(vb, -V, V), std::clamp(vb + K, -V, V), V};
  std::array<bool, 5> negative{std::signbit(down.shortfall), false, false, false, std::signbit(up.shortfall)};
  for (std::size_t i = 1; i < 4; ++i) negative[i] = std::signbit(profile_for_cruise(x, breaks[i]).shortfall);

  OtgProfile best;
  bool found = false;
  for (std::size_t i = 0; i < 4; ++i) {
    double lo = breaks[i];
    double hi = breaks[i + 1];
    if (!(lo < hi) || negative[i] == negative[i + 1]) continue;
    for (int n = 0; hi - lo > 1e-10 * V && n < kMaxBisections; ++n) {
      const double mid = (lo + hi) / 2;
      if (!(mid > lo && mid < hi)) break;
      if (std::signbit(profile_for_cruise(x, mid).shortfall) == negative[i])
        lo = mid;
      else
        hi = mid;
    }
    const OtgProfile candidate = profile_for_cruise(x, (lo + hi) / 2);
    if (!found || candidate.duration() < best.duration()) best = candidate;
    found = true;
  }
  return found ? best : down;
}

OtgProfile stretch_profile(const OtgAxis& x, const OtgProfile& profile, double duration) {
  const double vc = profile.cruise_velocity;
  if (vc == 0 || !(duration > profile.duration())) return profile;
  OtgProfile slowest;
  auto acceptable = [&](double factor, OtgProfile& out) {
    out = profile_for_cruise(x, factor * vc);
    return vc * out.shortfall >= 0 && out.duration() >= duration;
  };
  if (!acceptable(1e-9, slowest)) return profile;
  double lo = 1e-9;
  double hi = 1;
  OtgProfile at_lo = slowest;
  OtgProfile trial;
  for (int n = 0; n < 40; ++n) {
    const double mid = (lo + hi) / 2;
    if (acceptable(mid, trial)) {
      lo = mid;
      at_lo = trial;
    } else {
      hi = mid;
    }
  }
  return at_lo;
}

double evaluate(OtgAxis& x, const OtgProfile& profile, double dt) {
  if (!(std::isfinite(dt) && dt > 0)) return x.position;
  if (dt >= profile.duration()) {
    x.position = x.target;
    x.velocity = 0;
    x.acceleration = 0;
    return x.position;
  }
  Kinematic k{x.position, x.velocity, x.acceleration};
  double left = dt;
  for (const OtgPhase& ph : profile.phases) {
    const double tau = std::min(ph.duration, left);
    k.advance(ph.jerk, tau);
    left -= tau;
  }
  x.position = k.p;
  x.velocity = std::clamp(k.v, -x.max_velocity, x.max_velocity);
  x.acceleration = std::clamp(k.a, -x.max_acceleration, x.max_acceleration);
  return x.position;
}

}  // namespace otg

template <std::size_t N>
Result<Otg<N>> Otg<N>::create(const std::array<OtgLimits, N>& limits, const Vector& positions, bool synchronise) {
  Otg g;
  g.synchronise_ = synchronise;
  for (std::size_t i = 0; i < N; ++i) {
    if (!limits[i].valid() || !std::isfinite(positions[i])) return fail(otg_limits_error(limits[i], positions[i]));
    OtgAxis& a = g.axes_[i];
    a.max_velocity = limits[i].max_velocity;
    a.max_acceleration = limits[i].max_acceleration;
    a.max_jerk = limits[i].max_jerk;
    a.position = a.target = positions[i];
  }
  return g;
}

template <std::size_t N>
Status Otg<N>::set_limits(const std::array<OtgLimits, N>& limits)
  requires(N == 6)
{
  if (!std::all_of(limits.begin(), limits.end(), [](const OtgLimits& l) { return l.valid(); })) {
    std::string text = "[";
    for (std::size_t i = 0; i < N; ++i) text += (i ? ", " : "") + field_form(limits[i]);
    return fail(Error::invalid_argument("otg: limits must be finite and positive, got " + text + "]"));
  }
  for (std::size_t i = 0; i < N; ++i) {
    axes_[i].max_velocity = limits[i].max_velocity;
    axes_[i].max_acceleration = limits[i].max_acceleration;
    axes_[i].max_jerk = limits[i].max_jerk;
  }
  return {};
}

template <std::size_t N>
Status Otg<N>::set_state(const Vector& positions, const Vector& velocities, const Vector& accelerations) {
  if (!all_finite(positions) || !all_finite(velocities) || !all_finite(accelerations))
    return fail(Error::invalid_argument("otg: state must be finite, got " + fmt::list(positions) + ", " +
                                        fmt::list(velocities) + ", " + fmt::list(accelerations)));
  for (std::size_t i = 0; i < N; ++i) {
    OtgAxis& a = axes_[i];
    a.position = positions[i];
    a.velocity = std::clamp(velocities[i], -a.max_velocity, a.max_velocity);
    a.acceleration = std::clamp(accelerations[i], -a.max_acceleration, a.max_acceleration);
  }
  return {};
}

template <std::size_t N>
Status Otg<N>::set_targets(const Vector& targets) {
  if (!all_finite(targets))
    return fail(Error::invalid_argument("otg: target must be finite, got " + fmt::list(targets)));
  for (std::size_t i = 0; i < N; ++i) axes_[i].target = targets[i];
  return {};
}

template <std::size_t N>
typename Otg<N>::Vector Otg<N>::step(double dt) {
  if (!(std::isfinite(dt) && dt > 0)) return positions();
  std::array<OtgProfile, N> profiles;
  double longest = 0;
  for (std::size_t i = 0; i < N; ++i) {
    profiles[i] = otg::time_optimal_profile(axes_[i]);
    longest = std::max(longest, profiles[i].duration());
  }
  if (synchronise_ && dt < longest) {
    for (std::size_t i = 0; i < N; ++i) profiles[i] = otg::stretch_profile(axes_[i], profiles[i], longest);
  }
  Vector out;
  for (std::size_t i = 0; i < N; ++i) out[i] = otg::evaluate(axes_[i], profiles[i], dt);
  return out;
}

template class Otg<6>;
template class Otg<7>;

OtgCoordinates<7> joint_coordinates(const std::array<double, 7>& target, const std::array<double, 7>& reference) {
  return {reference, target};
}

OtgCoordinates<6> cartesian_coordinates(const std::array<double, 7>& target, const std::array<double, 7>& reference) {
  auto rotation = [](const std::array<double, 7>& pose) {
    return Eigen::Quaterniond(pose[6], pose[3], pose[4], pose[5]).normalized().toRotationMatrix();
  };
  const Eigen::Vector3d r = model::log_rotation(rotation(target) * rotation(reference).transpose());
  return {{reference[0], reference[1], reference[2], 0, 0, 0}, {target[0], target[1], target[2], r[0], r[1], r[2]}};
}

std::array<OtgLimits, 6> cartesian_axis_limits(const OtgLimits& translation, const OtgLimits& rotation) {
  constexpr double kInvSqrt3 = 0.5773502691896258;
  const double sqrt3 = std::sqrt(3.0);
  const OtgLimits t{translation.max_velocity * kInvSqrt3, translation.max_acceleration * kInvSqrt3,
                    translation.max_jerk * kInvSqrt3};
  const OtgLimits r{rotation.max_velocity * 0.99 / sqrt3, rotation.max_acceleration * 0.99 / sqrt3,
                    rotation.max_jerk * 0.99 / sqrt3};
  return {t, t, t, r, r, r};
}

}  // namespace korvex
