#pragma once
// State and command datagrams of the arm's UDP channel. No allocation anywhere here.
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "korvex/error.hpp"
#include "korvex/wire/robot/state.hpp"

namespace korvex {

constexpr std::size_t kStateSizeV5 = 2373;
constexpr std::size_t kStateSizeV10 = 1377;
constexpr std::size_t kMaxStateSize = kStateSizeV5;
constexpr std::size_t kCommandSizeV5 = 370;
constexpr std::size_t kCommandSizeV10 = 371;
constexpr std::size_t kMaxCommandSize = kCommandSizeV10;

//! State datagram size of a version [bytes]; versions other than 5 use the version 10 layout.
std::size_t state_size(std::uint16_t version);
//! Command datagram size of a version [bytes].
std::size_t command_size(std::uint16_t version);

//! Exact-size state datagram to record; Protocol "libkorvex: incorrect object size" otherwise.
Result<RobotState> decode_state(std::span<const std::uint8_t> datagram, std::uint16_t version);

//! The raw mode bytes of a state datagram, unclamped.
struct StateModes {
  std::uint8_t motion_generator_mode = 0;  //!< 0 idle, 1-4 running, 5 none
  std::uint8_t controller_mode = 0;        //!< 0 joint, 1 Cartesian, 2 external, 3 other
  std::uint8_t robot_mode = 0;
};

//! Message id of a state datagram (at least 8 bytes).
std::uint64_t state_message_id(std::span<const std::uint8_t> datagram);
//! Mode bytes of a state datagram of exactly state_size(version) bytes.
StateModes state_modes(std::span<const std::uint8_t> datagram, std::uint16_t version);

//! Motion part of a robot command.
struct MotionGeneratorCommand {
  Vec7 q_c{};
  Vec7 dq_c{};
  Pose O_T_EE_c{};
  Vec6 O_dP_EE_c{};
  Vec2 elbow_c{};
  bool valid_elbow = false;
  bool motion_generation_finished = false;
};

//! Control part of a robot command.
struct ControllerCommand {
  Vec7 tau_J_d{};
  bool torque_command_finished = false;  //!< sent on version 10 only
};

struct RobotCommand {
  std::uint64_t message_id = 0;  //!< id of the most recently received state
  MotionGeneratorCommand motion{};
  ControllerCommand control{};
};

using CommandBuffer = std::array<std::uint8_t, kMaxCommandSize>;

//! Serialises into `out`; returns the bytes to send (370 on version 5, 371 on version 10).
std::span<const std::uint8_t> encode_command(const RobotCommand& command, std::uint16_t version,
                                             CommandBuffer& out);

//! The arm's side: a state record to a datagram of the version's size in `out` (at least kMaxStateSize
//! bytes). The computed payload fields are not sent.
std::span<const std::uint8_t> encode_state(const RobotState& state, const StateModes& modes, std::uint16_t version,
                                           std::span<std::uint8_t> out);
//! The arm's side: a command datagram of the version's exact size to its record.
Result<RobotCommand> decode_command(std::span<const std::uint8_t> datagram, std::uint16_t version);

}  // namespace korvex
