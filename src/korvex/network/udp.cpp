#include "korvex/network/udp.hpp"

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "korvex/network/connect.hpp"

namespace korvex::net {

UdpChannel::UdpChannel(int fd, std::uint16_t local_port) : fd_(fd), local_port_(local_port) {}

UdpChannel::~UdpChannel() {
  if (fd_ >= 0) ::close(fd_);
}

Result<std::optional<std::size_t>> UdpChannel::receive_from(std::span<std::uint8_t> buffer, int flags) {
  sockaddr_storage source{};
  socklen_t source_len;
  ssize_t n;
  do {
    source_len = sizeof source;
    n = ::recvfrom(fd_, buffer.data(), buffer.size(), flags, reinterpret_cast<sockaddr*>(&source), &source_len);
  } while (n < 0 && errno == EINTR);
  if (n < 0) {
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == ETIMEDOUT) return std::nullopt;
    return fail(Error::network("libkorvex: UDP receive: " + os_error_text(errno)));
  }
  if (source.ss_family != AF_INET && source.ss_family != AF_INET6)
    return fail(Error::network("libkorvex: UDP receive: unsupported address family"));
  {
    std::lock_guard lock(server_mutex_);
    server_ = source;
    server_len_ = source_len;
  }
  return static_cast<std::size_t>(n);
}

Result<std::size_t> UdpChannel::receive(std::span<std::uint8_t> buffer) {
  auto n = receive_from(buffer, 0);
  if (!n) return fail(n.error());
  if (!*n) return fail(Error::network("libkorvex: UDP receive: Timeout"));
  return **n;
}

Result<std::optional<std::size_t>> UdpChannel::try_receive(std::span<std::uint8_t> buffer) {
  return receive_from(buffer, MSG_DONTWAIT);
}

Status UdpChannel::send(std::span<const std::uint8_t> bytes) {
  sockaddr_storage server;
  socklen_t server_len;
  {
    std::lock_guard lock(server_mutex_);
    server = server_;
    server_len = server_len_;
  }
  if (server_len == 0)
    return fail(Error::network("libkorvex: UDP send: no state received yet, server address unknown"));
  const ssize_t n =
      ::sendto(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL, reinterpret_cast<const sockaddr*>(&server), server_len);
  if (n < 0) return fail(Error::network("libkorvex: UDP send: " + os_error_text(errno)));
  if (static_cast<std::size_t>(n) != bytes.size()) return fail(Error::network("libkorvex: could not send UDP data"));
  return {};
}

}  // namespace korvex::net
