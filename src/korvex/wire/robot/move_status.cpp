#include "korvex/wire/robot/move_status.hpp"

#include <array>

namespace korvex {

std::string_view move_status_name(MoveStatus status) {
  static constexpr std::array<std::string_view, 12> kNames = {
      "Success",
      "MotionStarted",
      "Preempted",
      "PreemptedDueToActivatedSafetyFunctions",
      "CommandRejectedDueToActivatedSafetyFunctions",
      "CommandNotPossibleRejected",
      "StartAtSingularPoseRejected",
      "InvalidArgumentRejected",
      "ReflexAborted",
      "EmergencyAborted",
      "InputErrorAborted",
      "Aborted",
  };
  return kNames[static_cast<std::size_t>(status)];
}

}  // namespace korvex
