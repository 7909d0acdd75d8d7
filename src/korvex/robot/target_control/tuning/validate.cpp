#include "korvex/robot/target_control/tuning/validate.hpp"

#include <algorithm>
#include <cmath>
#include <string>

#include "korvex/format.hpp"

namespace korvex {
namespace {

bool finite_positive(double x) { return std::isfinite(x) && x > 0; }
bool finite_non_negative(double x) { return std::isfinite(x) && x >= 0; }
// NaN is outside every interval.
bool within(double x, double lo, double hi) { return x >= lo && x <= hi; }

Status invalid(std::string message) { return fail(Error::invalid_argument(std::move(message))); }

template <std::size_t N>
bool all_of(const std::array<double, N>& xs, bool (*pred)(double)) {
  return std::all_of(xs.begin(), xs.end(), pred);
}

bool gains_valid(const ImpedanceGains& g) {
  return all_of(g.cartesian_stiffness, finite_non_negative) && all_of(g.cartesian_damping, finite_non_negative) &&
         all_of(g.joint_stiffness, finite_non_negative) && all_of(g.joint_damping, finite_non_negative);
}

bool torque_limits_valid(const std::array<double, 7>& t) {
  for (std::size_t i = 0; i < 7; ++i)
    if (!(std::isfinite(t[i]) && t[i] > 0 && t[i] <= kRatedTorques[i])) return false;
  return true;
}

bool ik_valid(const IkOptions& ik) {
  return finite_positive(ik.damping) && finite_non_negative(ik.nullspace_gain) && finite_non_negative(ik.tolerance) &&
         ik.rotation_weight > 0 && ik.rotation_weight <= 1 && ik.iterations >= 1;
}

Status validate_common(const TargetBackend& backend, double max_deviation, const Settle& settle,
                       const RealtimeConfig& realtime) {
  if (backend.impedance) {
    if (auto s = validate(*backend.impedance); !s) return s;
  }
  if (!finite_positive(max_deviation))
    return invalid("target control: max_deviation must be finite and positive, got " + fmt::number(max_deviation));
  if (!finite_positive(settle.tolerance) || settle.cycles < 1)
    return invalid("target control: settle needs a finite, positive tolerance and at least one cycle, got " +
                   field_form(settle));
  if (realtime.realtime_priority && (*realtime.realtime_priority < 1 || *realtime.realtime_priority > 99))
    return invalid("target control: realtime_priority must be within 1..=99, got " +
                   std::to_string(*realtime.realtime_priority));
  if (realtime.cpu && *realtime.cpu >= 1024)
    return invalid("target control: cpu must be below 1024, got " + std::to_string(*realtime.cpu));
  return {};
}

Status check_posture(const TargetBackend& backend, ArmModel model) {
  if (!backend.impedance || !backend.impedance->posture) return {};
  const ImpedanceOptions& o = *backend.impedance;
  return check_joint_configuration("posture", *o.posture, std::max(o.joint_position_margin, 0.02), model);
}

}  // namespace

Error otg_limits_error(const OtgLimits& limits, double position) {
  return Error::invalid_argument("otg: limits must be finite and positive and the position finite, got " +
                                 field_form(limits) + " at " + fmt::number(position));
}

Status validate(const ImpedanceOptions& o) {
  if (!gains_valid(o.gains))
    return invalid("target control: impedance gains must be finite and non-negative, got " + field_form(o.gains));
  if (!torque_limits_valid(o.torque_limits))
    return invalid("target control: torque_limits must be positive and at most the rated " + fmt::list(kRatedTorques) +
                   " Nm, got " + fmt::list(o.torque_limits));
  if (!finite_positive(o.cutoff_frequency))
    return invalid("target control: cutoff_frequency must be finite and positive, got " +
                   fmt::number(o.cutoff_frequency));
  if (!(std::isfinite(o.velocity_feedforward_cutoff) && o.velocity_feedforward_cutoff >= 1))
    return invalid("target control: velocity_feedforward_cutoff must be at least 1 Hz, got " +
                   fmt::number(o.velocity_feedforward_cutoff));
  if (!within(o.velocity_feedforward_gain, 0, 1))
    return invalid("target control: velocity_feedforward_gain must be within [0, 1], got " +
                   fmt::number(o.velocity_feedforward_gain));
  if (!finite_positive(o.leash.translation) || !finite_positive(o.leash.rotation) || !finite_positive(o.leash.joint))
    return invalid("target control: leash must be finite and positive, got " + field_form(o.leash));
  if (o.posture && !all_of(*o.posture, [](double x) { return std::isfinite(x); }))
    return invalid("target control: posture must be finite, got " + fmt::list(*o.posture));
  if (!(o.joint_velocity_fraction > 0 && o.joint_velocity_fraction <= 1))
    return invalid("target control: joint_velocity_fraction must be in (0, 1], got " +
                   fmt::number(o.joint_velocity_fraction));
  if (!within(o.velocity_barrier_fraction, o.joint_velocity_fraction, 1))
    return invalid("target control: velocity_barrier_fraction must be in [joint_velocity_fraction, 1] = [" +
                   fmt::number(o.joint_velocity_fraction) + ", 1], got " + fmt::number(o.velocity_barrier_fraction));
  if (!within(o.joint_position_margin, 0.035, 0.5))
    return invalid("target control: joint_position_margin must be in [0.035, 0.5] rad, got " +
                   fmt::number(o.joint_position_margin));
  if (!ik_valid(o.ik))
    return invalid(
        "target control: ik needs a finite, positive damping, finite and non-negative nullspace_gain and tolerance, "
        "a rotation_weight within (0, 1], and at least one iteration, got " +
        field_form(o.ik));
  return {};
}

Status validate(const JointTargetOptions& o, ArmModel model) {
  if (o.limits) {
    for (const OtgLimits& l : *o.limits)
      if (!l.valid()) return fail(otg_limits_error(l, 0));
  }
  if (auto s = validate_common(o.backend, o.max_deviation, o.settle, o.realtime); !s) return s;
  return check_posture(o.backend, model);
}

Status validate(const CartesianTargetOptions& o, ArmModel model) {
  if (!o.limits.valid()) return fail(otg_limits_error(o.limits, 0));
  if (!o.rotation_limits.valid())
    return invalid("target control: rotation_limits must be finite and positive, got " + field_form(o.rotation_limits));
  if (!finite_positive(o.max_angular_deviation))
    return invalid("target control: max_angular_deviation must be finite and positive, got " +
                   fmt::number(o.max_angular_deviation));
  if (auto s = validate_common(o.backend, o.max_deviation, o.settle, o.realtime); !s) return s;
  return check_posture(o.backend, model);
}

}  // namespace korvex
