#include "korvex/wire/robot/codec.hpp"


#include "korvex/wire/bytes.hpp"

namespace korvex {
namespace {

bool legacy(std::uint16_t version) { return version == 5; }

using namespace korvex::wire;

// Version 5 sends doubles, version 10 floats.
template <class F>
double load_real(const std::uint8_t* p) {
  if constexpr (sizeof(F) == 8) return get_f64(p);
  else return get_f32(p);
}

// Every floating field with its offset on version 5 and version 10 (wire order, not record order).
template <class State, class Visit>
void for_each_field(State& s, Visit&& visit) {
  visit(s.O_T_EE, 8, 8);
  visit(s.O_T_EE_d, 136, 72);
  visit(s.F_T_EE, 264, 136);
  visit(s.EE_T_K, 392, 200);
  visit(s.F_T_NE, 520, 264);
  visit(s.NE_T_EE, 648, 328);
  visit(s.m_ee, 776, 392);
  visit(s.I_ee, 784, 396);
  visit(s.F_x_Cee, 856, 432);
  visit(s.m_load, 880, 444);
  visit(s.I_load, 888, 448);
  visit(s.F_x_Cload, 960, 484);
  visit(s.elbow, 984, 496);
  visit(s.elbow_d, 1000, 504);
  visit(s.tau_J, 1016, 512);
  visit(s.tau_J_d, 1072, 540);
  visit(s.dtau_J, 1128, 568);
  visit(s.q, 1184, 596);
  visit(s.q_d, 1240, 624);
  visit(s.dq, 1296, 652);
  visit(s.dq_d, 1352, 680);
  visit(s.ddq_d, 1408, 708);
  visit(s.joint_contact, 1464, 736);
  visit(s.cartesian_contact, 1520, 764);
  visit(s.joint_collision, 1568, 788);
  visit(s.cartesian_collision, 1624, 816);
  visit(s.tau_ext_hat_filtered, 1672, 840);
  visit(s.O_F_ext_hat_K, 1728, 868);
  visit(s.K_F_ext_hat_K, 1776, 892);
  visit(s.O_dP_EE_d, 1824, 916);
  visit(s.O_ddP_O, 1872, 940);
  visit(s.elbow_c, 1896, 952);
  visit(s.delbow_c, 1912, 960);
  visit(s.ddelbow_c, 1928, 968);
  visit(s.O_T_EE_c, 1944, 976);
  visit(s.O_dP_EE_c, 2072, 1040);
  visit(s.O_ddP_EE_c, 2120, 1064);
  visit(s.theta, 2168, 1088);
  visit(s.dtheta, 2224, 1116);
}

struct TailOffsets {
  std::size_t motion_generator_mode, controller_mode, errors, reflex_reason, robot_mode, success_rate;
};
constexpr TailOffsets kTailV5{2280, 2281, 2282, 2323, 2364, 2365};
constexpr TailOffsets kTailV10{1288, 1289, 1290, 1331, 1372, 1373};
constexpr std::size_t kAccelerometerTopV10 = 1144;
constexpr std::size_t kAccelerometerBottomV10 = 1216;

template <class F>
void decode_reals(const std::uint8_t* p, RobotState& s, bool v5) {
  for_each_field(s, [&](auto& field, std::size_t off5, std::size_t off10) {
    const std::uint8_t* src = p + (v5 ? off5 : off10);
    if constexpr (std::is_same_v<std::remove_reference_t<decltype(field)>, double>) {
      field = load_real<F>(src);
    } else {
      for (double& x : field) {
        x = load_real<F>(src);
        src += sizeof(F);
      }
    }
  });
}

template <std::size_t N>
void load_floats(const std::uint8_t* p, std::array<double, N>& out) {
  for (double& x : out) {
    x = load_real<float>(p);
    p += 4;
  }
}

void load_errors(const std::uint8_t* p, Errors& out) {
  for (std::size_t i = 0; i < Errors::kCount; ++i) out.flags[i] = p[i] != 0;
}

// S(r)^2 = r r^T - |r|^2 I (symmetric, so storage order does not matter).
Mat3 cross_squared(const Vec3& r) {
  const double rr = r[0] * r[0] + r[1] * r[1] + r[2] * r[2];
  Mat3 m{};
  for (int c = 0; c < 3; ++c)
    for (int i = 0; i < 3; ++i) m[c * 3 + i] = r[i] * r[c] - (i == c ? rr : 0.0);
  return m;
}

// Parallel-axis theorem: each part's inertia moved to the combined centre of mass.
void compose_payload(RobotState& s) {
  s.m_total = s.m_ee + s.m_load;
  s.F_x_Ctotal = {};
  s.I_total = {};
  if (s.m_total > 0)
    for (int i = 0; i < 3; ++i) s.F_x_Ctotal[i] = (s.m_ee * s.F_x_Cee[i] + s.m_load * s.F_x_Cload[i]) / s.m_total;
  if (s.m_total == 0) return;
  const Mat3 s_total = cross_squared(s.F_x_Ctotal);
  for (int k = 0; k < 9; ++k) s.I_total[k] = s.m_total * s_total[k];
  const auto add_part = [&](double m, const Mat3& inertia, const Vec3& com) {
    if (m == 0) return;
    const Mat3 s_part = cross_squared(com);
    for (int k = 0; k < 9; ++k) s.I_total[k] += inertia[k] - m * s_part[k];
  };
  add_part(s.m_ee, s.I_ee, s.F_x_Cee);
  add_part(s.m_load, s.I_load, s.F_x_Cload);
}

template <std::size_t N>
std::uint8_t* store_all(std::uint8_t* p, const std::array<double, N>& xs) {
  for (double x : xs) {
    put_f64(p, x);
    p += 8;
  }
  return p;
}

template <std::size_t N>
const std::uint8_t* load_all(const std::uint8_t* p, std::array<double, N>& xs) {
  for (double& x : xs) {
    x = get_f64(p);
    p += 8;
  }
  return p;
}


template <class F>
void store_real(std::uint8_t* p, double x) {
  if constexpr (sizeof(F) == 8) put_f64(p, x);
  else put_f32(p, x);
}

template <class F>
void encode_reals(const RobotState& s, std::uint8_t* p, bool v5) {
  for_each_field(s, [&](const auto& field, std::size_t off5, std::size_t off10) {
    std::uint8_t* dst = p + (v5 ? off5 : off10);
    if constexpr (std::is_same_v<std::remove_cvref_t<decltype(field)>, double>) {
      store_real<F>(dst, field);
    } else {
      for (double x : field) {
        store_real<F>(dst, x);
        dst += sizeof(F);
      }
    }
  });
}

}  // namespace

std::size_t state_size(std::uint16_t version) { return legacy(version) ? kStateSizeV5 : kStateSizeV10; }
std::size_t command_size(std::uint16_t version) { return legacy(version) ? kCommandSizeV5 : kCommandSizeV10; }

Result<RobotState> decode_state(std::span<const std::uint8_t> datagram, std::uint16_t version) {
  if (datagram.size() != state_size(version)) return fail(Error::protocol("libkorvex: incorrect object size"));
  const bool v5 = legacy(version);
  const std::uint8_t* p = datagram.data();
  const TailOffsets& tail = v5 ? kTailV5 : kTailV10;

  RobotState s;
  s.time = get_u64(p);
  if (v5) {
    decode_reals<double>(p, s, true);
    s.control_command_success_rate = load_real<double>(p + tail.success_rate);
  } else {
    decode_reals<float>(p, s, false);
    load_floats(p + kAccelerometerTopV10, s.accelerometer_top);
    load_floats(p + kAccelerometerBottomV10, s.accelerometer_bottom);
    s.control_command_success_rate = load_real<float>(p + tail.success_rate);
  }
  const std::uint8_t mode = p[tail.robot_mode];
  s.robot_mode = mode < 7 ? static_cast<RobotMode>(mode) : RobotMode::Other;
  load_errors(p + tail.errors, s.current_errors);
  load_errors(p + tail.reflex_reason, s.last_motion_errors);
  compose_payload(s);
  return s;
}

std::uint64_t state_message_id(std::span<const std::uint8_t> datagram) { return get_u64(datagram.data()); }

StateModes state_modes(std::span<const std::uint8_t> datagram, std::uint16_t version) {
  const TailOffsets& tail = legacy(version) ? kTailV5 : kTailV10;
  return {datagram[tail.motion_generator_mode], datagram[tail.controller_mode], datagram[tail.robot_mode]};
}

std::span<const std::uint8_t> encode_command(const RobotCommand& command, std::uint16_t version,
                                             CommandBuffer& out) {
  std::uint8_t* p = out.data();
  put_u64(p, command.message_id);
  const MotionGeneratorCommand& m = command.motion;
  p = store_all(p + 8, m.q_c);
  p = store_all(p, m.dq_c);
  p = store_all(p, m.O_T_EE_c);
  p = store_all(p, m.O_dP_EE_c);
  p = store_all(p, m.elbow_c);
  *p++ = m.valid_elbow ? 1 : 0;
  *p++ = m.motion_generation_finished ? 1 : 0;
  p = store_all(p, command.control.tau_J_d);
  const std::size_t size = command_size(version);
  if (size == kCommandSizeV10) *p = command.control.torque_command_finished ? 1 : 0;
  return {out.data(), size};
}

}  // namespace korvex

