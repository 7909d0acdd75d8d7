#pragma once
// Command records that control callbacks return, and the non-owning callback reference.
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <type_traits>
#include <utility>

#include "korvex/wire/robot/state.hpp"

namespace korvex {

struct Torques {
  Vec7 tau_J{};  //!< [Nm]
  bool motion_finished = false;
};

struct JointPositions {
  Vec7 q{};  //!< [rad]
  bool motion_finished = false;
};

//! Only the internal zero-velocity generator of version-5 torque control uses it.
struct JointVelocities {
  Vec7 dq{};  //!< [rad/s]
  bool motion_finished = false;
};

struct CartesianPose {
  Pose O_T_EE{};               //!< column-major
  std::optional<Vec2> elbow;   //!< joint-3 position [rad] and the sign of joint 4
  bool motion_finished = false;
};

//! Non-owning reference to a callable; calling it never allocates. The referenced callable must
//! outlive every call (the motion loop calls it only while its entry point runs).
template <class Signature>
class FunctionRef;

template <class R, class... Args>
class FunctionRef<R(Args...)> {
 public:
  template <class F>
    requires(!std::is_same_v<std::remove_cvref_t<F>, FunctionRef> &&
             !std::is_function_v<std::remove_reference_t<F>> && std::is_invocable_r_v<R, F&, Args...>)
  FunctionRef(F&& f) noexcept  // NOLINT: implicit by design, like std::function
      : object_(const_cast<void*>(static_cast<const void*>(std::addressof(f)))),
        call_([](void* object, Args... args) -> R {
          return std::invoke(*static_cast<std::remove_reference_t<F>*>(object), std::forward<Args>(args)...);
        }) {}

  R operator()(Args... args) const { return call_(object_, std::forward<Args>(args)...); }

 private:
  void* object_;
  R (*call_)(void*, Args...);
};

//! Callbacks get the state and the milliseconds since the previous cycle's state (0 on the first call).
using TorqueCallback = FunctionRef<Torques(const RobotState&, std::uint64_t)>;
using JointPositionCallback = FunctionRef<JointPositions(const RobotState&, std::uint64_t)>;
using CartesianPoseCallback = FunctionRef<CartesianPose(const RobotState&, std::uint64_t)>;

}  // namespace korvex
