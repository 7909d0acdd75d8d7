#pragma once
#include <chrono>
#include <cstdint>
#include <memory>
#include <string_view>

#include "korvex/network/tcp.hpp"
#include "korvex/network/udp.hpp"

namespace korvex::net {

struct Channels {
  std::unique_ptr<TcpChannel> tcp;
  std::unique_ptr<UdpChannel> udp;
  std::uint16_t udp_port = 0;
};

//! Resolves `host` (which may carry its own ":port"), connects the TCP channel and binds the UDP one.
Result<Channels> connect(std::string_view host, std::uint16_t default_port, HeaderVariant variant,
                         std::chrono::milliseconds connect_timeout, std::chrono::milliseconds udp_timeout);

//! The platform's text of an OS error: description followed by " (os error N)".
std::string os_error_text(int err);

}  // namespace korvex::net
