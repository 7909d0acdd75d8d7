#pragma once
// Command requests and replies of the arm's TCP channel (versions 5 and 10).
#include <array>
#include <cstdint>
#include <numbers>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "korvex/error.hpp"
#include "korvex/network/tcp.hpp"
#include "korvex/wire/robot/move_status.hpp"
#include "korvex/wire/robot/state.hpp"

namespace korvex {

constexpr std::uint16_t kLegacyVersion = 5;    //!< ZK1 arm
constexpr std::uint16_t kCurrentVersion = 10;  //!< ZK2 arm

//! The library's commands; wire ids depend on the negotiated version.
enum class Command : std::uint8_t {
  Connect,
  Move,
  StopMove,
  GetCartesianLimit,
  SetCollisionBehavior,
  SetJointImpedance,
  SetCartesianImpedance,
  SetGuidingMode,
  SetEeToK,
  SetNeToEe,
  SetLoad,
  SetFilters,
  AutomaticErrorRecovery,
  GetRobotModel,
};

//! The Set commands, which share one reply status table.
bool is_set_command(Command command);

//! Name used in messages ("Set Joint Impedance"); "Connect" for Connect.
std::string_view command_name(Command command);

//! Wire id on this version, or InvalidOperation when the version lacks the command.
Result<std::uint32_t> command_id(Command command, std::uint16_t version);

// --- requests ---

enum class ControllerMode : std::uint32_t {
  JointImpedance = 0,
  CartesianImpedance = 1,
  ExternalController = 2,
};

enum class MotionGeneratorMode : std::uint32_t {
  JointPosition = 0,
  JointVelocity = 1,
  CartesianPosition = 2,
  CartesianVelocity = 3,
  None = 4,  //!< version 10 only
};

struct Deviation {
  double translation = 0;  //!< [m]
  double rotation = 0;     //!< [rad]
  double elbow = 0;        //!< [rad]
};

//! The deviations every Move of the library carries.
constexpr Deviation kMoveDeviation{10.0, 3.12, 2 * std::numbers::pi};

using Payload = std::vector<std::uint8_t>;

std::array<std::uint8_t, 4> connect_request(std::uint16_t version, std::uint16_t udp_port);

//! 56 bytes on version 5, 113 on version 10; mode None is refused on version 5.
Result<Payload> move_request(std::uint16_t version, ControllerMode controller, MotionGeneratorMode generator,
                             const Deviation& max_path_deviation, const Deviation& max_goal_pose_deviation);

struct CollisionThresholds {
  Vec7 lower_torque_acceleration{};  //!< [Nm]
  Vec7 upper_torque_acceleration{};
  Vec7 lower_torque_nominal{};
  Vec7 upper_torque_nominal{};
  Vec6 lower_force_acceleration{};  //!< [N, Nm]
  Vec6 upper_force_acceleration{};
  Vec6 lower_force_nominal{};
  Vec6 upper_force_nominal{};
};

//! 52 doubles, 416 bytes.
Payload set_collision_behavior_request(const CollisionThresholds& thresholds);
//! Joint stiffness [Nm/rad], 56 bytes.
Payload set_joint_impedance_request(const Vec7& stiffness);
//! Cartesian stiffness [N/m, Nm/rad], 48 bytes.
Payload set_cartesian_impedance_request(const Vec6& stiffness);
//! Stop Move, Automatic Error Recovery and Get Robot Model carry no payload.
inline Payload empty_request() { return {}; }

// --- replies ---

//! Status of a Connect reply; the arm's version on success (which may differ from the requested one).
Result<std::uint16_t> parse_connect_reply(std::span<const std::uint8_t> message, net::HeaderVariant variant,
                                          std::uint16_t requested_version);
//! IncompatibleVersion when the arm answered with another version than requested.
Status check_connect_version(std::uint16_t server_version, std::uint16_t requested_version);

//! " command rejected: command not possible in the current mode ("Idle")!" (+ brakes hint in Other).
std::string mode_text(RobotMode mode);

//! Status of a reply to Stop Move, any Set command, Automatic Error Recovery or Get Robot Model.
Status check_reply(Command command, std::span<const std::uint8_t> message, std::uint16_t version,
                   RobotMode mode);

//! The move status of a Move reply.
Result<MoveStatus> parse_move_reply(std::span<const std::uint8_t> message, std::uint16_t version);
//! "libkorvex: Move" + the status text; empty for Success and MotionStarted.
std::string move_status_message(MoveStatus status, RobotMode mode);
//! Command error for a rejecting status, success for Success and MotionStarted.
Status check_move_status(MoveStatus status, RobotMode mode);

//! The model description of a Get Robot Model reply, invalid UTF-8 replaced by U+FFFD.
Result<std::string> parse_robot_model_reply(std::span<const std::uint8_t> message, std::uint16_t version,
                                            RobotMode mode);

//! UTF-8 text with every maximal invalid subsequence replaced by U+FFFD.
std::string utf8_lossy(std::span<const std::uint8_t> bytes);

}  // namespace korvex
