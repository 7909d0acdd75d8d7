#include "sim/arm_motion.hpp"

#include <Eigen/Core>
#include <algorithm>
#include <cmath>

#include "korvex/model/dynamics.hpp"
#include "korvex/model/kinematics.hpp"
#include "korvex/model/rotation.hpp"

namespace korvex::sim {
namespace {

constexpr double kDt = 0.001;
constexpr double kTorqueRate = 1000.0;  // [Nm/s]
// Rough joint inertias for choosing the damping of the internal joint impedance [kg m^2].
constexpr Vec7 kLinkInertiaEstimate{0.6, 0.6, 0.3, 0.3, 0.05, 0.05, 0.02};

void set_flag(Errors& e, std::string_view name) {
  for (std::size_t i = 0; i < Errors::kCount; ++i)
    if (Errors::kNames[i] == name) e.flags[i] = true;
}

using Vec6d = Eigen::Matrix<double, 6, 1>;
using Vec7d = Eigen::Matrix<double, 7, 1>;
using Jac = Eigen::Matrix<double, 6, 7>;

Eigen::Matrix3d rotation(const Pose& p) {
  Eigen::Matrix3d R;
  for (int c = 0; c < 3; ++c)
    for (int r = 0; r < 3; ++r) R(r, c) = p[c * 4 + r];
  return R;
}

bool finite(std::span<const double> xs) {
  return std::all_of(xs.begin(), xs.end(), [](double x) { return std::isfinite(x); });
}

}  // namespace

ArmMotion::ArmMotion(std::uint32_t move_id, std::uint8_t controller_mode, std::uint8_t generator_mode,
                     const RobotState& start, std::uint16_t version)
    : move_id_(move_id), controller_(controller_mode), generator_(generator_mode), version_(version) {
  q_ref_ = start.q;
  pose_ref_ = start.O_T_EE;
}

StateModes ArmMotion::modes() const {
  return {static_cast<std::uint8_t>(generator_ + 1), controller_, static_cast<std::uint8_t>(RobotMode::Move)};
}

double ArmMotion::success_rate() const {
  return window_count_ == 0 ? 1.0 : static_cast<double>(window_hits_) / window_count_;
}

Vec7 ArmMotion::torque(const Vec7& q, const Vec7& dq, const ArmPhysics& physics, const ArmSettings& settings,
                       const Payload&) const {
  Vec7 tau{};
  if (controller_ == 2) return tau_d_;
  const bool cartesian = controller_ == 1 || generator_ == 2 || generator_ == 3;
  if (!cartesian) {
    for (int j = 0; j < 7; ++j) {
      const double k = settings.joint_stiffness[j];
      const double d = 2.0 * std::sqrt(k * (kLinkInertiaEstimate[j] + ArmPhysics::armature()[j]));
      tau[j] = k * (q_ref_[j] - q[j]) + d * (dq_ref_[j] - dq[j]);
    }
    return tau;
  }
  // Cartesian impedance at the end effector with light joint damping for the null space.
  const Pose pose = model::pose(physics.model(), model::Frame::EndEffector, q, F_T_EE_);
  const model::Jacobian jac = model::zero_jacobian(physics.model(), model::Frame::EndEffector, q, F_T_EE_);
  const Jac J = Eigen::Map<const Jac>(jac.data());
  const Vec6d v = J * Eigen::Map<const Vec7d>(dq.data());
  Vec6d e;
  for (int i = 0; i < 3; ++i) e[i] = pose_ref_[12 + i] - pose[12 + i];
  e.tail<3>() = model::log_rotation(rotation(pose_ref_) * rotation(pose).transpose());
  Vec6d F;
  for (int i = 0; i < 6; ++i) {
    const double k = settings.cartesian_stiffness[i];
    const double d = 2.0 * std::sqrt(k * (i < 3 ? 5.0 : 0.1));
    F[i] = k * e[i] + d * (twist_ref_[i] - v[i]);
  }
  const Vec7d t = J.transpose() * F;
  for (int j = 0; j < 7; ++j) tau[j] = t[j] - 2.0 * dq[j];
  return tau;
}

std::optional<MoveStatus> ArmMotion::tick(const RobotCommand* command, ArmPhysics& physics,
                                          const ArmSettings& settings, const Disturbance& push,
                                          const Payload& payload, RobotState& state) {
  F_T_EE_ = state.F_T_EE;
  const JointLimits& lim = physics.limits();
  Errors flags{};

  // Commands in time, and the reflex of an arm that stops hearing from its client.
  const bool fresh = command != nullptr;
  if (window_count_ == kRateWindow) window_hits_ -= window_[window_pos_] ? 1 : 0;
  else ++window_count_;
  window_[window_pos_] = fresh;
  window_hits_ += fresh ? 1 : 0;
  window_pos_ = (window_pos_ + 1) % kRateWindow;
  if (fresh) {
    command_ = *command;
    have_command_ = true;
    missed_ = 0;
  } else if (have_command_ && ++missed_ > kMaxMissedCommands) {
    set_flag(flags, "communication_constraints_violation");
  }

  bool finished = false;
  if (fresh) {
    const MotionGeneratorCommand& m = command_.motion;
    finished = generator_ == 4 ? command_.control.torque_command_finished : m.motion_generation_finished;
    switch (generator_) {
      case 0: {  // joint position
        if (!finite(m.q_c)) {
          set_flag(flags, "joint_motion_generator_position_limits_violation");
          break;
        }
        for (int j = 0; j < 7; ++j) {
          if (m.q_c[j] < lim.lower[j] || m.q_c[j] > lim.upper[j])
            set_flag(flags, "joint_motion_generator_position_limits_violation");
          const double v = (m.q_c[j] - q_ref_[j]) / kDt;
          if (std::fabs(v) > lim.velocity[j] * 1.001) set_flag(flags, "joint_motion_generator_velocity_limits_violation");
          ddq_ref_[j] = (v - dq_ref_[j]) / kDt;
          dq_ref_[j] = v;
          q_ref_[j] = m.q_c[j];
        }
        pose_ref_ = model::pose(physics.model(), model::Frame::EndEffector, q_ref_, state.F_T_EE);
        break;
      }
      case 1:  // joint velocity
        for (int j = 0; j < 7; ++j) {
          const double v = std::isfinite(m.dq_c[j]) ? m.dq_c[j] : 0.0;
          if (std::fabs(v) > lim.velocity[j] * 1.001) set_flag(flags, "joint_motion_generator_velocity_limits_violation");
          ddq_ref_[j] = (v - dq_ref_[j]) / kDt;
          dq_ref_[j] = v;
          q_ref_[j] += v * kDt;
        }
        break;
      case 2: {  // Cartesian pose
        if (!finite(m.O_T_EE_c)) {
          set_flag(flags, "cartesian_motion_generator_velocity_limits_violation");
          break;
        }
        Vec6 twist{};
        for (int i = 0; i < 3; ++i) twist[i] = (m.O_T_EE_c[12 + i] - pose_ref_[12 + i]) / kDt;
        const Eigen::Vector3d w =
            model::log_rotation(rotation(m.O_T_EE_c) * rotation(pose_ref_).transpose()) / kDt;
        for (int i = 0; i < 3; ++i) twist[3 + i] = w[i];
        if (std::hypot(twist[0], twist[1], twist[2]) > 3.0)
          set_flag(flags, "cartesian_motion_generator_velocity_limits_violation");
        for (int i = 0; i < 6; ++i) {
          accel_ref_[i] = (twist[i] - twist_ref_[i]) / kDt;
          twist_ref_[i] = twist[i];
        }
        pose_ref_ = m.O_T_EE_c;
        break;
      }
      case 3: {  // Cartesian velocity
        Vec6 twist{};
        for (int i = 0; i < 6; ++i) twist[i] = std::isfinite(m.O_dP_EE_c[i]) ? m.O_dP_EE_c[i] : 0.0;
        for (int i = 0; i < 6; ++i) {
          accel_ref_[i] = (twist[i] - twist_ref_[i]) / kDt;
          twist_ref_[i] = twist[i];
        }
        for (int i = 0; i < 3; ++i) pose_ref_[12 + i] += twist[i] * kDt;
        const Eigen::Matrix3d R =
            model::exp_rotation(Eigen::Vector3d(twist[3], twist[4], twist[5]) * kDt) * rotation(pose_ref_);
        for (int c = 0; c < 3; ++c)
          for (int r = 0; r < 3; ++r) pose_ref_[c * 4 + r] = R(r, c);
        break;
      }
      default:
        break;
    }
    if (controller_ == 2) {
      const Vec7& t = command_.control.tau_J_d;
      for (int j = 0; j < 7; ++j) {
        if (!std::isfinite(t[j]) || std::fabs(t[j]) > lim.effort[j]) set_flag(flags, "tau_J_range_violation");
        else if (std::fabs(t[j] - tau_d_[j]) > kTorqueRate * kDt + 1e-9)
          set_flag(flags, "controller_torque_discontinuity");
      }
      if (!flags.any()) tau_d_ = t;
    }
  } else if (generator_ == 0 || generator_ == 2) {
    // A missing position command holds the last one.
    dq_ref_ = {};
    ddq_ref_ = {};
    twist_ref_ = {};
    accel_ref_ = {};
  }

  // The environment: joint torques plus the end-effector wrench mapped through the Jacobian.
  Vec7 tau_ext = push.tau;
  {
    const model::Jacobian jac = model::zero_jacobian(physics.model(), model::Frame::EndEffector, physics.q(), state.F_T_EE);
    const Vec7d t = Eigen::Map<const Jac>(jac.data()).transpose() * Eigen::Map<const Vec6d>(push.wrench.data());
    for (int j = 0; j < 7; ++j) tau_ext[j] += t[j];
  }

  if (!flags.any()) {
    physics.step(kDt, [&](const Vec7& q, const Vec7& dq) { return torque(q, dq, physics, settings, payload); },
                 tau_ext, payload);
  }
  const Vec7 applied = torque(physics.q(), physics.dq(), physics, settings, payload);

  for (int j = 0; j < 7; ++j) {
    if (std::fabs(physics.dq()[j]) > lim.velocity[j]) set_flag(flags, "joint_velocity_violation");
    if (physics.q()[j] <= lim.lower[j] || physics.q()[j] >= lim.upper[j]) set_flag(flags, "joint_position_limits_violation");
    if (std::fabs(tau_ext[j]) > settings.collision_torque[j]) set_flag(flags, "joint_reflex");
  }
  for (int i = 0; i < 6; ++i)
    if (std::fabs(push.wrench[i]) > settings.collision_force[i]) set_flag(flags, "cartesian_reflex");

  state.q_d = q_ref_;
  state.dq_d = dq_ref_;
  state.ddq_d = ddq_ref_;
  state.tau_J_d = applied;
  state.tau_ext_hat_filtered = tau_ext;
  state.O_F_ext_hat_K = push.wrench;
  state.O_T_EE_c = pose_ref_;
  state.O_T_EE_d = pose_ref_;
  state.O_dP_EE_c = twist_ref_;
  state.O_dP_EE_d = twist_ref_;
  state.O_ddP_EE_c = accel_ref_;
  if (command_.motion.valid_elbow) state.elbow_c = command_.motion.elbow_c;
  state.control_command_success_rate = success_rate();

  if (flags.any()) {
    state.last_motion_errors = flags;
    state.current_errors = flags;
    return MoveStatus::ReflexAborted;
  }
  if (finished) return MoveStatus::Success;
  return std::nullopt;
}

}  // namespace korvex::sim
