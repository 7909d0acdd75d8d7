#include "korvex/robot/robot_impl/exception.hpp"

#include <algorithm>
#include <cstdio>
#include <span>

#include "korvex/format.hpp"
#include "korvex/robot/logger.hpp"

namespace korvex {
namespace {

// Builds "Name { a: .., b: .. }" field by field.
class Fields {
 public:
  explicit Fields(std::string_view name) : out_(name) { out_ += " { "; }

  Fields& raw(std::string_view name, std::string_view value) {
    if (!first_) out_ += ", ";
    first_ = false;
    out_ += name;
    out_ += ": ";
    out_ += value;
    return *this;
  }
  Fields& list(std::string_view name, std::span<const double> xs) { return raw(name, fmt::list(xs)); }
  Fields& number(std::string_view name, double x) { return raw(name, fmt::list_number(x)); }

  std::string done() && { return std::move(out_) + " }"; }

 private:
  std::string out_;
  bool first_ = true;
};

std::string debug_text(const RobotState& s) {
  Fields f("RobotState");
  f.list("O_T_EE", s.O_T_EE).list("O_T_EE_d", s.O_T_EE_d).list("F_T_EE", s.F_T_EE);
  f.list("F_T_NE", s.F_T_NE).list("NE_T_EE", s.NE_T_EE).list("EE_T_K", s.EE_T_K);
  f.number("m_ee", s.m_ee).list("I_ee", s.I_ee).list("F_x_Cee", s.F_x_Cee);
  f.number("m_load", s.m_load).list("I_load", s.I_load).list("F_x_Cload", s.F_x_Cload);
  f.number("m_total", s.m_total).list("I_total", s.I_total).list("F_x_Ctotal", s.F_x_Ctotal);
  f.list("elbow", s.elbow).list("elbow_d", s.elbow_d).list("elbow_c", s.elbow_c);
  f.list("delbow_c", s.delbow_c).list("ddelbow_c", s.ddelbow_c);
  f.list("tau_J", s.tau_J).list("tau_J_d", s.tau_J_d).list("dtau_J", s.dtau_J);
  f.list("q", s.q).list("q_d", s.q_d).list("dq", s.dq).list("dq_d", s.dq_d).list("ddq_d", s.ddq_d);
  f.list("joint_contact", s.joint_contact).list("cartesian_contact", s.cartesian_contact);
  f.list("joint_collision", s.joint_collision).list("cartesian_collision", s.cartesian_collision);
  f.list("tau_ext_hat_filtered", s.tau_ext_hat_filtered);
  f.list("O_F_ext_hat_K", s.O_F_ext_hat_K).list("K_F_ext_hat_K", s.K_F_ext_hat_K);
  f.list("O_dP_EE_d", s.O_dP_EE_d).list("O_ddP_O", s.O_ddP_O);
  f.list("O_T_EE_c", s.O_T_EE_c).list("O_dP_EE_c", s.O_dP_EE_c).list("O_ddP_EE_c", s.O_ddP_EE_c);
  f.list("theta", s.theta).list("dtheta", s.dtheta);
  f.list("accelerometer_top", s.accelerometer_top).list("accelerometer_bottom", s.accelerometer_bottom);
  f.raw("current_errors", s.current_errors.display());
  f.raw("last_motion_errors", s.last_motion_errors.display());
  f.number("control_command_success_rate", s.control_command_success_rate);
  f.raw("robot_mode", robot_mode_name(s.robot_mode));
  f.raw("time", std::to_string(s.time));
  return std::move(f).done();
}

std::string debug_text(const RobotCommandLog& c) {
  Fields f("RobotCommandLog");
  f.list("q_c", c.q_c).list("dq_c", c.dq_c).list("O_T_EE_c", c.O_T_EE_c);
  f.list("O_dP_EE_c", c.O_dP_EE_c).list("elbow_c", c.elbow_c).list("tau_J_d", c.tau_J_d);
  return std::move(f).done();
}

// "control_command_success_rate: .." of the last full sample, discounted by the states lost
// between the last two records.
std::string success_rate_line(const std::vector<Record>& log) {
  const Record& last = log[log.size() - 1];
  const Record& previous = log[log.size() - 2];
  const std::uint64_t lost = last.state.time > previous.state.time ? last.state.time - previous.state.time - 1 : 0;
  // A rate cannot drop below zero, however many states were lost.
  const double factor = std::max(0.0, 1.0 - static_cast<double>(lost) / 100.0);
  std::string line = "\ncontrol_command_success_rate: " +
                     fmt::six_digits(previous.state.control_command_success_rate * factor);
  if (lost >= 1) line += " packets lost in a row in the last sample: " + std::to_string(lost);
  return line;
}

}  // namespace

std::string Record::debug() const {
  return "Record { state: " + debug_text(state) + ", command: " + debug_text(command) + " }";
}

std::string ControlException::debug() const {
  std::string out = "ControlException { message: " + fmt::quoted(message) + ", move_status: ";
  out += move_status ? "Some(" + std::string(move_status_name(*move_status)) + ")" : std::string("None");
  out += ", last_motion_errors: " + last_motion_errors.display();
  out += ", log: [";
  for (std::size_t i = 0; i < log.size(); ++i) {
    if (i) out += ", ";
    out += log[i].debug();
  }
  out += "] }";
  return out;
}

ControlException make_control_exception(Logger& log, std::string message, MoveStatus move_status,
                                        const Errors& last_motion_errors) {
  ControlException e;
  e.log = log.take();
  e.message = std::move(message);
  if (move_status == MoveStatus::ReflexAborted) {
    e.message += ' ';
    e.message += last_motion_errors.display();
    if (e.log.size() >= 2) e.message += success_rate_line(e.log);
  }
  e.last_motion_errors = last_motion_errors;
  e.move_status = move_status;
  const std::string line = e.message + '\n';
  std::fwrite(line.data(), 1, line.size(), stderr);
  return e;
}

}  // namespace korvex
