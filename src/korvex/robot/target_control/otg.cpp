#include "korvex/robot/target_control/otg.hpp"

#include <Eigen/Geometry>
#include <algorithm>
#include <cmath>
#include <limits>
#include <span>
#include <string>

#include "korvex/format.hpp"
#include "korvex/model/rotation.hpp"
#include "korvex/robot/target_control/tuning/validate.hpp"

namespace korvex {
namespace {

// -0 counts as negative, so the choice is never "no direction".
double sign_of(double x) { return std::copysign(1.0, x); }

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

constexpr double kInf = std::numeric_limits<double>::infinity();

}  // namespace

double OtgProfile::duration() const {
  double t = 0;
  for (const OtgPhase& ph : phases) t += ph.duration;
  return t;
}

namespace {

// Phases 1-3 and 5-7 for cruise velocity vc and the position where they end; everything a
// profile needs except the cruise, shared by every search so they all round alike.
struct Shape {
  double e, s;
  double t1, t2, t3, t5, t6, t7;
  double end;
};

[[gnu::always_inline]] inline Shape shape_of(const OtgAxis& x, double vc) {
  const double J = x.max_jerk;
  const double A = x.max_acceleration;
  const double v0 = x.velocity;
  const double a0 = x.acceleration;
  Shape sh;
  // v0 -> vc: e is the direction still needed after bringing a0 to zero at full jerk.
  const double delta = vc - v0;
  sh.e = sign_of(delta - a0 * std::fabs(a0) / (2 * J));
  const double f = sh.e * a0;
  const double g = sh.e * delta;
  const double h = std::min(std::sqrt(std::max(J * g + f * f / 2, 0.0)), A);
  sh.t1 = std::max((h - f) / J, 0.0);
  sh.t2 = h > 0 ? std::max((g - (2 * h * h - f * f) / (2 * J)) / h, 0.0) : 0.0;
  sh.t3 = h / J;
  // vc -> 0 from zero acceleration.
  sh.s = sign_of(-vc);
  const double speed = std::fabs(vc);
  const double w = std::min(std::sqrt(std::max(J * speed, 0.0)), A);
  sh.t5 = w / J;
  sh.t6 = w > 0 ? std::max((speed - w * w / J) / w, 0.0) : 0.0;
  sh.t7 = w / J;
  Kinematic k{x.position, v0, a0};
  k.advance(sh.e * J, sh.t1);
  k.advance(0, sh.t2);
  k.advance(-sh.e * J, sh.t3);
  k.advance(sh.s * J, sh.t5);
  k.advance(0, sh.t6);
  k.advance(-sh.s * J, sh.t7);
  sh.end = k.p;
  return sh;
}

[[gnu::always_inline]] inline double shortfall_of(const OtgAxis& x, double vc) { return x.target - shape_of(x, vc).end; }

[[gnu::always_inline]] inline OtgProfile profile_of(const OtgAxis& x, double vc) {
  const Shape sh = shape_of(x, vc);
  const double J = x.max_jerk;
  OtgProfile pr;
  pr.cruise_velocity = vc;
  pr.shortfall = x.target - sh.end;
  const double cruise = (vc != 0 && std::fabs(pr.shortfall) >= 1e-9) ? std::max(pr.shortfall / vc, 0.0) : 0.0;
  pr.phases = {{{sh.e * J, sh.t1}, {0, sh.t2}, {-sh.e * J, sh.t3}, {0, cruise}, {sh.s * J, sh.t5}, {0, sh.t6},
                {-sh.s * J, sh.t7}}};
  return pr;
}

// The searches of all axes run in lockstep: their iterations are independent, so the processor
// overlaps them instead of waiting on one chain of divisions and roots at a time.

// A sign change of the shortfall within [lo, hi].
struct Bisection {
  const OtgAxis* axis;
  double lo, hi, tolerance;
  bool negative_at_lo;
};

void run_bisections(std::span<Bisection> jobs) {
  // Halving 2V down to 1e-10 V takes 35 steps; the cap only guards subnormal limits.
  for (int n = 0; n < 200; ++n) {
    bool any = false;
    for (Bisection& j : jobs) {
      if (!(j.hi - j.lo > j.tolerance)) continue;
      const double mid = (j.lo + j.hi) / 2;
      if (!(mid > j.lo && mid < j.hi)) {
        j.tolerance = kInf;
        continue;
      }
      any = true;
      // Branch-free: the sign is a coin toss for the predictor.
      const bool same = std::signbit(shortfall_of(*j.axis, mid)) == j.negative_at_lo;
      j.lo = same ? mid : j.lo;
      j.hi = same ? j.hi : mid;
    }
    if (!any) break;
  }
}

// Up to four bisections per axis; `answer` is final when none is needed.
struct TimeOptimal {
  OtgProfile answer;
  std::size_t first = 0, count = 0;
};

TimeOptimal prepare_time_optimal(const OtgAxis& x, Bisection* jobs) {
  TimeOptimal t;
  if (x.position == x.target && x.velocity == 0 && x.acceleration == 0) return t;
  const double V = x.max_velocity;
  t.answer = profile_of(x, V);
  if (t.answer.shortfall >= 0) return t;
  const bool negative_at_top = std::signbit(t.answer.shortfall);
  t.answer = profile_of(x, -V);
  if (t.answer.shortfall <= 0) return t;

  // Between consecutive breakpoints the shortfall changes sign at most once.
  const double J = x.max_jerk;
  const double A = x.max_acceleration;
  const double vb = x.velocity + x.acceleration * std::fabs(x.acceleration) / (2 * J);
  const double K = A * A / J;
  const std::array<double, 5> breaks{-V, std::clamp(vb - K, -V, V), std::clamp(vb, -V, V), std::clamp(vb + K, -V, V),
                                     V};
  std::array<bool, 5> negative{std::signbit(t.answer.shortfall), false, false, false, negative_at_top};
  for (std::size_t i = 1; i < 4; ++i) negative[i] = std::signbit(shortfall_of(x, breaks[i]));
  for (std::size_t i = 0; i < 4; ++i) {
    if (!(breaks[i] < breaks[i + 1]) || negative[i] == negative[i + 1]) continue;
    jobs[t.count++] = {&x, breaks[i], breaks[i + 1], 1e-10 * V, negative[i]};
  }
  return t;
}

// The shortest candidate (an earlier one wins a tie); the profile for -V when there is none.
OtgProfile finish_time_optimal(const OtgAxis& x, const TimeOptimal& t, const Bisection* jobs) {
  OtgProfile best = t.answer;
  for (std::size_t i = 0; i < t.count; ++i) {
    const OtgProfile candidate = profile_of(x, (jobs[i].lo + jobs[i].hi) / 2);
    if (i == 0 || candidate.duration() < best.duration()) best = candidate;
  }
  return best;
}

// Slowing the cruise of a profile to last at least `duration`.
struct Stretch {
  const OtgAxis* axis;
  double vc, duration, lo, hi;
  OtgProfile at_lo;
};

[[gnu::always_inline]] inline bool acceptable(const Stretch& s, double factor, OtgProfile& out) {
  out = profile_of(*s.axis, factor * s.vc);
  return s.vc * out.shortfall >= 0 && out.duration() >= s.duration;
}

bool prepare_stretch(const OtgAxis& x, const OtgProfile& profile, double duration, Stretch& s) {
  if (profile.cruise_velocity == 0 || !(duration > profile.duration())) return false;
  s = {&x, profile.cruise_velocity, duration, 1e-9, 1, {}};
  return acceptable(s, 1e-9, s.at_lo);
}

void run_stretches(std::span<Stretch> jobs) {
  OtgProfile trial;
  for (int n = 0; n < 40; ++n) {
    for (Stretch& s : jobs) {
      const double mid = (s.lo + s.hi) / 2;
      if (acceptable(s, mid, trial)) {
        s.lo = mid;
        s.at_lo = trial;
      } else {
        s.hi = mid;
      }
    }
  }
}

}  // namespace

namespace otg {

OtgProfile profile_for_cruise(const OtgAxis& x, double vc) { return profile_of(x, vc); }

OtgProfile time_optimal_profile(const OtgAxis& x) {
  std::array<Bisection, 4> jobs;
  const TimeOptimal t = prepare_time_optimal(x, jobs.data());
  run_bisections(std::span(jobs.data(), t.count));
  return finish_time_optimal(x, t, jobs.data());
}

OtgProfile stretch_profile(const OtgAxis& x, const OtgProfile& profile, double duration) {
  Stretch s;
  if (!prepare_stretch(x, profile, duration, s)) return profile;
  run_stretches(std::span(&s, 1));
  return s.at_lo;
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
  std::array<Bisection, 4 * N> bisections;
  std::array<TimeOptimal, N> plans;
  std::size_t jobs = 0;
  for (std::size_t i = 0; i < N; ++i) {
    plans[i] = prepare_time_optimal(axes_[i], bisections.data() + jobs);
    plans[i].first = jobs;
    jobs += plans[i].count;
  }
  run_bisections(std::span(bisections.data(), jobs));
  std::array<OtgProfile, N> profiles;
  double longest = 0;
  for (std::size_t i = 0; i < N; ++i) {
    profiles[i] = finish_time_optimal(axes_[i], plans[i], bisections.data() + plans[i].first);
    longest = std::max(longest, profiles[i].duration());
  }
  if (synchronise_ && dt < longest) {
    std::array<Stretch, N> stretches;
    std::array<std::size_t, N> owner;
    std::size_t count = 0;
    for (std::size_t i = 0; i < N; ++i) {
      if (prepare_stretch(axes_[i], profiles[i], longest, stretches[count])) owner[count++] = i;
    }
    run_stretches(std::span(stretches.data(), count));
    for (std::size_t k = 0; k < count; ++k) profiles[owner[k]] = stretches[k].at_lo;
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
