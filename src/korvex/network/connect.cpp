#include "korvex/network/connect.hpp"

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <optional>
#include <string>
#include <utility>

namespace korvex::net {
namespace {

// strerror_r comes in a GNU flavour (returns the text) and an XSI one (fills the buffer).
[[maybe_unused]] const char* strerror_text(const char* gnu_result, const char*) { return gnu_result; }
[[maybe_unused]] const char* strerror_text(int, const char* buffer) { return buffer; }

//! Closes the descriptor unless released.
class Fd {
 public:
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }
  int release() { return std::exchange(fd_, -1); }

 private:
  int fd_;
};

struct AddrInfoFree {
  void operator()(addrinfo* list) const { ::freeaddrinfo(list); }
};
using AddrInfoList = std::unique_ptr<addrinfo, AddrInfoFree>;

struct Address {
  sockaddr_storage storage{};
  socklen_t length = 0;
  int family = AF_UNSPEC;
};

Error connection_error(std::string text) { return Error::network("libkorvex: Connection error: " + text); }

//! Classifies a failed connect by its error kind.
Error connect_error(int err) {
  if (err == ECONNREFUSED)
    return Error::network(
        "libkorvex: Connection to KXP refused. Please install KXP feature or enable KXP mode in Telvo.");
  if (err == ETIMEDOUT)
    return Error::network("libkorvex: Connection timeout. Please check your network connection or settings.");
  return connection_error(os_error_text(err));
}

//! getaddrinfo for a stream socket; on failure returns the resolver's text.
Result<AddrInfoList> lookup(const std::string& host, const std::string& service) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* list = nullptr;
  const int rc = ::getaddrinfo(host.c_str(), service.c_str(), &hints, &list);
  if (rc != 0) {
    const std::string text = rc == EAI_SYSTEM ? os_error_text(errno) : std::string(::gai_strerror(rc));
    return fail(connection_error(text));
  }
  return AddrInfoList(list);
}

bool is_port(std::string_view s) {
  if (s.empty() || s.size() > 5 || !std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; }))
    return false;
  return std::stoul(std::string(s)) <= 65535;
}

//! Splits "host:port" or "[v6-address]:port"; nothing when the string carries no port part.
std::optional<std::pair<std::string, std::string>> split_host_port(std::string_view s) {
  std::string_view host, port;
  if (s.starts_with('[')) {
    const auto close = s.find("]:");
    if (close == std::string_view::npos) return std::nullopt;
    host = s.substr(1, close - 1);
    port = s.substr(close + 2);
  } else {
    const auto colon = s.find(':');
    if (colon == std::string_view::npos || s.find(':', colon + 1) != std::string_view::npos) return std::nullopt;
    host = s.substr(0, colon);
    port = s.substr(colon + 1);
  }
  if (!is_port(port)) return std::nullopt;
  return std::pair{std::string(host), std::string(port)};
}

Address first_address(const addrinfo& info) {
  Address a;
  std::memcpy(&a.storage, info.ai_addr, info.ai_addrlen);
  a.length = info.ai_addrlen;
  a.family = info.ai_family;
  return a;
}

//! The host string with its own port first, else (host, default port); only the first address counts.
Result<Address> resolve(std::string_view host, std::uint16_t default_port) {
  if (auto parts = split_host_port(host)) {
    if (auto list = lookup(parts->first, parts->second); list && *list) return first_address(**list);
  }
  auto list = lookup(std::string(host), std::to_string(default_port));
  if (!list) return fail(list.error());
  if (!*list) return fail(connection_error("host " + std::string(host) + " did not resolve to any address"));
  return first_address(**list);
}

bool set_nonblocking(int fd, bool on) {
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags < 0) return false;
  return ::fcntl(fd, F_SETFL, on ? flags | O_NONBLOCK : flags & ~O_NONBLOCK) == 0;
}

timeval to_timeval(std::chrono::milliseconds t) {
  return timeval{static_cast<time_t>(t.count() / 1000), static_cast<suseconds_t>((t.count() % 1000) * 1000)};
}

//! Platform error number of setting a receive or send timeout (a zero timeout is invalid), or 0.
int set_timeout(int fd, int option, std::chrono::milliseconds t) {
  if (t <= std::chrono::milliseconds::zero()) return EINVAL;
  const timeval tv = to_timeval(t);
  return ::setsockopt(fd, SOL_SOCKET, option, &tv, sizeof tv) == 0 ? 0 : errno;
}

int set_int(int fd, int level, int option, int value) {
  return ::setsockopt(fd, level, option, &value, sizeof value) == 0 ? 0 : errno;
}

