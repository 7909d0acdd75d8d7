#pragma once
// Error values: every fallible operation returns Result<T>.
#include <cstdint>
#include <expected>
#include <memory>
#include <string>
#include <string_view>

namespace korvex {

struct ControlException;  // robot/robot_impl/exception.hpp

//! The nine error variants; the order is the variant index.
enum class ErrorKind : std::uint8_t {
  Network,
  Protocol,
  IncompatibleVersion,
  Command,
  Control,
  Realtime,
  InvalidOperation,
  InvalidArgument,
  Model,
};

//! Variant name as written in debug texts ("InvalidArgument").
std::string_view kind_name(ErrorKind kind);
//! Lower-case name the Python layer reports ("invalid_argument").
std::string_view kind_key(ErrorKind kind);

class Error {
 public:
  static Error network(std::string message) { return {ErrorKind::Network, std::move(message)}; }
  static Error protocol(std::string message) { return {ErrorKind::Protocol, std::move(message)}; }
  static Error command(std::string message) { return {ErrorKind::Command, std::move(message)}; }
  static Error realtime(std::string message) { return {ErrorKind::Realtime, std::move(message)}; }
  static Error invalid_operation(std::string message) { return {ErrorKind::InvalidOperation, std::move(message)}; }
  static Error invalid_argument(std::string message) { return {ErrorKind::InvalidArgument, std::move(message)}; }
  static Error model(std::string message) { return {ErrorKind::Model, std::move(message)}; }
  static Error incompatible_version(std::uint16_t server_version, std::uint16_t library_version);
  static Error control(ControlException exception);

  ErrorKind kind() const { return kind_; }
  //! Display text.
  const std::string& message() const { return message_; }
  //! Variant name followed by its content.
  std::string debug() const;

  std::uint16_t server_version() const { return server_version_; }
  std::uint16_t library_version() const { return library_version_; }
  //! The carried exception of a Control error, else null.
  const ControlException* control_exception() const { return control_.get(); }

 private:
  Error(ErrorKind kind, std::string message) : kind_(kind), message_(std::move(message)) {}

  ErrorKind kind_;
  std::string message_;
  std::uint16_t server_version_ = 0;
  std::uint16_t library_version_ = 0;
  std::shared_ptr<const ControlException> control_;
};

template <class T>
using Result = std::expected<T, Error>;
using Status = std::expected<void, Error>;

inline std::unexpected<Error> fail(Error e) { return std::unexpected<Error>(std::move(e)); }

}  // namespace korvex
