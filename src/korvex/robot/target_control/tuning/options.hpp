#pragma once
// Option records of a target control, their defaults and their field forms.
#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace korvex {

//! Limits of one trajectory-generator axis or one Cartesian budget (norm limits).
struct OtgLimits {
  double max_velocity = 0;
  double max_acceleration = 0;
  double max_jerk = 0;

  //! All three finite and greater than zero.
  bool valid() const;
  bool operator==(const OtgLimits&) const = default;
};

struct ImpedanceGains {
  //! x, y, z, then three rotational [N/m, Nm/rad]
  std::array<double, 6> cartesian_stiffness{};
  //! [N s/m, N m s/rad]
  std::array<double, 6> cartesian_damping{};
  //! [Nm/rad]
  std::array<double, 7> joint_stiffness{};
  //! [N m s/rad]
  std::array<double, 7> joint_damping{};

  //! Default set of a Cartesian target control.
  static const ImpedanceGains CARTESIAN;
  //! Default set of a joint target control (no Cartesian gains).
  static const ImpedanceGains JOINT;

  //! CARTESIAN rescaled to one translational stiffness s [N/m]; joint gains unscaled.
  static ImpedanceGains scaled(double s);

  bool operator==(const ImpedanceGains&) const = default;
};

inline constexpr ImpedanceGains ImpedanceGains::CARTESIAN{
    {750, 750, 750, 15, 15, 15}, {50, 50, 90, 2, 2, 2}, {40, 30, 50, 25, 35, 25, 10}, {4, 6, 5, 5, 3, 2, 1}};
inline constexpr ImpedanceGains ImpedanceGains::JOINT{
    {}, {}, {600, 600, 600, 600, 250, 150, 50}, {50, 50, 50, 50, 30, 25, 15}};

//! How far the goal may run ahead of the measured arm.
struct Leash {
  double translation = 0.025;  //!< [m]
  double rotation = 0.15;      //!< [rad]
  double joint = 0.1;          //!< [rad]
  bool operator==(const Leash&) const = default;
};

//! Stop rule: within tolerance for `cycles` cycles.
struct Settle {
  double tolerance = 0.001;   //!< [rad] or [m]
  std::uint32_t cycles = 250;
  bool operator==(const Settle&) const = default;
};

struct IkOptions {
  double damping = 0.05;
  double nullspace_gain = 1.0;  //!< [1/s]
  std::uint32_t iterations = 3;
  double tolerance = 1e-6;
  double rotation_weight = 0.1;
  bool operator==(const IkOptions&) const = default;
};

//! Options of the impedance backend; defaults are those of a joint target control.
struct ImpedanceOptions {
  std::optional<std::array<double, 7>> posture;  //!< [rad]; absent: the start configuration
  ImpedanceGains gains = ImpedanceGains::JOINT;
  std::array<double, 7> torque_limits{86, 86, 86, 86, 11.5, 11.5, 11.5};  //!< [Nm]
  double cutoff_frequency = 100;                                           //!< [Hz]
  IkOptions ik;
  double velocity_feedforward_gain = 1.0;
  double velocity_feedforward_cutoff = 1000;  //!< [Hz]; 1000 or more: unfiltered
  Leash leash;
  double joint_velocity_fraction = 0.7;
  double velocity_barrier_fraction = 0.85;
  double joint_position_margin = 0.05;  //!< [rad]
  bool velocity_feedforward = false;
  bool project_joint_gains = false;

  static ImpedanceOptions joint_defaults();
  static ImpedanceOptions cartesian_defaults();
  bool operator==(const ImpedanceOptions&) const = default;
};

//! Impedance backend (torques computed here) or robot backend (the arm's own controller).
struct TargetBackend {
  //! Present on the impedance backend only.
  std::optional<ImpedanceOptions> impedance;

  static TargetBackend impedance_backend(ImpedanceOptions options) { return {std::move(options)}; }
  static TargetBackend robot() { return {std::nullopt}; }
  bool is_impedance() const { return impedance.has_value(); }
};

struct RealtimeConfig {
  std::optional<std::size_t> cpu;                 //!< below 1024
  std::optional<std::int32_t> realtime_priority;  //!< 1 to 99
};

//! The arm's internal controller on the robot backend.
enum class TargetControllerMode : std::uint8_t { JointImpedance, CartesianImpedance };

//! Per-cycle data handed to a cycle hook; the controllers fill it.
struct CycleRecord;
using CycleHook = std::function<void(const CycleRecord&)>;

struct JointTargetOptions {
  //! Per-joint budget; absent: 0.2 times the arm model's table.
  std::optional<std::array<OtgLimits, 7>> limits;
  RealtimeConfig realtime;
  TargetBackend backend = TargetBackend::impedance_backend(ImpedanceOptions::joint_defaults());
  double max_deviation = 1.0;  //!< [rad]
  Settle settle;
  CycleHook cycle_hook;
  TargetControllerMode controller_mode = TargetControllerMode::JointImpedance;
  bool limit_rate = true;
};

struct CartesianTargetOptions {
  RealtimeConfig realtime;
  TargetBackend backend = TargetBackend::impedance_backend(ImpedanceOptions::cartesian_defaults());
  OtgLimits limits{0.3, 0.5, 20.0};           //!< translation budget [m/s, m/s^2, m/s^3]
  OtgLimits rotation_limits{0.5, 1.0, 20.0};  //!< rotation budget [rad/s, rad/s^2, rad/s^3]
  double max_deviation = 0.30;                //!< [m]
  double max_angular_deviation = 0.5;         //!< [rad]
  Settle settle;
  CycleHook cycle_hook;
  TargetControllerMode controller_mode = TargetControllerMode::CartesianImpedance;
  bool limit_rate = true;
};

// Field forms as written in messages: `OtgLimits { max_velocity: 0.3, ... }`.
std::string field_form(const OtgLimits& limits);
std::string field_form(const ImpedanceGains& gains);
std::string field_form(const Leash& leash);
std::string field_form(const Settle& settle);
std::string field_form(const IkOptions& ik);

}  // namespace korvex
