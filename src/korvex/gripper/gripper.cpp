#include "korvex/gripper/gripper.hpp"

#include <array>
#include <chrono>

#include "korvex/wire/robot/protocol.hpp"

namespace korvex {
namespace {

constexpr std::chrono::milliseconds kConnectTimeout{1000};
constexpr std::chrono::milliseconds kUdpTimeout{1000};

}  // namespace

Result<Gripper> Gripper::connect(std::string_view host) {
  auto channels = net::connect(host, gripper::kDefaultPort, net::HeaderVariant::Short, kConnectTimeout, kUdpTimeout);
  if (!channels) return fail(std::move(channels.error()));
  const auto request = connect_request(gripper::kVersion, channels->udp_port);
  auto id = channels->tcp->send(static_cast<std::uint32_t>(gripper::Command::Connect), request);
  if (!id) return fail(std::move(id.error()));
  auto reply = channels->tcp->receive_reply(*id);
  if (!reply) return fail(std::move(reply.error()));
  auto version = parse_connect_reply(*reply, net::HeaderVariant::Short, gripper::kVersion);
  if (!version) return fail(std::move(version.error()));
  return Gripper(std::move(*channels), *version);
}

Result<bool> Gripper::command(gripper::Command command, std::span<const std::uint8_t> payload) {
  auto id = channels_.tcp->send(static_cast<std::uint32_t>(command), payload);
  if (!id) return fail(std::move(id.error()));
  auto reply = channels_.tcp->receive_reply(*id);
  if (!reply) return fail(std::move(reply.error()));
  return gripper::parse_command_reply(*reply);
}

Result<bool> Gripper::homing() { return command(gripper::Command::Homing, {}); }

Result<bool> Gripper::grasp(double width, double speed, double force, double epsilon_inner, double epsilon_outer) {
  return command(gripper::Command::Grasp, gripper::grasp_request(width, epsilon_inner, epsilon_outer, speed, force));
}

Result<bool> Gripper::move(double width, double speed) {
  return command(gripper::Command::Move, gripper::move_request(width, speed));
}

Result<bool> Gripper::stop() { return command(gripper::Command::Stop, {}); }

Result<gripper::GripperState> Gripper::read_once() {
  // One byte more than a state, so that an oversized datagram shows its excess instead of being cut.
  std::array<std::uint8_t, gripper::kStateSize + 1> buffer{};
  for (;;) {
    auto waiting = channels_.udp->try_receive(std::span(buffer).first(gripper::kStateSize));
    if (!waiting) return fail(std::move(waiting.error()));
    if (!*waiting) break;
  }
  auto n = channels_.udp->receive(buffer);
  if (!n) return fail(std::move(n.error()));
  return gripper::decode_state(std::span(buffer).first(*n));
}

}  // namespace korvex
