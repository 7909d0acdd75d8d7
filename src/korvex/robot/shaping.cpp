#include "korvex/robot/shaping.hpp"

#include <cmath>
#include <span>

namespace korvex {
namespace {

bool all_finite(std::span<const double> xs) {
  for (double x : xs)
    if (!std::isfinite(x)) return false;
  return true;
}

Error not_finite() { return Error::invalid_argument("Commanding value is infinite or NaN."); }

// Filters each element against its previous value.
template <std::size_t N>
Status lowpass_all(std::array<double, N>& values, const std::array<double, N>& previous, double cutoff) {
  for (std::size_t i = 0; i < N; ++i) {
    auto filtered = lowpass(kDeltaT, values[i], previous[i], cutoff);
    if (!filtered) return fail(std::move(filtered.error()));
    values[i] = *filtered;
  }
  return {};
}

CartesianRateLimits cartesian_limits(const ShapingLimits& l) {
  return {l.translational_velocity,
          l.translational_acceleration,
          l.translational_jerk,
          kRotationalLimitFactor * l.rotational_velocity,
          kRotationalLimitFactor * l.rotational_acceleration,
          kRotationalLimitFactor * l.rotational_jerk};
}

}  // namespace

const ShapingLimits& shaping_limits(std::uint16_t version) {
  return version == 5 ? kShapingLimitsV5 : kShapingLimitsV10;
}

CommandShaper::CommandShaper(std::uint16_t version, std::optional<JointVelocityLimits> velocity_limits,
                             double cutoff_frequency, bool limit_rate)
    : version_(version),
      velocity_limits_(std::move(velocity_limits)),
      cutoff_frequency_(cutoff_frequency),
      limit_rate_(limit_rate),
      limits_(shaping_limits(version)) {}

Result<ControllerCommand> CommandShaper::shape_torques(const Torques& command, const RobotState& state) {
  first_ = false;
  Vec7 tau = command.tau_J;
  if (filtering())
    if (auto s = lowpass_all(tau, state.tau_J_d, cutoff_frequency_); !s) return fail(std::move(s.error()));
  if (limit_rate_) {
    auto limited = limit_torque_rate(tau, state.tau_J_d, limits_.torque_rate, version_ >= 10);
    if (!limited) return fail(std::move(limited.error()));
    tau = *limited;
  }
  if (!all_finite(tau)) return fail(not_finite());
  return ControllerCommand{tau, command.motion_finished};
}

Result<MotionGeneratorCommand> CommandShaper::shape_joint_positions(const JointPositions& command,
                                                                   const RobotState& state) {
  const Vec7 previous = against_itself() ? command.q : state.q_d;
  first_ = false;
  Vec7 q = command.q;
  if (filtering())
    if (auto s = lowpass_all(q, previous, cutoff_frequency_); !s) return fail(std::move(s.error()));
  if (limit_rate_) {
    auto limited = limit_joint_positions(q, previous, state.dq_d, state.ddq_d,
                                         upper_velocity_limits(version_, velocity_limits_, previous),
                                         lower_velocity_limits(version_, velocity_limits_, previous),
                                         limits_.joint_acceleration, limits_.joint_jerk);
    if (!limited) return fail(std::move(limited.error()));
    q = *limited;
  }
  if (!all_finite(q)) return fail(not_finite());
  MotionGeneratorCommand out{};
  out.q_c = q;
  out.motion_generation_finished = command.motion_finished;
  return out;
}

Result<MotionGeneratorCommand> CommandShaper::shape_joint_velocities(const JointVelocities& command,
                                                                    const RobotState& state) {
  first_ = false;
  Vec7 dq = command.dq;
  if (filtering())
    if (auto s = lowpass_all(dq, state.dq_d, cutoff_frequency_); !s) return fail(std::move(s.error()));
  if (limit_rate_) {
    auto limited = limit_joint_velocities(dq, state.dq_d, state.ddq_d,
                                          upper_velocity_limits(version_, velocity_limits_, state.q_d),
                                          lower_velocity_limits(version_, velocity_limits_, state.q_d),
                                          limits_.joint_acceleration, limits_.joint_jerk);
    if (!limited) return fail(std::move(limited.error()));
    dq = *limited;
  }
  if (!all_finite(dq)) return fail(not_finite());
  MotionGeneratorCommand out{};
  out.dq_c = dq;
  out.motion_generation_finished = command.motion_finished;
  return out;
}

Result<MotionGeneratorCommand> CommandShaper::shape_cartesian_pose(const CartesianPose& command,
                                                                  const RobotState& state) {
  const bool own = against_itself();
  first_ = false;
  const Pose previous = own ? command.O_T_EE : state.O_T_EE_c;
  Pose pose = command.O_T_EE;
  if (filtering()) {
    auto filtered = cartesian_lowpass(pose, previous, kDeltaT, cutoff_frequency_);
    if (!filtered) return fail(std::move(filtered.error()));
    pose = *filtered;
  }
  if (limit_rate_) {
    auto limited = limit_cartesian_rate(cartesian_limits(limits_), pose, previous, state.O_dP_EE_c, state.O_ddP_EE_c);
    if (!limited) return fail(std::move(limited.error()));
    pose = *limited;
  }
  if (!all_finite(pose)) return fail(not_finite());
  if (!is_valid_transform(pose))
    return fail(Error::invalid_argument(
        "libkorvex: Attempt to set invalid transformation in motion generator. Has to be column major!"));

  MotionGeneratorCommand out{};
  out.O_T_EE_c = pose;
  out.motion_generation_finished = command.motion_finished;
  if (!command.elbow) return out;

  Vec2 elbow = *command.elbow;
  if (!all_finite(elbow)) return fail(not_finite());
  const double previous_elbow = own ? elbow[0] : state.elbow_c[0];
  if (filtering()) {
    auto filtered = lowpass(kDeltaT, elbow[0], previous_elbow, cutoff_frequency_);
    if (!filtered) return fail(std::move(filtered.error()));
    elbow[0] = *filtered;
  }
  if (limit_rate_)
    elbow[0] = limit_joint_position(elbow[0], previous_elbow, state.delbow_c[0], state.ddelbow_c[0],
                                    limits_.elbow_velocity_upper, limits_.elbow_velocity_lower,
                                    limits_.elbow_acceleration, limits_.elbow_jerk);
  // A non-finite previous elbow velocity or acceleration from the state must not reach the arm.
  if (!std::isfinite(elbow[0])) return fail(not_finite());
  if (elbow[1] != 1.0 && elbow[1] != -1.0)
    return fail(Error::invalid_argument(
        "Invalid elbow configuration given! Only +1 or -1 are allowed for the sign of the 4th joint."));
  out.elbow_c = elbow;
  out.valid_elbow = true;
  return out;
}

}  // namespace korvex
