#pragma once
// Datagram channel for states in and commands out.
#include <chrono>
#include <cstdint>
#include <mutex>
#include <optional>
#include <span>
#include <sys/socket.h>

#include "korvex/error.hpp"

namespace korvex::net {

class UdpChannel {
 public:

  UdpChannel(int fd, std::uint16_t local_port);
  ~UdpChannel();
  UdpChannel(const UdpChannel&) = delete;
  UdpChannel& operator=(const UdpChannel&) = delete;

  //! Blocks up to the timeout; remembers the sender as the server address.
  Result<std::size_t> receive(std::span<std::uint8_t> buffer);
  //! Nothing when no datagram is waiting.
  Result<std::optional<std::size_t>> try_receive(std::span<std::uint8_t> buffer);
  //! Sends one datagram to the most recent sender.
  Status send(std::span<const std::uint8_t> bytes);

  std::uint16_t local_port() const { return local_port_; }

 private:
  Result<std::optional<std::size_t>> receive_from(std::span<std::uint8_t> buffer, int flags);

  int fd_;
  std::uint16_t local_port_;
  std::mutex server_mutex_;
  sockaddr_storage server_{};
  socklen_t server_len_ = 0;  // 0: no state received yet
};

}  // namespace korvex::net
