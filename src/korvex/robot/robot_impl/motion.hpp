#pragma once
// The 1 kHz motion loop: Move, one state for one command per cycle, finish, cancel.
#include <cstdint>

#include "korvex/error.hpp"
#include "korvex/robot/commands.hpp"
#include "korvex/robot/shaping.hpp"
#include "korvex/wire/robot/codec.hpp"
#include "korvex/wire/robot/protocol.hpp"

namespace korvex {

class Connection;

namespace robot_impl {

//! The command parts of one cycle; a part without its flag is not sent (zeros on the wire).
struct CycleCommands {
  MotionGeneratorCommand motion{};
  ControllerCommand control{};
  bool has_motion = false;
  bool has_control = false;
};

//! One motion on a connection. Its operations run in the loop's thread; per cycle nothing allocates,
//! and only the brief bookkeeping, channel and log locks are taken.
class MotionLoop {
 public:
  MotionLoop(Connection& connection, double cutoff_frequency, bool limit_rate);

  //! Sends Move and waits until the states show the expected modes; returns the Move's command id.
  Result<std::uint32_t> start_motion(ControllerMode controller, MotionGeneratorMode generator);
  //! One cycle exchange: sends the commands (none: nothing), receives and logs the newest state.
  Result<RobotState> update(const CycleCommands* commands);
  //! Error when the arm has ended the motion (judged from the final Move reply).
  Status check_motion(const RobotState& state);
  //! Sends the commands with their finished flags until the arm ends the motion; judges the final reply.
  Status finish_motion(CycleCommands commands);
  //! Stop Move, then waits for the arm to leave the motion. Callers discard the result.
  Status cancel_motion();

  CommandShaper& shaper() { return shaper_; }
  std::uint32_t move_id() const { return move_id_; }

 private:
  Status send(const CycleCommands& commands);
  //! A Move reply that arrived while starting: continue (Success, MotionStarted) or its error.
  Status judge_start_reply(std::span<const std::uint8_t> reply, bool first);
  bool modes_as_expected();
  bool motion_running();
  void reset_expected_modes();

  Connection& connection_;
  std::uint16_t version_;
  CommandShaper shaper_;
  std::uint32_t move_id_ = 0;
  CommandBuffer buffer_{};
};

//! Entry points; each takes the connection's busy guard first and runs in the calling thread.
Status control_torques(Connection& connection, TorqueCallback callback, bool limit_rate, double cutoff_frequency);
Status control_joint_positions(Connection& connection, ControllerMode controller, JointPositionCallback callback,
                               bool limit_rate, double cutoff_frequency);
Status control_cartesian_pose(Connection& connection, ControllerMode controller, CartesianPoseCallback callback,
                              bool limit_rate, double cutoff_frequency);

}  // namespace robot_impl
}  // namespace korvex
