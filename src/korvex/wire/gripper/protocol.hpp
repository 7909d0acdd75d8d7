#pragma once
// Messages of the gripper's TCP channel (short header, port 1338) and its UDP state datagram.
// Connect uses the arm's codec (wire/robot/protocol.hpp) with the short header.
#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "korvex/error.hpp"

namespace korvex::gripper {

constexpr std::uint16_t kVersion = 3;         //!< protocol version the library speaks
constexpr std::uint16_t kDefaultPort = 1338;  //!< TCP port of the gripper server
constexpr std::size_t kHeaderSize = 10;       //!< u16 command, u32 id, u32 size
constexpr std::size_t kStateSize = 23;        //!< bytes of one state datagram

//! The `command` field of the short header.
enum class Command : std::uint16_t {
  Connect = 0,
  Homing = 1,
  Grasp = 2,
  Move = 3,
  Stop = 4,
};

//! "Connect", "Homing", "Grasp", "Move", "Stop".
std::string_view command_name(Command command);
//! The command of a name as `command_name` writes it.
std::optional<Command> command_from_name(std::string_view name);

//! Reply status of Homing, Grasp, Move and Stop.
enum class Status : std::uint16_t {
  Success = 0,
  Fail = 1,
  Unsuccessful = 2,
  Aborted = 3,
};

//! width, epsilon inner, epsilon outer [m], speed [m/s], force [N]: five f64 in this order.
std::array<std::uint8_t, 40> grasp_request(double width, double epsilon_inner, double epsilon_outer, double speed,
                                           double force);
//! width [m], speed [m/s].
std::array<std::uint8_t, 16> move_request(double width, double speed);

//! The two or more payload bytes of a command reply: status (u16), then ignored bytes.
std::array<std::uint8_t, 2> status_payload(std::uint16_t status);

//! True for Success, false for Unsuccessful; Fail and Aborted are Command errors, any other status a
//! Protocol error; a reply with less than two payload bytes is a size error. `message` includes the header.
Result<bool> parse_command_reply(std::span<const std::uint8_t> message);

//! One state as the library keeps it.
struct GripperState {
  double width = 0;             //!< [m]
  double max_width = 0;         //!< [m]
  double time = 0;              //!< message id x 0.001 [s]
  std::uint16_t temperature = 0;  //!< [degrees Celsius]
  bool is_grasped = false;
};

//! The state of an exactly 23-byte datagram.
Result<GripperState> decode_state(std::span<const std::uint8_t> datagram);

//! The datagram the gripper sends; `is_grasped` is written as 0 or 1.
std::array<std::uint8_t, kStateSize> encode_state(std::uint32_t message_id, double width, double max_width,
                                                  bool is_grasped, std::uint16_t temperature);

}  // namespace korvex::gripper
