#include "korvex/robot/connection.hpp"

#include <chrono>

#include "korvex/model/builtin_zk1.hpp"
#include "korvex/model/native_backend.hpp"
#include "korvex/model/velocity_limits.hpp"
#include "korvex/network/connect.hpp"
#include "korvex/robot/logger.hpp"
#include "korvex/robot/realtime.hpp"
#include "korvex/robot/robot_impl/motion.hpp"
#include "korvex/wire/robot/codec.hpp"
#include "korvex/wire/robot/protocol.hpp"
#include "korvex/wire/robot/receive.hpp"

namespace korvex {
namespace {

constexpr std::uint16_t kArmPort = 1337;
constexpr auto kTimeout = std::chrono::milliseconds(1000);

struct Opened {
  net::Channels channels;
  std::uint16_t server_version = 0;
};

// One connect attempt asking for `requested`.
Result<Opened> open(const std::string& address, std::uint16_t requested) {
  auto channels = net::connect(address, kArmPort, net::HeaderVariant::Long, kTimeout, kTimeout);
  if (!channels) return fail(channels.error());
  const auto request = connect_request(requested, channels->udp_port);
  auto id = channels->tcp->send(static_cast<std::uint32_t>(0), request);
  if (!id) return fail(id.error());
  auto reply = channels->tcp->receive_reply(*id);
  if (!reply) return fail(reply.error());
  auto version = parse_connect_reply(*reply, net::HeaderVariant::Long, requested);
  if (!version) return fail(version.error());
  if (auto same = check_connect_version(*version, requested); !same) return fail(same.error());
  return Opened{std::move(*channels), *version};
}

}  // namespace

Connection::~Connection() = default;

Result<std::shared_ptr<Connection>> Connection::create(const std::string& address, bool ignore_realtime,
                                                       std::size_t log_size, ProtocolChoice choice) {
  if (auto rt = configure_connection_thread(ignore_realtime); !rt) return fail(rt.error());

  const std::uint16_t asked = choice == ProtocolChoice::V5 ? kLegacyVersion : kCurrentVersion;
  auto opened = open(address, asked);
  if (!opened && choice == ProtocolChoice::Automatic &&
      opened.error().kind() == ErrorKind::IncompatibleVersion && opened.error().server_version() == kLegacyVersion) {
    opened = open(address, kLegacyVersion);
  }
  if (!opened) return fail(opened.error());

  std::shared_ptr<Connection> c(new Connection());
  c->address_ = address;
  c->ignore_realtime_ = ignore_realtime;
  c->server_version_ = opened->server_version;
  c->version_ = opened->server_version;
  c->tcp_ = std::move(opened->channels.tcp);
  c->udp_ = std::move(opened->channels.udp);
  c->bookkeeping_ = std::make_unique<StateBookkeeping>();
  c->log_ = std::make_unique<Logger>(log_size);

  // The first state: one blocking receive of the version's exact size.
  std::array<std::uint8_t, kMaxStateSize> buffer{};
  auto got = c->udp_->receive(buffer);
  if (!got) return fail(got.error());
  if (*got != state_size(c->version_)) return fail(Error::protocol("libkorvex: incorrect object size"));
  const std::span<const std::uint8_t> first(buffer.data(), *got);
  c->bookkeeping_->record(state_message_id(first), state_modes(first, c->version_));

  if (c->version_ == kCurrentVersion) {
    auto text = c->model_description();
    if (!text) return fail(text.error());
    auto limits = read_joint_velocity_limits(*text);
    if (!limits) return fail(limits.error());
    c->velocity_limits_ = *limits;
  }
  return c;
}

Result<std::vector<std::uint8_t>> Connection::exchange(Command command, std::span<const std::uint8_t> payload) {
  auto wire = command_id(command, version_);
  if (!wire) return fail(wire.error());
  auto id = tcp_->send(*wire, payload);
  if (!id) return fail(id.error());
  return tcp_->receive_reply(*id);
}

Status Connection::simple_command(Command command, std::span<const std::uint8_t> payload) {
  auto reply = exchange(command, payload);
  if (!reply) return fail(reply.error());
  return check_reply(command, *reply, version_, bookkeeping_->last_robot_mode());
}

Result<RobotState> Connection::read_once() { return receive_newest_state(*udp_, *tcp_, *bookkeeping_, version_); }

Status Connection::set_collision_behavior(const Vec7& lower_torque_thresholds_acceleration,
                                          const Vec7& upper_torque_thresholds_acceleration,
                                          const Vec7& lower_torque_thresholds_nominal,
                                          const Vec7& upper_torque_thresholds_nominal,
                                          const Vec6& lower_force_thresholds_acceleration,
                                          const Vec6& upper_force_thresholds_acceleration,
                                          const Vec6& lower_force_thresholds_nominal,
                                          const Vec6& upper_force_thresholds_nominal) {
  const CollisionThresholds t{lower_torque_thresholds_acceleration, upper_torque_thresholds_acceleration,
                              lower_torque_thresholds_nominal,      upper_torque_thresholds_nominal,
                              lower_force_thresholds_acceleration,  upper_force_thresholds_acceleration,
                              lower_force_thresholds_nominal,       upper_force_thresholds_nominal};
  return simple_command(Command::SetCollisionBehavior, set_collision_behavior_request(t));
}

Status Connection::set_collision_behavior_simple(const Vec7& lower_torque_thresholds,
                                                 const Vec7& upper_torque_thresholds,
                                                 const Vec6& lower_force_thresholds,
                                                 const Vec6& upper_force_thresholds) {
  return set_collision_behavior(lower_torque_thresholds, upper_torque_thresholds, lower_torque_thresholds,
                                upper_torque_thresholds, lower_force_thresholds, upper_force_thresholds,
                                lower_force_thresholds, upper_force_thresholds);
}

Status Connection::set_joint_impedance(const Vec7& K_theta) {
  return simple_command(Command::SetJointImpedance, set_joint_impedance_request(K_theta));
}

Status Connection::set_cartesian_impedance(const Vec6& K_x) {
  return simple_command(Command::SetCartesianImpedance, set_cartesian_impedance_request(K_x));
}

Status Connection::automatic_error_recovery() { return simple_command(Command::AutomaticErrorRecovery, {}); }

Status Connection::stop() { return simple_command(Command::StopMove, {}); }

Status Connection::control_torques(TorqueCallback callback, bool limit_rate, double cutoff_frequency) {
  return robot_impl::control_torques(*this, callback, limit_rate, cutoff_frequency);
}

Status Connection::control_joint_positions(ControllerMode controller, JointPositionCallback callback,
                                           bool limit_rate, double cutoff_frequency) {
  return robot_impl::control_joint_positions(*this, controller, callback, limit_rate, cutoff_frequency);
}

Status Connection::control_cartesian_pose(ControllerMode controller, CartesianPoseCallback callback, bool limit_rate,
                                          double cutoff_frequency) {
  return robot_impl::control_cartesian_pose(*this, controller, callback, limit_rate, cutoff_frequency);
}

Result<std::string> Connection::model_description() {
  if (version_ != kCurrentVersion) return std::string(model::builtin_zk1_urdf());
  auto reply = exchange(Command::GetRobotModel, {});
  if (!reply) return fail(reply.error());
  return parse_robot_model_reply(*reply, version_, bookkeeping_->last_robot_mode());
}

Result<model::NativeBackend> Connection::model() {
  if (version_ != kCurrentVersion) return model::NativeBackend::builtin_zk1();
  auto text = model_description();
  if (!text) return fail(text.error());
  return model::NativeBackend::from_urdf(*text);
}

}  // namespace korvex
