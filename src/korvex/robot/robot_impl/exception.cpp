#include "korvex/robot/robot_impl/exception.hpp"

#include "korvex/format.hpp"

namespace korvex {

std::string ControlException::debug() const {
  std::string out = "ControlException { message: " + fmt::quoted(message) + ", move_status: ";
  out += move_status ? "Some(" + std::string(move_status_name(*move_status)) + ")" : std::string("None");
  out += ", last_motion_errors: " + last_motion_errors.display();
  out += ", log: [";
  for (std::size_t i = 0; i < log.size(); ++i) {
    if (i) out += ", ";
    const auto& r = log[i];
    out += "Record { time: " + std::to_string(r.state.time) + ", q: " + fmt::list(r.state.q) +
           ", tau_J_d: " + fmt::list(r.command.tau_J_d) + " }";
  }
  out += "] }";
  return out;
}

}  // namespace korvex
