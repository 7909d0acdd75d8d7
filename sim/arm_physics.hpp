#pragma once
// Rigid-body motion of the simulated arm under its gravity compensation, friction and end stops.
#include <array>

#include "korvex/model/native_backend.hpp"
#include "korvex/wire/robot/state.hpp"

namespace korvex::sim {

struct JointLimits {
  Vec7 lower{};
  Vec7 upper{};
  Vec7 velocity{};  //!< [rad/s]
  Vec7 effort{};    //!< [Nm]
};

//! End stops, speed and torque limits of each arm model.
const JointLimits& zk2_limits();
const JointLimits& zk1_limits();

struct Payload {
  double m_total = 0;
  Vec3 F_x_Ctotal{};
  Mat3 I_total{};
};

class ArmPhysics {
 public:
  //! Integration steps per millisecond.
  static constexpr int kSubsteps = 10;

  ArmPhysics(model::NativeBackend model, const JointLimits& limits, const Vec7& q0);

  //! Advances `dt` seconds. `torque(q, dq)` is what the arm applies on top of its gravity compensation,
  //! evaluated at every substep; `tau_ext` is applied by the environment.
  template <class TorqueFn>
  void step(double dt, TorqueFn&& torque, const Vec7& tau_ext, const Payload& payload);

  //! Holds the arm still where it is (brakes, idle).
  void hold();

  const Vec7& q() const { return q_; }
  const Vec7& dq() const { return dq_; }
  const Vec7& ddq() const { return ddq_; }
  const model::NativeBackend& model() const { return model_; }
  const JointLimits& limits() const { return limits_; }

  //! Viscous friction [Nm s/rad] and the reflected motor inertia added to the link inertia [kg m^2].
  static const Vec7& friction();
  static const Vec7& armature();

 private:
  void substep(double h, const Vec7& tau, const Payload& payload);

  model::NativeBackend model_;
  JointLimits limits_;
  Vec7 q_{};
  Vec7 dq_{};
  Vec7 ddq_{};
};

template <class TorqueFn>
void ArmPhysics::step(double dt, TorqueFn&& torque, const Vec7& tau_ext, const Payload& payload) {
  const double h = dt / kSubsteps;
  for (int i = 0; i < kSubsteps; ++i) {
    Vec7 tau = torque(q_, dq_);
    for (int j = 0; j < 7; ++j) tau[j] += tau_ext[j];
    substep(h, tau, payload);
  }
}

}  // namespace korvex::sim
