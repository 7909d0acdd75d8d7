// RobotState: an immutable snapshot; every getter converts the stored record anew.
#include <array>
#include <cmath>
#include <cstdio>
#include <string>
#include <string_view>

#include "convert.hpp"
#include "korvex/format.hpp"
#include "korvex/wire/robot/state.hpp"
#include "register.hpp"

namespace korvex::python {
namespace {

constexpr std::size_t kFlatLen = 69;

struct FlatEntry {
  const char* name;
  int start;
  int stop;
};

constexpr std::array<FlatEntry, 13> kFlatLayout = {{
    {"q", 0, 7},
    {"dq", 7, 14},
    {"tau_J", 14, 21},
    {"tau_ext_hat_filtered", 21, 28},
    {"O_T_EE_position", 28, 31},
    {"O_T_EE_quaternion", 31, 35},
    {"O_F_ext_hat_K", 35, 41},
    {"q_d", 41, 48},
    {"O_T_EE_c_position", 48, 51},
    {"O_T_EE_c_quaternion", 51, 55},
    {"joint_contact", 55, 62},
    {"cartesian_contact", 62, 68},
    {"time", 68, 69},
}};

constexpr std::array<std::string_view, 7> kModeNames = {
    "other", "idle", "move", "guiding", "reflex", "user_stopped", "automatic_error_recovery",
};

std::string_view mode_name(RobotMode mode) {
  const auto code = static_cast<std::size_t>(mode);
  return code < kModeNames.size() ? kModeNames[code] : kModeNames[0];
}

double seconds(const RobotState& s) { return static_cast<double>(s.time) * 0.001; }

// Quaternion (x, y, z, w) of the pose's rotation, w made non-negative; strict comparisons so
// ties fall to the later branch.
std::array<double, 4> quaternion(const Pose& p) {
  auto R = [&p](int r, int c) { return p[static_cast<std::size_t>(c * 4 + r)]; };
  const double t = R(0, 0) + R(1, 1) + R(2, 2);
  double x, y, z, w;
  if (t > 0) {
    const double s = 2 * std::sqrt(t + 1);
    w = s / 4, x = (R(2, 1) - R(1, 2)) / s, y = (R(0, 2) - R(2, 0)) / s, z = (R(1, 0) - R(0, 1)) / s;
  } else if (R(0, 0) > R(1, 1) && R(0, 0) > R(2, 2)) {
    const double s = 2 * std::sqrt(1 + R(0, 0) - R(1, 1) - R(2, 2));
    x = s / 4, y = (R(0, 1) + R(1, 0)) / s, z = (R(0, 2) + R(2, 0)) / s, w = (R(2, 1) - R(1, 2)) / s;
  } else if (R(1, 1) > R(2, 2)) {
    const double s = 2 * std::sqrt(1 + R(1, 1) - R(0, 0) - R(2, 2));
    y = s / 4, x = (R(0, 1) + R(1, 0)) / s, z = (R(1, 2) + R(2, 1)) / s, w = (R(0, 2) - R(2, 0)) / s;
  } else {
    const double s = 2 * std::sqrt(1 + R(2, 2) - R(0, 0) - R(1, 1));
    z = s / 4, x = (R(0, 2) + R(2, 0)) / s, y = (R(1, 2) + R(2, 1)) / s, w = (R(1, 0) - R(0, 1)) / s;
  }
  if (w < 0) return {-x, -y, -z, -w};
  return {x, y, z, w};
}

double* put(double* dst, const double* src, std::size_t n) {
  for (std::size_t i = 0; i < n; ++i) dst[i] = src[i];
  return dst + n;
}

double* put_pose(double* dst, const Pose& p) {
  dst = put(dst, p.data() + 12, 3);
  const auto q = quaternion(p);
  return put(dst, q.data(), 4);
}

py::array flat(const RobotState& s) {
  py::array out = new_array({static_cast<Py_intptr_t>(kFlatLen)});
  double* d = array_data(out);
  d = put(d, s.q.data(), 7);
  d = put(d, s.dq.data(), 7);
  d = put(d, s.tau_J.data(), 7);
  d = put(d, s.tau_ext_hat_filtered.data(), 7);
  d = put_pose(d, s.O_T_EE);
  d = put(d, s.O_F_ext_hat_K.data(), 6);
  d = put(d, s.q_d.data(), 7);
  d = put_pose(d, s.O_T_EE_c);
  d = put(d, s.joint_contact.data(), 7);
  d = put(d, s.cartesian_contact.data(), 6);
  *d = seconds(s);
  return out;
}

std::string repr(const RobotState& s) {
  char numbers[160];
  std::snprintf(numbers, sizeof numbers, ", time=%.3f, ee=[%.4f, %.4f, %.4f])", seconds(s), s.O_T_EE[12],
                s.O_T_EE[13], s.O_T_EE[14]);
  return "RobotState(robot_mode=" + fmt::quoted(mode_name(s.robot_mode)) + numbers;
}

constexpr const char* kClassDoc =
    "One robot state (libkorvex's `RobotState`). Arrays are float64 numpy arrays, 4x4 poses\n"
    "`(4, 4)` matrices with the translation in `M[:3, 3]` (m); `flat()` follows `FLAT_LAYOUT`.";

using Cls = py::class_<RobotState>;

template <std::size_t N, std::array<double, N> RobotState::*field>
void add_vector(Cls& cls, const char* name, const char* doc) {
  cls.def_property_readonly(name, [](const RobotState& s) { return vector(s.*field); }, doc);
}

template <Pose RobotState::*field>
void add_pose(Cls& cls, const char* name, const char* doc) {
  cls.def_property_readonly(name, [](const RobotState& s) { return column_major((s.*field).data(), 4); }, doc);
}

template <Mat3 RobotState::*field>
void add_inertia(Cls& cls, const char* name, const char* doc) {
  cls.def_property_readonly(name, [](const RobotState& s) { return column_major((s.*field).data(), 3); }, doc);
}

template <double RobotState::*field>
void add_number(Cls& cls, const char* name, const char* doc) {
  cls.def_property_readonly(name, [](const RobotState& s) { return s.*field; }, doc);
}

template <std::array<double, 18> RobotState::*field>
void add_accelerometer(Cls& cls, const char* name) {
  cls.def_property_readonly(
      name, [](const RobotState& s) { return row_major((s.*field).data(), 6, 3); },
      "`(6, 3)`, m/s^2; zero on an ZK1.");
}

py::list layout_list() {
  py::list layout;
  for (const FlatEntry& e : kFlatLayout) layout.append(py::make_tuple(e.name, e.start, e.stop));
  return layout;
}

}  // namespace

void add_robot_state(py::module_& m) {
  Cls cls(m, "RobotState", kClassDoc);
  using S = RobotState;
  add_vector<7, &S::q>(cls, "q", "Measured joint positions, rad.");
  add_vector<7, &S::q_d>(cls, "q_d", "Desired joint positions, rad.");
  add_vector<7, &S::dq>(cls, "dq", "Measured joint velocities, rad/s.");
  add_vector<7, &S::dq_d>(cls, "dq_d", "Desired joint velocities, rad/s.");
  add_vector<7, &S::ddq_d>(cls, "ddq_d", "Desired joint accelerations, rad/s^2.");
  add_vector<7, &S::tau_J>(cls, "tau_J", "Measured link-side joint torques, Nm.");
  add_vector<7, &S::tau_J_d>(cls, "tau_J_d", "Desired link-side joint torques without gravity, Nm.");
  add_vector<7, &S::dtau_J>(cls, "dtau_J", "Derivative of the measured joint torques, Nm/s.");
  add_vector<7, &S::theta>(cls, "theta", "Motor positions, rad.");
  add_vector<7, &S::dtheta>(cls, "dtheta", "Motor velocities, rad/s.");
  add_vector<7, &S::joint_contact>(cls, "joint_contact", "Contact level per joint, 0 or 1.");
  add_vector<7, &S::joint_collision>(cls, "joint_collision", "Collision level per joint, 0 or 1.");
  add_vector<6, &S::cartesian_contact>(cls, "cartesian_contact",
                                       "Contact level per Cartesian axis (x, y, z, roll, pitch, yaw), 0 or 1.");
  add_vector<6, &S::cartesian_collision>(cls, "cartesian_collision",
                                         "Collision level per Cartesian axis (x, y, z, roll, pitch, yaw), 0 or 1.");
  add_vector<7, &S::tau_ext_hat_filtered>(cls, "tau_ext_hat_filtered", "Filtered external torque estimate, Nm.");
  add_vector<6, &S::O_F_ext_hat_K>(cls, "O_F_ext_hat_K",
                                   "External wrench on the stiffness frame in the base frame, N and Nm.");
  add_vector<6, &S::K_F_ext_hat_K>(cls, "K_F_ext_hat_K",
                                   "External wrench on the stiffness frame in the stiffness frame, N and Nm.");
  add_vector<6, &S::O_dP_EE_d>(cls, "O_dP_EE_d", "Desired end-effector twist in the base frame, m/s and rad/s.");
  add_vector<6, &S::O_dP_EE_c>(cls, "O_dP_EE_c", "Commanded end-effector twist in the base frame, m/s and rad/s.");
  add_vector<6, &S::O_ddP_EE_c>(cls, "O_ddP_EE_c",
                                "Commanded end-effector acceleration in the base frame, m/s^2 and rad/s^2.");
  add_vector<3, &S::O_ddP_O>(cls, "O_ddP_O", "Linear acceleration of the base, m/s^2.");
  add_vector<2, &S::elbow>(cls, "elbow", "Measured elbow: joint 3 position (rad) and the sign of joint 4.");
  add_vector<2, &S::elbow_d>(cls, "elbow_d", "Desired elbow: joint 3 position (rad) and the sign of joint 4.");
  add_vector<2, &S::elbow_c>(cls, "elbow_c", "Commanded elbow: joint 3 position (rad) and the sign of joint 4.");
  add_vector<2, &S::delbow_c>(cls, "delbow_c", "Commanded elbow velocity, rad/s.");
  add_vector<2, &S::ddelbow_c>(cls, "ddelbow_c", "Commanded elbow acceleration, rad/s^2.");
  add_vector<3, &S::F_x_Cee>(cls, "F_x_Cee", "End-effector centre of mass in the flange frame, m.");
  add_vector<3, &S::F_x_Cload>(cls, "F_x_Cload", "Load centre of mass in the flange frame, m.");
  add_vector<3, &S::F_x_Ctotal>(cls, "F_x_Ctotal", "Centre of mass of end effector and load in the flange frame, m.");
  add_pose<&S::O_T_EE>(cls, "O_T_EE", "Measured end-effector pose in the base frame.");
  add_pose<&S::O_T_EE_d>(cls, "O_T_EE_d", "Last desired end-effector pose in the base frame.");
  add_pose<&S::O_T_EE_c>(cls, "O_T_EE_c", "Last commanded end-effector pose in the base frame.");
  add_pose<&S::F_T_EE>(cls, "F_T_EE", "End-effector frame in the flange frame.");
  add_pose<&S::F_T_NE>(cls, "F_T_NE", "Nominal end-effector frame in the flange frame.");
  add_pose<&S::NE_T_EE>(cls, "NE_T_EE", "End-effector frame in the nominal end-effector frame.");
  add_pose<&S::EE_T_K>(cls, "EE_T_K", "Stiffness frame in the end-effector frame.");
  add_inertia<&S::I_ee>(cls, "I_ee", "End-effector inertia about its centre of mass, kg*m^2.");
  add_inertia<&S::I_load>(cls, "I_load", "Load inertia about its centre of mass, kg*m^2.");
  add_inertia<&S::I_total>(cls, "I_total", "Inertia of end effector and load about their centre of mass, kg*m^2.");
  add_number<&S::m_ee>(cls, "m_ee", "End-effector mass, kg.");
  add_number<&S::m_load>(cls, "m_load", "Load mass, kg.");
  add_number<&S::m_total>(cls, "m_total", "Mass of end effector and load, kg.");
  add_number<&S::control_command_success_rate>(cls, "control_command_success_rate",
                                               "Share of the recent control commands that arrived, 0 to 1.");
  add_accelerometer<&S::accelerometer_top>(cls, "accelerometer_top");
  add_accelerometer<&S::accelerometer_bottom>(cls, "accelerometer_bottom");
  cls.def_property_readonly(
      "current_errors", [](const S& s) { return flag_names(s.current_errors); },
      "Names of the errors active on the robot.");
  cls.def_property_readonly(
      "last_motion_errors", [](const S& s) { return flag_names(s.last_motion_errors); },
      "Names of the errors that aborted the last motion.");
  cls.def_property_readonly(
      "robot_mode",
      [](const S& s) {
        const std::string_view name = mode_name(s.robot_mode);
        return py::str(name.data(), name.size());
      },
      "'other', 'idle', 'move', 'guiding', 'reflex', 'user_stopped' or\n'automatic_error_recovery'.");
  cls.def_property_readonly("time", &seconds, "The robot's timestamp, seconds.");
  cls.def("flat", &flat,
          "flat($self)\n--\n\nThe state as a 1-D float64 array of length `FLAT_LEN`, laid out as `FLAT_LAYOUT`.");
  cls.def("__repr__", &repr, "__repr__($self)\n--\n\n");
  cls.attr("FLAT_LAYOUT") = layout_list();
  cls.attr("FLAT_LEN") = kFlatLen;
  forbid_instantiation(cls);
}

void add_flat_layout(py::module_& m) {
  py::object cls = m.attr("RobotState");
  m.add_object("FLAT_LAYOUT", cls.attr("FLAT_LAYOUT"));
  m.add_object("FLAT_LEN", cls.attr("FLAT_LEN"));
}

}  // namespace korvex::python
