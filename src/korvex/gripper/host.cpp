#include <string>
#include <string_view>

#include "korvex/gripper/host.hpp"

namespace korvex {
namespace {

//! Decimal digits with an optional leading '+', value 0 to 65535.
bool is_port(std::string_view s) {
  if (s.starts_with('+')) s.remove_prefix(1);
  if (s.empty()) return false;
  unsigned value = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + static_cast<unsigned>(c - '0');
    if (value > 65535) return false;
  }
  return true;
}

}  // namespace

std::string gripper_host_from_robot_address(std::string_view address) {
  const auto colon = address.rfind(':');
  if (colon == std::string_view::npos || !is_port(address.substr(colon + 1))) return std::string(address);
  std::string_view host = address.substr(0, colon);
  if (host.starts_with('[') && host.ends_with(']')) return std::string(host.substr(1, host.size() - 2));
  // A bare IPv6 address has colons of its own and no port; its last group is not a port.
  if (host.find(':') != std::string_view::npos) return std::string(address);
  return std::string(host);
}

}  // namespace korvex
