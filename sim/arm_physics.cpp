#include "sim/arm_physics.hpp"

#include <Eigen/Cholesky>
#include <Eigen/Core>

#include "korvex/model/dynamics.hpp"

namespace korvex::sim {

const JointLimits& zk2_limits() {
  static const JointLimits limits{
      {-2.7501, -1.7918, -2.9065, -3.0481, -2.8101, 0.54092, -3.0196},
      {2.7501, 1.7918, 2.9065, -0.1458, 2.8101, 4.5205, 3.0196},
      {2.62, 2.62, 2.62, 2.62, 5.26, 4.18, 5.26},
      {87, 87, 87, 87, 12, 12, 12},
  };
  return limits;
}

const JointLimits& zk1_limits() {
  static const JointLimits limits{
      {-2.8973, -1.7628, -2.8973, -3.0718, -2.8973, -0.0175, -2.8973},
      {2.8973, 1.7628, 2.8973, -0.0698, 2.8973, 3.7525, 2.8973},
      {2.175, 2.175, 2.175, 2.175, 2.61, 2.61, 2.61},
      {87, 87, 87, 87, 12, 12, 12},
  };
  return limits;
}

const Vec7& ArmPhysics::friction() {
  static const Vec7 f{1.0, 1.0, 1.0, 1.0, 0.3, 0.3, 0.3};
  return f;
}

const Vec7& ArmPhysics::armature() {
  // Motors behind gear trains dominate the inertia a joint feels; without it the wrist would
  // react to a millisecond-held torque far faster than a real arm does.
  static const Vec7 a{0.4, 0.4, 0.3, 0.3, 0.1, 0.1, 0.1};
  return a;
}

ArmPhysics::ArmPhysics(model::NativeBackend model, const JointLimits& limits, const Vec7& q0)
    : model_(std::move(model)), limits_(limits), q_(q0) {}

void ArmPhysics::hold() {
  dq_ = {};
  ddq_ = {};
}

void ArmPhysics::substep(double h, const Vec7& tau, const Payload& payload) {
  // Gravity is cancelled by the arm's own compensation, so only inertia, Coriolis and friction remain.
  const model::Mat7 m = model::mass_matrix(model_, q_, payload.I_total, payload.F_x_Ctotal, payload.m_total);
  const Vec3 no_gravity{0, 0, 0};
  const Vec7 c = model::coriolis(model_, q_, dq_, payload.I_total, payload.F_x_Ctotal, no_gravity, payload.m_total);
  Eigen::Matrix<double, 7, 7> M = Eigen::Map<const Eigen::Matrix<double, 7, 7>>(m.data());
  Eigen::Matrix<double, 7, 1> rhs;
  for (int j = 0; j < 7; ++j) {
    M(j, j) += armature()[j];
    rhs[j] = tau[j] - c[j] - friction()[j] * dq_[j];
  }
  const Eigen::Matrix<double, 7, 1> a = M.llt().solve(rhs);
  for (int j = 0; j < 7; ++j) {
    ddq_[j] = a[j];
    dq_[j] += h * a[j];  // semi-implicit Euler: velocity first
    q_[j] += h * dq_[j];
    // End stops: the joint stays at the stop and loses the speed that pushes into it.
    if (q_[j] < limits_.lower[j]) {
      q_[j] = limits_.lower[j];
      if (dq_[j] < 0) dq_[j] = 0;
    } else if (q_[j] > limits_.upper[j]) {
      q_[j] = limits_.upper[j];
      if (dq_[j] > 0) dq_[j] = 0;
    }
  }
}

}  // namespace korvex::sim
