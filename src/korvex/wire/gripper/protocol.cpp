#include "korvex/wire/gripper/protocol.hpp"

#include "korvex/wire/bytes.hpp"

namespace korvex::gripper {
namespace {

using namespace korvex::wire;

constexpr std::array<std::string_view, 5> kNames = {"Connect", "Homing", "Grasp", "Move", "Stop"};

}  // namespace

std::string_view command_name(Command command) { return kNames.at(static_cast<std::size_t>(command)); }

std::optional<Command> command_from_name(std::string_view name) {
  for (std::size_t i = 0; i < kNames.size(); ++i)
    if (kNames[i] == name) return static_cast<Command>(i);
  return std::nullopt;
}

std::array<std::uint8_t, 40> grasp_request(double width, double epsilon_inner, double epsilon_outer, double speed,
                                           double force) {
  std::array<std::uint8_t, 40> out{};
  const double values[] = {width, epsilon_inner, epsilon_outer, speed, force};
  for (std::size_t i = 0; i < 5; ++i) put_f64(out.data() + 8 * i, values[i]);
  return out;
}

std::array<std::uint8_t, 16> move_request(double width, double speed) {
  std::array<std::uint8_t, 16> out{};
  put_f64(out.data(), width);
  put_f64(out.data() + 8, speed);
  return out;
}

std::array<std::uint8_t, 2> status_payload(std::uint16_t status) {
  std::array<std::uint8_t, 2> out{};
  put_u16(out.data(), status);
  return out;
}

Result<bool> parse_command_reply(std::span<const std::uint8_t> message) {
  if (message.size() < kHeaderSize + 2) return fail(Error::protocol("libkorvex: Incorrect TCP message size."));
  switch (get_u16(message.data() + kHeaderSize)) {
    case static_cast<std::uint16_t>(Status::Success): return true;
    case static_cast<std::uint16_t>(Status::Unsuccessful): return false;
    case static_cast<std::uint16_t>(Status::Fail): return fail(Error::command("libkorvex gripper: Command failed!"));
    case static_cast<std::uint16_t>(Status::Aborted):
      return fail(Error::command("libkorvex gripper: Command aborted!"));
    default: return fail(Error::protocol("libkorvex gripper: Unexpected response while handling command!"));
  }
}

Result<GripperState> decode_state(std::span<const std::uint8_t> datagram) {
  if (datagram.size() != kStateSize) return fail(Error::protocol("libkorvex: incorrect object size"));
  const std::uint8_t* p = datagram.data();
  GripperState s;
  s.time = static_cast<double>(get_u32(p)) * 0.001;
  s.width = get_f64(p + 4);
  s.max_width = get_f64(p + 12);
  s.is_grasped = p[20] != 0;
  s.temperature = get_u16(p + 21);
  return s;
}

std::array<std::uint8_t, kStateSize> encode_state(std::uint32_t message_id, double width, double max_width,
                                                  bool is_grasped, std::uint16_t temperature) {
  std::array<std::uint8_t, kStateSize> out{};
  put_u32(out.data(), message_id);
  put_f64(out.data() + 4, width);
  put_f64(out.data() + 12, max_width);
  out[20] = is_grasped ? 1 : 0;
  put_u16(out.data() + 21, temperature);
  return out;
}

}  // namespace korvex::gripper
