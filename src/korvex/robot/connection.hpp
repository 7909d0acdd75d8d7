#pragma once
// One connection to an arm's control box, shared by reference counting.
#include <array>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "korvex/error.hpp"
#include "korvex/model/velocity_limits.hpp"
#include "korvex/robot/commands.hpp"
#include "korvex/wire/robot/state.hpp"

namespace korvex {

namespace net {
class TcpChannel;
class UdpChannel;
}  // namespace net

class Logger;
enum class Command : std::uint8_t;
enum class ControllerMode : std::uint32_t;
struct StateBookkeeping;
namespace model {
class NativeBackend;
}

//! Protocol version request: automatic asks for 10 and falls back to 5.
enum class ProtocolChoice : std::uint8_t { Automatic, V5, V10 };

class Connection {
 public:
  static constexpr std::size_t kDefaultLogSize = 50;

  //! Connects, negotiates the version and waits up to 1 s for the first state.
  static Result<std::shared_ptr<Connection>> create(const std::string& address, bool ignore_realtime,
                                                    std::size_t log_size,
                                                    ProtocolChoice version = ProtocolChoice::Automatic);
  ~Connection();
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  Result<RobotState> read_once();

  Status set_collision_behavior(const Vec7& lower_torque_thresholds_acceleration,
                                const Vec7& upper_torque_thresholds_acceleration,
                                const Vec7& lower_torque_thresholds_nominal,
                                const Vec7& upper_torque_thresholds_nominal,
                                const Vec6& lower_force_thresholds_acceleration,
                                const Vec6& upper_force_thresholds_acceleration,
                                const Vec6& lower_force_thresholds_nominal,
                                const Vec6& upper_force_thresholds_nominal);
  Status set_collision_behavior_simple(const Vec7& lower_torque_thresholds,
                                       const Vec7& upper_torque_thresholds,
                                       const Vec6& lower_force_thresholds,
                                       const Vec6& upper_force_thresholds);
  Status set_joint_impedance(const Vec7& K_theta);
  Status set_cartesian_impedance(const Vec6& K_x);
  Status automatic_error_recovery();
  Status stop();

  //! Motion loops: run in the calling thread until the callback finishes the motion or an error ends
  //! it; one at a time per connection. `cutoff_frequency` 1000 [Hz] switches the low-pass filter off.
  Status control_torques(TorqueCallback callback, bool limit_rate, double cutoff_frequency);
  Status control_joint_positions(ControllerMode controller, JointPositionCallback callback, bool limit_rate,
                                 double cutoff_frequency);
  Status control_cartesian_pose(ControllerMode controller, CartesianPoseCallback callback, bool limit_rate,
                                double cutoff_frequency);

  //! The arm's description: fetched from a ZK2 arm on every call, built in for ZK1.
  Result<std::string> model_description();
  //! The model of the connected arm, built afresh from its description.
  Result<model::NativeBackend> model();

  std::uint16_t server_version() const { return server_version_; }
  std::uint16_t kxp_version() const { return version_; }
  const std::string& address() const { return address_; }
  bool ignore_realtime() const { return ignore_realtime_; }

  // Used by the motion loop.
  net::TcpChannel& tcp() { return *tcp_; }
  net::UdpChannel& udp() { return *udp_; }
  StateBookkeeping& bookkeeping() { return *bookkeeping_; }
  Logger& log() { return *log_; }
  //! Read at connect from a ZK2 arm; none on ZK1.
  const std::optional<JointVelocityLimits>& velocity_limits() const { return velocity_limits_; }
  std::mutex& busy_guard() { return busy_; }

 private:
  Connection() = default;
  //! Sends one command and waits for its reply.
  Result<std::vector<std::uint8_t>> exchange(Command command, std::span<const std::uint8_t> payload);
  //! One request, one reply judged by the command's status table.
  Status simple_command(Command command, std::span<const std::uint8_t> payload);

  std::string address_;
  bool ignore_realtime_ = false;
  std::uint16_t version_ = 10;
  std::uint16_t server_version_ = 0;
  std::unique_ptr<net::TcpChannel> tcp_;
  std::unique_ptr<net::UdpChannel> udp_;
  std::unique_ptr<StateBookkeeping> bookkeeping_;
  std::unique_ptr<Logger> log_;
  std::optional<JointVelocityLimits> velocity_limits_;
  std::mutex busy_;
};

}  // namespace korvex
