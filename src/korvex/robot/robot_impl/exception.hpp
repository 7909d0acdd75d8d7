#pragma once
// A motion that ended abnormally, with the motion log of its last cycles.
#include <optional>
#include <string>
#include <vector>

#include "korvex/wire/robot/move_status.hpp"
#include "korvex/wire/robot/state.hpp"

namespace korvex {

class Logger;  // robot/logger.hpp

//! The robot command sent in one cycle (all zeros when none was sent).
struct RobotCommandLog {
  Vec7 q_c{};
  Vec7 dq_c{};
  Pose O_T_EE_c{};
  Vec6 O_dP_EE_c{};
  Vec2 elbow_c{};
  Vec7 tau_J_d{};
};

struct Record {
  RobotState state;
  RobotCommandLog command;

  //! "Record { state: RobotState { O_T_EE: [..], ... }, command: RobotCommandLog { q_c: [..], ... } }"
  std::string debug() const;
};

struct ControlException {
  std::string message;
  std::vector<Record> log;  //!< oldest first
  Errors last_motion_errors{};
  std::optional<MoveStatus> move_status;

  //! Lists message, move_status, last_motion_errors and log, in that order.
  std::string debug() const;
};

//! Takes the log and builds the exception of a motion that ended with `move_status`. A reflex
//! abort appends the flags and the last command success rate. The message also goes to stderr.
ControlException make_control_exception(Logger& log, std::string message, MoveStatus move_status,
                                        const Errors& last_motion_errors);

}  // namespace korvex
