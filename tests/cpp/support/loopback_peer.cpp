#include "support/loopback_peer.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace korvex::testing {
namespace {

[[noreturn]] void die(const std::string& what) {
  throw std::runtime_error("loopback peer: " + what + ": " + std::strerror(errno));
}

[[noreturn]] void timed_out(const std::string& what) {
  throw std::runtime_error("loopback peer: " + what + ": nothing within " + std::to_string(kPeerTimeout.count()) +
                           " ms");
}

//! Waits until `fd` is ready for `events`, at most kPeerTimeout.
void wait_for(int fd, short events, const char* what) {
  pollfd p{fd, events, 0};
  int n;
  do {
    n = ::poll(&p, 1, static_cast<int>(kPeerTimeout.count()));
  } while (n < 0 && errno == EINTR);
  if (n < 0) die(what);
  if (n == 0) timed_out(what);
}

sockaddr_in loopback(std::uint16_t port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(port);
  return a;
}

//! A socket bound to 127.0.0.1 with a system-chosen port.
int bound_socket(int type, std::uint16_t& port) {
  const int fd = ::socket(AF_INET, type | SOCK_CLOEXEC, 0);
  if (fd < 0) die("socket");
  sockaddr_in a = loopback(0);
  socklen_t len = sizeof a;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
    ::close(fd);
    die("bind");
  }
  port = ntohs(a.sin_port);
  return fd;
}

void put_le(net::Bytes& out, std::uint32_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}

std::uint32_t get_le(const std::uint8_t* in, int bytes) {
  std::uint32_t v = 0;
  for (int i = 0; i < bytes; ++i) v |= std::uint32_t{in[i]} << (8 * i);
  return v;
}

int command_bytes(net::HeaderVariant variant) { return variant == net::HeaderVariant::Long ? 4 : 2; }

}  // namespace

net::Bytes header_bytes(net::HeaderVariant variant, std::uint32_t command, std::uint32_t id, std::uint32_t size) {
  net::Bytes out;
  put_le(out, command, command_bytes(variant));
  put_le(out, id, 4);
  put_le(out, size, 4);
  return out;
}

net::Bytes frame(net::HeaderVariant variant, std::uint32_t command, std::uint32_t id,
                 std::span<const std::uint8_t> payload) {
  net::Bytes out =
      header_bytes(variant, command, id, static_cast<std::uint32_t>(net::header_size(variant) + payload.size()));
  out.insert(out.end(), payload.begin(), payload.end());
  return out;
}

// --- LoopbackPeer ---

LoopbackPeer::LoopbackPeer(net::HeaderVariant variant) : variant_(variant) {
  listener_ = bound_socket(SOCK_STREAM, port_);
  if (::listen(listener_, 1) != 0) {
    ::close(listener_);
    die("listen");
  }
}

LoopbackPeer::~LoopbackPeer() {
  close();
  ::close(listener_);
}

std::string LoopbackPeer::address() const { return "127.0.0.1:" + std::to_string(port_); }

void LoopbackPeer::accept() {
  if (conn_ >= 0) return;
  wait_for(listener_, POLLIN, "accept");
  conn_ = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
  if (conn_ < 0) die("accept");
}

net::Bytes LoopbackPeer::read_exact(std::size_t n) {
  accept();
  net::Bytes out(n);
  std::size_t got = 0;
  while (got < n) {
    wait_for(conn_, POLLIN, "read");
    const ssize_t r = ::recv(conn_, out.data() + got, n - got, MSG_DONTWAIT);
    if (r < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (r < 0) die("read");
    if (r == 0) throw std::runtime_error("loopback peer: read: the client closed the connection");
    got += static_cast<std::size_t>(r);
  }
  return out;
}

PeerMessage LoopbackPeer::read_message() {
  const std::size_t header = net::header_size(variant_);
  const net::Bytes h = read_exact(header);
  const int c = command_bytes(variant_);
  PeerMessage m{get_le(h.data(), c), get_le(h.data() + c, 4), {}};
  const std::uint32_t size = get_le(h.data() + c + 4, 4);
  if (size < header) throw std::runtime_error("loopback peer: read: size " + std::to_string(size) + " below header");
  m.payload = read_exact(size - header);
  return m;
}

void LoopbackPeer::write(std::span<const std::uint8_t> bytes) {
  accept();
  std::size_t sent = 0;
  while (sent < bytes.size()) {
    wait_for(conn_, POLLOUT, "write");
    const ssize_t r = ::send(conn_, bytes.data() + sent, bytes.size() - sent, MSG_DONTWAIT | MSG_NOSIGNAL);
    if (r < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (r < 0) die("write");
    sent += static_cast<std::size_t>(r);
  }
}

void LoopbackPeer::reply(std::uint32_t command, std::uint32_t id, std::span<const std::uint8_t> payload) {
  write(frame(variant_, command, id, payload));
}

void LoopbackPeer::close() {
  if (conn_ >= 0) ::close(conn_);
  conn_ = -1;
}

// --- UdpPeer ---

UdpPeer::UdpPeer() { fd_ = bound_socket(SOCK_DGRAM, port_); }

UdpPeer::~UdpPeer() { ::close(fd_); }

void UdpPeer::send_to(std::uint16_t port, std::span<const std::uint8_t> bytes) {
  const sockaddr_in to = loopback(port);
  const ssize_t r = ::sendto(fd_, bytes.data(), bytes.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
  if (r != static_cast<ssize_t>(bytes.size())) die("send_to");
}

net::Bytes UdpPeer::receive() {
  net::Bytes out(65536);
  wait_for(fd_, POLLIN, "receive");
  const ssize_t r = ::recv(fd_, out.data(), out.size(), MSG_DONTWAIT);
  if (r < 0) die("receive");
  out.resize(static_cast<std::size_t>(r));
  return out;
}

}  // namespace korvex::testing
