#pragma once
// The sockets a simulated device serves on: a TCP listener and a UDP socket on the same host.
#include <cstdint>
#include <string>

#include "korvex/error.hpp"

namespace korvex::sim {

struct Listener {
  int tcp_fd = -1;
  int udp_fd = -1;
  std::uint16_t port = 0;  //!< the TCP port, chosen by the system when 0 was asked for
};

//! Binds `host:port` (IPv4) for TCP and `host:0` for UDP; Network errors name what failed.
Result<Listener> open_listener(const std::string& host, std::uint16_t port);

}  // namespace korvex::sim
