#include "korvex/network/tcp.hpp"

#include <poll.h>
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "korvex/network/connect.hpp"

namespace korvex::net {
namespace {

void put_le(std::uint8_t* out, std::uint32_t value, std::size_t bytes) {
  for (std::size_t i = 0; i < bytes; ++i) out[i] = static_cast<std::uint8_t>(value >> (8 * i));
}

std::uint32_t get_u32(const std::uint8_t* in) {
  return std::uint32_t{in[0]} | std::uint32_t{in[1]} << 8 | std::uint32_t{in[2]} << 16 | std::uint32_t{in[3]} << 24;
}

//! Byte offsets of (command id, size) in the header.
constexpr std::size_t id_offset(HeaderVariant v) { return v == HeaderVariant::Long ? 4 : 2; }
constexpr std::size_t size_offset(HeaderVariant v) { return id_offset(v) + 4; }

bool would_block(int err) { return err == EAGAIN || err == EWOULDBLOCK || err == ETIMEDOUT; }

}  // namespace

TcpChannel::TcpChannel(int fd, HeaderVariant variant) : fd_(fd), variant_(variant) {}

TcpChannel::~TcpChannel() {
  if (fd_ >= 0) ::close(fd_);
}

Result<std::uint32_t> TcpChannel::send(std::uint32_t command, std::span<const std::uint8_t> payload) {
  const std::uint32_t id = counter_.fetch_add(1);
  const std::size_t header = header_length();
  Bytes message(header + payload.size());
  put_le(message.data(), command, id_offset(variant_));
  put_le(message.data() + id_offset(variant_), id, 4);
  put_le(message.data() + size_offset(variant_), static_cast<std::uint32_t>(message.size()), 4);
  std::copy(payload.begin(), payload.end(), message.begin() + static_cast<std::ptrdiff_t>(header));

  std::lock_guard lock(mutex_);
  std::size_t sent = 0;
  while (sent < message.size()) {
    const ssize_t n = ::send(fd_, message.data() + sent, message.size() - sent, MSG_NOSIGNAL);
    if (n < 0) {
      if (errno == EINTR) continue;
      return fail(Error::network("libkorvex: TCP send bytes: " + os_error_text(errno)));
    }
    if (n == 0) return fail(Error::network("libkorvex: TCP send bytes: failed to write whole buffer"));
    sent += static_cast<std::size_t>(n);
  }
  return id;
}

Status TcpChannel::receive_step(bool blocking) {
  pollfd p{fd_, 0, 0};
  if (::poll(&p, 1, 0) > 0 && (p.revents & (POLLERR | POLLNVAL)))
    return fail(Error::network("libkorvex: TCP connection got interrupted."));

  const std::size_t target = header_seen_ ? expected_size_ : header_length();
  if (buffer_.size() < target) buffer_.resize(target);

  ssize_t n;
  do {
    n = ::recv(fd_, buffer_.data() + filled_, target - filled_, blocking ? 0 : MSG_DONTWAIT);
  } while (n < 0 && errno == EINTR);
  if (n < 0) {
    if (would_block(errno)) return {};
    return fail(Error::network("libkorvex: TCP receive: " + os_error_text(errno)));
  }
  if (n == 0) return fail(Error::network("libkorvex: server closed connection"));
  filled_ += static_cast<std::size_t>(n);

  if (!header_seen_ && filled_ == header_length()) {
    const std::uint32_t size = get_u32(buffer_.data() + size_offset(variant_));
    if (size > kMaxMessageSize || size < header_length()) {
      reset_receive_state();
      return fail(Error::protocol("libkorvex: Incorrect TCP message size."));
    }
    header_seen_ = true;
    expected_size_ = size;
    current_id_ = get_u32(buffer_.data() + id_offset(variant_));
  }
  if (header_seen_ && filled_ == expected_size_) {
    buffer_.resize(filled_);
    pending_.insert_or_assign(current_id_, std::move(buffer_));
    reset_receive_state();
  }
  return {};
}

void TcpChannel::reset_receive_state() {
  buffer_ = Bytes();
  filled_ = 0;
  header_seen_ = false;
  expected_size_ = 0;
  current_id_ = 0;
}

std::optional<Bytes> TcpChannel::take_pending(std::uint32_t id) {
  const auto it = pending_.find(id);
  if (it == pending_.end()) return std::nullopt;
  Bytes reply = std::move(it->second);
  pending_.erase(it);
  return reply;
}

Result<Bytes> TcpChannel::receive_reply(std::uint32_t id) {
  for (;;) {
    {
      std::lock_guard lock(mutex_);
      if (auto step = receive_step(true); !step) return fail(step.error());
      if (auto reply = take_pending(id)) return std::move(*reply);
    }
    ::sched_yield();
  }
}

Result<std::optional<Bytes>> TcpChannel::try_receive_reply(std::uint32_t id) {
  std::unique_lock lock(mutex_, std::try_to_lock);
  if (!lock.owns_lock()) return std::nullopt;
  if (auto step = receive_step(false); !step) return fail(step.error());
  return take_pending(id);
}

Status TcpChannel::check_open() {
  std::unique_lock lock(mutex_, std::try_to_lock);
  if (!lock.owns_lock()) return {};
  pollfd p{fd_, POLLIN, 0};
  if (::poll(&p, 1, 0) <= 0 || p.revents == 0) return {};
  std::uint8_t byte;
  const ssize_t n = ::recv(fd_, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
  if (n == 0) return fail(Error::network("libkorvex: server closed connection"));
  if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
    return fail(Error::network("libkorvex: Connection error: " + os_error_text(errno)));
  return {};
}

void TcpChannel::shutdown() { ::shutdown(fd_, SHUT_RDWR); }

}  // namespace korvex::net
