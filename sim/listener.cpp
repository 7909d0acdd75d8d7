#include "sim/listener.hpp"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "korvex/network/connect.hpp"

namespace korvex::sim {

Result<Listener> open_listener(const std::string& host, std::uint16_t port) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* res = nullptr;
  const std::string port_text = std::to_string(port);
  if (int rc = ::getaddrinfo(host.c_str(), port_text.c_str(), &hints, &res); rc != 0 || !res)
    return fail(Error::network("korvex-sim: cannot resolve " + host + ": " + ::gai_strerror(rc)));
  sockaddr_in addr{};
  std::memcpy(&addr, res->ai_addr, sizeof addr);
  ::freeaddrinfo(res);

  const auto failed = [&](const char* what, int fd) {
    const int err = errno;
    if (fd >= 0) ::close(fd);
    return fail(Error::network(std::string("korvex-sim: cannot ") + what + " " + host + ":" + port_text + ": " +
                               net::os_error_text(err)));
  };
  Listener l;
  l.tcp_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (l.tcp_fd < 0) return failed("listen on", -1);
  const int one = 1;
  ::setsockopt(l.tcp_fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  if (::bind(l.tcp_fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(l.tcp_fd, 4) != 0)
    return failed("listen on", l.tcp_fd);
  socklen_t len = sizeof addr;
  ::getsockname(l.tcp_fd, reinterpret_cast<sockaddr*>(&addr), &len);
  l.port = ntohs(addr.sin_port);

  // States leave from the device's own host, as they would from a real one.
  l.udp_fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  addr.sin_port = 0;
  if (l.udp_fd < 0 || ::bind(l.udp_fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    const int err = errno;
    ::close(l.tcp_fd);
    errno = err;
    return failed("bind UDP on", l.udp_fd);
  }
  return l;
}

}  // namespace korvex::sim
