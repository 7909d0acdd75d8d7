#pragma once
// What the simulated arm does during a Move: internal controllers, reflexes, the end of a motion.
#include <array>
#include <cstdint>
#include <optional>
#include <span>

#include "korvex/wire/robot/codec.hpp"
#include "korvex/wire/robot/move_status.hpp"
#include "korvex/wire/robot/state.hpp"
#include "sim/arm_physics.hpp"

namespace korvex::sim {

//! Settings of the arm's internal controllers and collision detection (the Set commands).
struct ArmSettings {
  Vec7 joint_stiffness{3000, 3000, 3000, 2500, 2500, 2000, 2000};  //!< [Nm/rad]
  Vec6 cartesian_stiffness{3000, 3000, 3000, 300, 300, 300};       //!< [N/m, Nm/rad]
  Vec7 collision_torque{20, 20, 18, 18, 16, 14, 12};               //!< upper nominal thresholds [Nm]
  Vec6 collision_force{20, 20, 20, 25, 25, 25};                    //!< upper nominal thresholds [N, Nm]
};

//! Environment forces on the arm (a push by a person, a contact).
struct Disturbance {
  Vec7 tau{};     //!< joint torques [Nm]
  Vec6 wrench{};  //!< at the end effector, base frame [N, Nm]
};

class ArmMotion {
 public:
  //! Commands missed in a row before the arm stops with a communication reflex.
  static constexpr int kMaxMissedCommands = 20;
  static constexpr int kRateWindow = 100;

  //! A Move request as decoded from the wire (generator 0-4, controller 0-2).
  ArmMotion(std::uint32_t move_id, std::uint8_t controller_mode, std::uint8_t generator_mode,
            const RobotState& start, std::uint16_t version);

  std::uint32_t move_id() const { return move_id_; }
  //! Mode bytes the states carry while this motion runs.
  StateModes modes() const;

  //! One millisecond of the motion with the command that arrived for it, if any. Returns the status that
  //! ends the motion (Success, ReflexAborted) or nothing while it runs; `state` receives the arm's values.
  std::optional<MoveStatus> tick(const RobotCommand* command, ArmPhysics& physics, const ArmSettings& settings,
                                 const Disturbance& push, const Payload& payload, RobotState& state);

  //! Share of the last commands that arrived in time.
  double success_rate() const;

 private:
  Vec7 torque(const Vec7& q, const Vec7& dq, const ArmPhysics& physics, const ArmSettings& settings,
              const Payload& payload) const;

  std::uint32_t move_id_;
  std::uint8_t controller_;
  std::uint8_t generator_;
  std::uint16_t version_;

  RobotCommand command_{};  // newest command, held when one is missing
  bool have_command_ = false;
  Vec7 q_ref_{};
  Vec7 dq_ref_{};
  Vec7 ddq_ref_{};
  Pose pose_ref_{};
  Pose F_T_EE_{};
  Vec6 twist_ref_{};
  Vec6 accel_ref_{};
  Vec7 tau_d_{};
  Vec7 tau_d_prev_{};
  int missed_ = 0;
  std::array<bool, kRateWindow> window_{};
  int window_pos_ = 0;
  int window_hits_ = 0;
  int window_count_ = 0;
};

}  // namespace korvex::sim