namespace korvex {

std::span<const std::uint8_t> encode_state(const RobotState& s, const StateModes& modes, std::uint16_t version,
                                           std::span<std::uint8_t> out) {
  const bool v5 = legacy(version);
  std::uint8_t* p = out.data();
  const TailOffsets& tail = v5 ? kTailV5 : kTailV10;
  put_u64(p, s.time);
  if (v5) {
    encode_reals<double>(s, p, true);
    store_real<double>(p + tail.success_rate, s.control_command_success_rate);
  } else {
    encode_reals<float>(s, p, false);
    store_real<float>(p + tail.success_rate, s.control_command_success_rate);
    for (std::size_t i = 0; i < 18; ++i) {
      store_real<float>(p + kAccelerometerTopV10 + 4 * i, s.accelerometer_top[i]);
      store_real<float>(p + kAccelerometerBottomV10 + 4 * i, s.accelerometer_bottom[i]);
    }
  }
  p[tail.motion_generator_mode] = modes.motion_generator_mode;
  p[tail.controller_mode] = modes.controller_mode;
  p[tail.robot_mode] = modes.robot_mode;
  for (std::size_t i = 0; i < Errors::kCount; ++i) {
    p[tail.errors + i] = s.current_errors.flags[i] ? 1 : 0;
    p[tail.reflex_reason + i] = s.last_motion_errors.flags[i] ? 1 : 0;
  }
  return out.first(state_size(version));
}

Result<RobotCommand> decode_command(std::span<const std::uint8_t> datagram, std::uint16_t version) {
  if (datagram.size() != command_size(version)) return fail(Error::protocol("libkorvex: incorrect object size"));
  const std::uint8_t* p = datagram.data();
  RobotCommand c;
  c.message_id = get_u64(p);
  MotionGeneratorCommand& m = c.motion;
  p = load_all(p + 8, m.q_c);
  p = load_all(p, m.dq_c);
  p = load_all(p, m.O_T_EE_c);
  p = load_all(p, m.O_dP_EE_c);
  p = load_all(p, m.elbow_c);
  m.valid_elbow = *p++ != 0;
  m.motion_generation_finished = *p++ != 0;
  p = load_all(p, c.control.tau_J_d);
  c.control.torque_command_finished = datagram.size() == kCommandSizeV10 && *p != 0;
  return c;
}

}  // namespace korvex
