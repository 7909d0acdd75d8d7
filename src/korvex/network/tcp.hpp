#pragma once
// Framed request/reply channel over TCP, shared by the arm (long header) and the gripper (short header).
#include <atomic>
#include <cstdint>
#include <mutex>
#include <optional>
#include <span>
#include <unordered_map>
#include <vector>

#include "korvex/error.hpp"

namespace korvex::net {

enum class HeaderVariant : std::uint8_t {
  Long,   //!< u32 command, u32 id, u32 size (12 bytes)
  Short,  //!< u16 command, u32 id, u32 size (10 bytes)
};

constexpr std::size_t header_size(HeaderVariant v) { return v == HeaderVariant::Long ? 12 : 10; }
constexpr std::uint32_t kMaxMessageSize = 16u * 1024u * 1024u;

using Bytes = std::vector<std::uint8_t>;

class TcpChannel {
 public:
  //! Takes ownership of a connected, configured socket.
  TcpChannel(int fd, HeaderVariant variant);
  ~TcpChannel();
  TcpChannel(const TcpChannel&) = delete;
  TcpChannel& operator=(const TcpChannel&) = delete;

  //! Sends one message; returns its command id.
  Result<std::uint32_t> send(std::uint32_t command, std::span<const std::uint8_t> payload);
  //! Blocks until the reply with this id arrives (header included in the bytes).
  Result<Bytes> receive_reply(std::uint32_t id);
  //! Never blocks: nothing when another thread holds the channel or the reply is not complete yet.
  Result<std::optional<Bytes>> try_receive_reply(std::uint32_t id);
  //! Error when the peer has closed the connection.
  Status check_open();
  //! Shuts the socket down in both directions; every later operation fails.
  void shutdown();

  HeaderVariant variant() const { return variant_; }
  std::size_t header_length() const { return header_size(variant_); }

 private:
  // All three run with the mutex held.
  Status receive_step(bool blocking);
  void reset_receive_state();
  std::optional<Bytes> take_pending(std::uint32_t id);

  int fd_;
  HeaderVariant variant_;
  std::atomic<std::uint32_t> counter_{0};
  std::mutex mutex_;
  Bytes buffer_;            // sized to the bytes wanted so far
  std::size_t filled_ = 0;  // how many of them have arrived
  bool header_seen_ = false;
  std::uint32_t expected_size_ = 0;
  std::uint32_t current_id_ = 0;
  std::unordered_map<std::uint32_t, Bytes> pending_;
};

}  // namespace korvex::net
