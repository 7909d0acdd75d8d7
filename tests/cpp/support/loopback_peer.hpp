#pragma once
// Scripted loopback peers: the test thread plays the arm (or gripper) side of the TCP and UDP channels
// byte by byte. Every wait is bounded by kPeerTimeout; a failure throws std::runtime_error, which
// GoogleTest reports as a test failure.
#include <chrono>
#include <cstdint>
#include <span>
#include <string>

#include "korvex/network/tcp.hpp"

namespace korvex::testing {

inline constexpr std::chrono::milliseconds kPeerTimeout{2000};

//! One framed message as the peer read it.
struct PeerMessage {
  std::uint32_t command = 0;
  std::uint32_t id = 0;
  net::Bytes payload;
};

//! Header bytes with `size` written as given, so that wrong sizes can be scripted.
net::Bytes header_bytes(net::HeaderVariant variant, std::uint32_t command, std::uint32_t id, std::uint32_t size);
//! Header with the correct size followed by the payload.
net::Bytes frame(net::HeaderVariant variant, std::uint32_t command, std::uint32_t id,
                 std::span<const std::uint8_t> payload = {});

//! TCP server on 127.0.0.1 with an ephemeral port, serving one client connection.
class LoopbackPeer {
 public:
  explicit LoopbackPeer(net::HeaderVariant variant = net::HeaderVariant::Long);
  ~LoopbackPeer();
  LoopbackPeer(const LoopbackPeer&) = delete;
  LoopbackPeer& operator=(const LoopbackPeer&) = delete;

  std::uint16_t port() const { return port_; }
  //! "127.0.0.1:PORT", ready to pass as a host string.
  std::string address() const;
  net::HeaderVariant variant() const { return variant_; }

  //! Waits for the client; the first read or write does this by itself.
  void accept();
  //! Reads one whole message of the peer's header variant.
  PeerMessage read_message();
  //! Reads exactly `n` raw bytes.
  net::Bytes read_exact(std::size_t n);
  //! Writes raw bytes.
  void write(std::span<const std::uint8_t> bytes);
  //! Writes a framed message with the given command and id.
  void reply(std::uint32_t command, std::uint32_t id, std::span<const std::uint8_t> payload = {});
  //! Closes the connection; the client then reads end of stream.
  void close();

 private:
  net::HeaderVariant variant_;
  int listener_ = -1;
  int conn_ = -1;
  std::uint16_t port_ = 0;
};

//! UDP socket on 127.0.0.1 with an ephemeral port, standing in for the sender of states.
class UdpPeer {
 public:
  UdpPeer();
  ~UdpPeer();
  UdpPeer(const UdpPeer&) = delete;
  UdpPeer& operator=(const UdpPeer&) = delete;

  std::uint16_t port() const { return port_; }
  //! Sends one datagram to 127.0.0.1:port.
  void send_to(std::uint16_t port, std::span<const std::uint8_t> bytes);
  //! The next datagram addressed to this peer.
  net::Bytes receive();

 private:
  int fd_ = -1;
  std::uint16_t port_ = 0;
};

}  // namespace korvex::testing