//! Non-blocking connect bounded by poll, then back to blocking mode.
Result<int> connect_socket(const Address& address, std::chrono::milliseconds timeout) {
  Fd fd(::socket(address.family, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (fd.get() < 0) return fail(connect_error(errno));
  if (timeout <= std::chrono::milliseconds::zero()) return fail(connect_error(EINVAL));
  if (!set_nonblocking(fd.get(), true)) return fail(connect_error(errno));

  if (::connect(fd.get(), reinterpret_cast<const sockaddr*>(&address.storage), address.length) != 0) {
    if (errno != EINPROGRESS) return fail(connect_error(errno));
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
      const auto left =
          std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      if (left <= std::chrono::milliseconds::zero()) return fail(connect_error(ETIMEDOUT));
      pollfd p{fd.get(), POLLOUT, 0};
      const int n = ::poll(&p, 1, static_cast<int>(left.count()));
      if (n < 0) {
        if (errno == EINTR) continue;
        return fail(connect_error(errno));
      }
      if (n == 0) continue;
      int err = 0;
      socklen_t len = sizeof err;
      if (::getsockopt(fd.get(), SOL_SOCKET, SO_ERROR, &err, &len) != 0) return fail(connect_error(errno));
      if (err != 0) return fail(connect_error(err));
      break;
    }
  }
  if (!set_nonblocking(fd.get(), false)) return fail(connect_error(errno));
  return fd.release();
}

//! TCP_NODELAY and the two timeouts are required; keep-alive is best effort.
Status configure_tcp(int fd, std::chrono::milliseconds connect_timeout) {
  int err = set_int(fd, IPPROTO_TCP, TCP_NODELAY, 1);
  if (!err) err = set_timeout(fd, SO_RCVTIMEO, std::chrono::milliseconds(10));
  if (!err) err = set_timeout(fd, SO_SNDTIMEO, connect_timeout);
  if (err) return fail(connection_error(os_error_text(err)));
  set_int(fd, SOL_SOCKET, SO_KEEPALIVE, 1);
  set_int(fd, IPPROTO_TCP, TCP_KEEPIDLE, 1);
  set_int(fd, IPPROTO_TCP, TCP_KEEPINTVL, 1);
  set_int(fd, IPPROTO_TCP, TCP_KEEPCNT, 3);
  return {};
}

//! UDP socket on 0.0.0.0 with a system-chosen port.
Result<std::unique_ptr<UdpChannel>> bind_udp(std::chrono::milliseconds timeout) {
  const auto os_fail = [](int err) { return fail(Error::network("libkorvex: " + os_error_text(err))); };
  Fd fd(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  if (fd.get() < 0) return os_fail(errno);
  sockaddr_in any{};
  any.sin_family = AF_INET;
  any.sin_addr.s_addr = htonl(INADDR_ANY);
  any.sin_port = 0;
  if (::bind(fd.get(), reinterpret_cast<const sockaddr*>(&any), sizeof any) != 0) return os_fail(errno);
  if (const int err = set_timeout(fd.get(), SO_RCVTIMEO, timeout)) return os_fail(err);
  sockaddr_in local{};
  socklen_t len = sizeof local;
  if (::getsockname(fd.get(), reinterpret_cast<sockaddr*>(&local), &len) != 0) return os_fail(errno);
  const std::uint16_t port = ntohs(local.sin_port);
  return std::make_unique<UdpChannel>(fd.release(), port);
}

}  // namespace

std::string os_error_text(int err) {
  char buffer[256] = {};
  const char* text = strerror_text(::strerror_r(err, buffer, sizeof buffer), buffer);
  return std::string(text) + " (os error " + std::to_string(err) + ")";
}

Result<Channels> connect(std::string_view host, std::uint16_t default_port, HeaderVariant variant,
                         std::chrono::milliseconds connect_timeout, std::chrono::milliseconds udp_timeout) {
  auto address = resolve(host, default_port);
  if (!address) return fail(address.error());
  auto fd = connect_socket(*address, connect_timeout);
  if (!fd) return fail(fd.error());
  Fd guard(*fd);
  if (auto configured = configure_tcp(guard.get(), connect_timeout); !configured) return fail(configured.error());

  Channels channels;
  channels.tcp = std::make_unique<TcpChannel>(guard.release(), variant);
  auto udp = bind_udp(udp_timeout);
  if (!udp) return fail(udp.error());
  channels.udp = std::move(*udp);
  channels.udp_port = channels.udp->local_port();
  return channels;
}

}  // namespace korvex::net
