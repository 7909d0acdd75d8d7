#include "sim/state_encoder.hpp"

#include <cstring>

#include "korvex/wire/robot/codec.hpp"

namespace korvex::sim {
namespace {

class Writer {
 public:
  Writer(std::uint8_t* out, bool single) : out_(out), single_(single) {}

  template <std::size_t N>
  void values(const std::array<double, N>& xs) {
    for (double x : xs) value(x);
  }
  void value(double x) {
    if (single_) {
      const float f = static_cast<float>(x);
      std::memcpy(out_ + pos_, &f, 4);
      pos_ += 4;
    } else {
      std::memcpy(out_ + pos_, &x, 8);
      pos_ += 8;
    }
  }
  void byte(std::uint8_t b) { out_[pos_++] = b; }
  void flags(const Errors& e) {
    for (bool f : e.flags) byte(f ? 1 : 0);
  }
  void u64(std::uint64_t v) {
    std::memcpy(out_ + pos_, &v, 8);
    pos_ += 8;
  }

 private:
  std::uint8_t* out_;
  bool single_;
  std::size_t pos_ = 0;
};

}  // namespace

std::span<const std::uint8_t> encode_state(const RobotState& s, DatagramModes modes, std::uint16_t version,
                                           std::span<std::uint8_t> out) {
  const bool v10 = version != 5;
  Writer w(out.data(), v10);
  w.u64(s.time);
  w.values(s.O_T_EE);
  w.values(s.O_T_EE_d);
  w.values(s.F_T_EE);
  w.values(s.EE_T_K);
  w.values(s.F_T_NE);
  w.values(s.NE_T_EE);
  w.value(s.m_ee);
  w.values(s.I_ee);
  w.values(s.F_x_Cee);
  w.value(s.m_load);
  w.values(s.I_load);
  w.values(s.F_x_Cload);
  w.values(s.elbow);
  w.values(s.elbow_d);
  w.values(s.tau_J);
  w.values(s.tau_J_d);
  w.values(s.dtau_J);
  w.values(s.q);
  w.values(s.q_d);
  w.values(s.dq);
  w.values(s.dq_d);
  w.values(s.ddq_d);
  w.values(s.joint_contact);
  w.values(s.cartesian_contact);
  w.values(s.joint_collision);
  w.values(s.cartesian_collision);
  w.values(s.tau_ext_hat_filtered);
  w.values(s.O_F_ext_hat_K);
  w.values(s.K_F_ext_hat_K);
  w.values(s.O_dP_EE_d);
  w.values(s.O_ddP_O);
  w.values(s.elbow_c);
  w.values(s.delbow_c);
  w.values(s.ddelbow_c);
  w.values(s.O_T_EE_c);
  w.values(s.O_dP_EE_c);
  w.values(s.O_ddP_EE_c);
  w.values(s.theta);
  w.values(s.dtheta);
  if (v10) {
    w.values(s.accelerometer_top);
    w.values(s.accelerometer_bottom);
  }
  w.byte(modes.motion_generator_mode);
  w.byte(modes.controller_mode);
  w.flags(s.current_errors);
  w.flags(s.last_motion_errors);
  w.byte(static_cast<std::uint8_t>(s.robot_mode));
  w.value(s.control_command_success_rate);
  return out.first(state_size(version));
}

}  // namespace korvex::sim
