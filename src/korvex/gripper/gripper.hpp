#pragma once
// Client of the gripper server: Connect, the four commands and state reading.
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "korvex/error.hpp"
#include "korvex/network/connect.hpp"
#include "korvex/wire/gripper/protocol.hpp"

namespace korvex {

//! One gripper connection. Every method may run beside the others from another thread: the TCP
//! channel matches each reply to its request, and `read_once` only uses the UDP socket.
class Gripper {
 public:
  //! Connects to `host` (which may carry its own ":port"; else 1338) and checks protocol version 3.
  static Result<Gripper> connect(std::string_view host);

  //! Homes the fingers and estimates the maximum width.
  Result<bool> homing();
  //! Grasps at `width` [m] with `speed` [m/s] and `force` [N]; success when the fingers end within
  //! [width - epsilon_inner, width + epsilon_outer] [m].
  Result<bool> grasp(double width, double speed, double force, double epsilon_inner = 0.005,
                     double epsilon_outer = 0.005);
  //! Moves the fingers to `width` [m] at `speed` [m/s].
  Result<bool> move(double width, double speed);
  //! Stops a running homing, move or grasp.
  Result<bool> stop();

  //! Discards the states already waiting, then waits up to 1 s for the next one.
  Result<gripper::GripperState> read_once();

  //! The server's protocol version from the Connect reply.
  std::uint16_t server_version() const { return server_version_; }

 private:
  Gripper(net::Channels channels, std::uint16_t server_version)
      : channels_(std::move(channels)), server_version_(server_version) {}
  //! Sends one command and maps the status of its reply.
  Result<bool> command(gripper::Command command, std::span<const std::uint8_t> payload);

  net::Channels channels_;
  std::uint16_t server_version_;
};

}  // namespace korvex
