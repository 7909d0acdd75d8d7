#include "korvex/error.hpp"

#include <array>

#include "korvex/format.hpp"
#include "korvex/robot/robot_impl/exception.hpp"

namespace korvex {
namespace {
constexpr std::array<std::string_view, 9> kNames = {
    "Network",          "Protocol",        "IncompatibleVersion", "Command", "Control",
    "Realtime",         "InvalidOperation", "InvalidArgument",     "Model"};
constexpr std::array<std::string_view, 9> kKeys = {
    "network",           "protocol",         "incompatible_version", "command", "control",
    "realtime",          "invalid_operation", "invalid_argument",    "model"};
}  // namespace

std::string_view kind_name(ErrorKind kind) { return kNames[static_cast<std::size_t>(kind)]; }
std::string_view kind_key(ErrorKind kind) { return kKeys[static_cast<std::size_t>(kind)]; }

Error Error::incompatible_version(std::uint16_t server_version, std::uint16_t library_version) {
  Error e(ErrorKind::IncompatibleVersion,
          "libkorvex: Incompatible library version (server version: " + std::to_string(server_version) +
              ", library version: " + std::to_string(library_version) + ").");
  e.server_version_ = server_version;
  e.library_version_ = library_version;
  return e;
}

Error Error::control(ControlException exception) {
  Error e(ErrorKind::Control, exception.message);
  e.control_ = std::make_shared<const ControlException>(std::move(exception));
  return e;
}

std::string Error::debug() const {
  std::string out(kind_name(kind_));
  switch (kind_) {
    case ErrorKind::IncompatibleVersion:
      out += " { server_version: " + std::to_string(server_version_) +
             ", library_version: " + std::to_string(library_version_) + " }";
      break;
    case ErrorKind::Control:
      out += "(" + control_->debug() + ")";
      break;
    default:
      out += "(" + fmt::quoted(message_) + ")";
  }
  return out;
}

}  // namespace korvex
