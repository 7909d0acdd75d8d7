#pragma once
#include <cstdint>
#include <string_view>

namespace korvex {

//! Outcome of a Move command, independent of the protocol version's wire values.
enum class MoveStatus : std::uint8_t {
  Success,
  MotionStarted,
  Preempted,
  PreemptedDueToActivatedSafetyFunctions,
  CommandRejectedDueToActivatedSafetyFunctions,
  CommandNotPossibleRejected,
  StartAtSingularPoseRejected,
  InvalidArgumentRejected,
  ReflexAborted,
  EmergencyAborted,
  InputErrorAborted,
  Aborted,
};

//! "Success", "MotionStarted", ... as reported to users.
std::string_view move_status_name(MoveStatus status);

}  // namespace korvex
