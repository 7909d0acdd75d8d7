#include "sim/arm_simulator.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstring>
#include <ctime>
#include <utility>
#include <algorithm>
#include <numbers>
#include <vector>

#include "korvex/model/builtin_zk1.hpp"
#include "korvex/model/kinematics.hpp"
#include "korvex/model/dynamics.hpp"
#include "korvex/network/connect.hpp"
#include "korvex/wire/robot/codec.hpp"
#include "korvex/wire/robot/protocol.hpp"
#include "sim/description.hpp"
#include "sim/listener.hpp"

namespace korvex::sim {
namespace {

constexpr std::size_t kHeader = 12;

// Wire statuses by meaning, per version (version 5 lacks the safety statuses).
struct Statuses {
  std::uint8_t not_possible, invalid_argument;
  std::uint8_t stop_user_stop, aer_user_stop, move_not_possible;
};
Statuses statuses(std::uint16_t version) {
  if (version == 5) return {1, 2, 2, 4, 3};
  return {1, 2, 3, 5, 5};
}

std::optional<Command> command_of(std::uint32_t wire, std::uint16_t version) {
  for (int i = 0; i <= static_cast<int>(Command::GetRobotModel); ++i) {
    const auto c = static_cast<Command>(i);
    auto id = command_id(c, version);
    if (id && *id == wire) return c;
  }
  return std::nullopt;
}

// Every value finite and non-negative; the payload a whole number of doubles of the expected count.
bool valid_values(std::span<const std::uint8_t> payload, std::size_t count) {
  if (payload.size() != count * 8) return false;
  for (std::size_t i = 0; i < count; ++i) {
    double x;
    std::memcpy(&x, payload.data() + 8 * i, 8);
    if (!std::isfinite(x) || x < 0) return false;
  }
  return true;
}

std::size_t expected_values(Command c) {
  switch (c) {
    case Command::SetCollisionBehavior: return 52;
    case Command::SetJointImpedance: return 7;
    case Command::SetCartesianImpedance: return 6;
    default: return 0;
  }
}

Pose identity() {
  Pose p{};
  p[0] = p[5] = p[10] = p[15] = 1;
  return p;
}

constexpr Vec7 kHome{0, -std::numbers::pi / 4, 0, -3 * std::numbers::pi / 4, 0, std::numbers::pi / 2,
                     std::numbers::pi / 4};

// The gripper's frame: 0.1034 m along the flange axis, turned by -45 degrees about it.
Pose gripper_frame() {
  const double c = std::cos(-std::numbers::pi / 4), s = std::sin(-std::numbers::pi / 4);
  return {c, s, 0, 0, -s, c, 0, 0, 0, 0, 1, 0, 0, 0, 0.1034, 1};
}

RobotState home_state() {
  RobotState s;
  s.q = kHome;
  s.q_d = s.q;
  s.theta = s.q;
  s.F_T_NE = s.F_T_EE = gripper_frame();
  s.NE_T_EE = s.EE_T_K = identity();
  s.m_ee = 0.73;
  s.F_x_Cee = {-0.01, 0.0, 0.03};
  s.I_ee = {0.001, 0, 0, 0, 0.0025, 0, 0, 0, 0.0017};
  s.m_total = s.m_ee;
  s.F_x_Ctotal = s.F_x_Cee;
  s.I_total = s.I_ee;
  s.elbow = s.elbow_d = s.elbow_c = {s.q[2], -1.0};
  s.O_ddP_O = {0, 0, -9.81};
  s.control_command_success_rate = 1.0;
  return s;
}

model::NativeBackend served_model(ArmModel model, const std::string& description) {
  if (model == ArmModel::ZK1) return model::NativeBackend::builtin_zk1();
  auto built = model::NativeBackend::from_urdf(description);
  if (!built) {  // the simulator's own document: failing to build it is a defect
    std::fprintf(stderr, "korvex-sim: the ZK2 description does not build: %s\n", built.error().message().c_str());
    std::abort();
  }
  return std::move(*built);
}

std::array<double, 52> doubles52(std::span<const std::uint8_t> payload) {
  std::array<double, 52> v{};
  std::memcpy(v.data(), payload.data(), std::min(payload.size(), sizeof v));
  return v;
}

void write_header(std::vector<std::uint8_t>& out, std::uint32_t command, std::uint32_t id, std::uint32_t size) {
  const std::uint32_t h[3] = {command, id, size};
  out.resize(kHeader);
  std::memcpy(out.data(), h, kHeader);
}

}  // namespace

struct ArmSimulator::Session {
  int fd = -1;
  std::vector<std::uint8_t> buffer;
};

Result<Pacing> parse_pacing(std::string_view name) {
  if (name == "realtime") return Pacing::Realtime;
  if (name == "lockstep") return Pacing::Lockstep;
  return fail(Error::invalid_argument("korvex-sim: unknown pacing " + std::string(name) +
                                      " (expected realtime or lockstep)"));
}

Result<ArmModel> parse_arm_model(std::string_view name) {
  if (name == "zk2") return ArmModel::ZK2;
  if (name == "zk1") return ArmModel::ZK1;
  return fail(Error::invalid_argument("korvex-sim: unknown arm model " + std::string(name) +
                                      " (expected zk2 or zk1)"));
}

ArmSimulator::ArmSimulator(ArmSimulatorOptions options)
    : options_(std::move(options)),
      description_(options_.model == ArmModel::ZK2 ? zk2_description() : std::string(model::builtin_zk1_urdf())),
      brakes_open_(options_.brakes_open),
      physics_(served_model(options_.model, description_),
               options_.model == ArmModel::ZK2 ? zk2_limits() : zk1_limits(), kHome) {
  state_ = home_state();
  state_.robot_mode = brakes_open_ ? RobotMode::Idle : RobotMode::Other;
  fill_measured(state_);
  state_.O_T_EE_d = state_.O_T_EE_c = state_.O_T_EE;
}

ArmSimulator::~ArmSimulator() { stop(); }

std::string ArmSimulator::address() const { return options_.host + ":" + std::to_string(port_); }

Status ArmSimulator::start() {
  if (running_) return {};
  auto listener = open_listener(options_.host, options_.port);
  if (!listener) return fail(listener.error());
  listen_fd_ = listener->tcp_fd;
  udp_fd_ = listener->udp_fd;
  port_ = listener->port;

  running_ = true;
  server_thread_ = std::thread([this] {
    pthread_setname_np(pthread_self(), "korvex-sim-tcp");
    serve();
  });
  stream_thread_ = std::thread([this] {
    pthread_setname_np(pthread_self(), "korvex-sim-udp");
    stream();
  });
  return {};
}

void ArmSimulator::stop() {
  if (!running_.exchange(false)) return;
  if (server_thread_.joinable()) server_thread_.join();
  if (stream_thread_.joinable()) stream_thread_.join();
  ::close(listen_fd_);
  ::close(udp_fd_);
  listen_fd_ = udp_fd_ = -1;
}

void ArmSimulator::set_brakes_open(bool open) {
  std::lock_guard lock(mutex_);
  brakes_open_ = open;
  if (!open) {
    state_.robot_mode = RobotMode::Other;
  } else if (state_.robot_mode == RobotMode::Other) {
    state_.robot_mode = RobotMode::Idle;
  }
}

bool ArmSimulator::brakes_open() const {
  std::lock_guard lock(mutex_);
  return brakes_open_;
}

RobotMode ArmSimulator::robot_mode() const {
  std::lock_guard lock(mutex_);
  return state_.robot_mode;
}

void ArmSimulator::set_robot_mode(RobotMode mode) {
  std::lock_guard lock(mutex_);
  state_.robot_mode = mode;
}

void ArmSimulator::force_status(std::string_view name, std::optional<std::uint8_t> wire_status) {
  std::lock_guard lock(mutex_);
  if (wire_status) {
    forced_.insert_or_assign(std::string(name), *wire_status);
  } else if (auto it = forced_.find(name); it != forced_.end()) {
    forced_.erase(it);
  }
}

void ArmSimulator::pause_states(bool paused) { paused_ = paused; }

std::uint64_t ArmSimulator::command_count(std::string_view name) const {
  std::lock_guard lock(mutex_);
  auto it = counts_.find(name);
  return it == counts_.end() ? 0 : it->second;
}

RobotState ArmSimulator::last_state() const {
  std::lock_guard lock(mutex_);
  return state_;
}

std::optional<std::uint8_t> ArmSimulator::forced(std::string_view name) const {
  auto it = forced_.find(name);
  if (it == forced_.end()) return std::nullopt;
  return it->second;
}

void ArmSimulator::serve() {
  Session session;
  auto drop_client = [&] {
    if (session.fd >= 0) ::close(session.fd);
    session = Session{};
    std::vector<std::uint8_t> unused;
    std::lock_guard lock(mutex_);
    client_fd_ = -1;
    streaming_ = false;
    if (motion_) end_motion(MoveStatus::Aborted, unused);  // nobody left to tell
  };
  std::uint8_t chunk[65536];
  while (running_) {
    pollfd fds[2] = {{listen_fd_, POLLIN, 0}, {session.fd, POLLIN, 0}};
    const int n = ::poll(fds, session.fd >= 0 ? 2 : 1, 20);
    if (n <= 0) continue;
    if (fds[0].revents & POLLIN) {
      const int fd = ::accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd >= 0) {
        drop_client();  // an arm serves one client at a time
        const int one = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        session.fd = fd;
        std::lock_guard lock(mutex_);
        client_fd_ = fd;
      }
      continue;
    }
    {
      std::lock_guard lock(mutex_);
      if (session.fd >= 0 && client_fd_ < 0) {  // hung up by close_connection()
        streaming_ = false;
        session = Session{};
        continue;
      }
    }
    if (session.fd < 0 || !(fds[1].revents & (POLLIN | POLLHUP | POLLERR))) continue;
    const ssize_t got = ::recv(session.fd, chunk, sizeof chunk, 0);
    if (got <= 0) {
      if (got < 0 && (errno == EINTR || errno == EAGAIN)) continue;
      drop_client();
      continue;
    }
    session.buffer.insert(session.buffer.end(), chunk, chunk + got);
    while (session.buffer.size() >= kHeader) {
      std::uint32_t h[3];
      std::memcpy(h, session.buffer.data(), kHeader);
      if (h[2] < kHeader || h[2] > net::kMaxMessageSize) {
        drop_client();
        break;
      }
      if (session.buffer.size() < h[2]) break;
      std::vector<std::uint8_t> message(session.buffer.begin(), session.buffer.begin() + h[2]);
      session.buffer.erase(session.buffer.begin(), session.buffer.begin() + h[2]);
      handle(session, h[0], h[1], std::span(message).subspan(kHeader));
      if (session.fd < 0) break;
    }
  }
  drop_client();
}

void ArmSimulator::send_locked_out(std::span<const std::uint8_t> bytes) {
  std::lock_guard lock(send_mutex_);
  int fd;
  {
    std::lock_guard state_lock(mutex_);
    fd = client_fd_;
  }
  std::size_t sent = 0;
  while (fd >= 0 && sent < bytes.size()) {
    const ssize_t n = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) {
      if (n < 0 && errno == EINTR) continue;
      return;
    }
    sent += static_cast<std::size_t>(n);
  }
}

void ArmSimulator::reply(Session&, std::uint32_t wire_command, std::uint32_t id,
                         std::span<const std::uint8_t> payload) {
  std::vector<std::uint8_t> out;
  write_header(out, wire_command, id, static_cast<std::uint32_t>(kHeader + payload.size()));
  out.insert(out.end(), payload.begin(), payload.end());
  send_locked_out(out);
}

std::uint8_t ArmSimulator::move_wire_status(MoveStatus status) const {
  const auto index = static_cast<std::uint8_t>(status);
  if (version() != 5) return index;
  switch (status) {
    case MoveStatus::Success:
    case MoveStatus::MotionStarted:
    case MoveStatus::Preempted:
      return index;
    case MoveStatus::PreemptedDueToActivatedSafetyFunctions:
    case MoveStatus::CommandRejectedDueToActivatedSafetyFunctions:
      return 9;  // version 5 has no safety functions: plain abort
    default:
      return static_cast<std::uint8_t>(index - 2);
  }
}

void ArmSimulator::end_motion(MoveStatus status, std::vector<std::uint8_t>& move_reply) {
  // mutex_ held
  const std::uint32_t move_wire = *command_id(Command::Move, version());
  write_header(move_reply, move_wire, motion_->move_id(), static_cast<std::uint32_t>(kHeader + 1));
  move_reply.push_back(move_wire_status(status));
  motion_.reset();
  last_stats_ = std::exchange(stats_, MotionStats{});
  physics_.hold();
  switch (status) {
    case MoveStatus::ReflexAborted: state_.robot_mode = RobotMode::Reflex; break;
    case MoveStatus::EmergencyAborted: state_.robot_mode = RobotMode::UserStopped; break;
    default: state_.robot_mode = brakes_open_ ? RobotMode::Idle : RobotMode::Other;
  }
}

void ArmSimulator::handle(Session& session, std::uint32_t wire, std::uint32_t id,
                          std::span<const std::uint8_t> payload) {
  const std::uint16_t version = this->version();
  const Statuses st = statuses(version);

  if (wire == 0) {  // Connect: the version decides the ids of everything else
    std::uint16_t requested = 0, udp_port = 0;
    if (payload.size() >= 4) {
      std::memcpy(&requested, payload.data(), 2);
      std::memcpy(&udp_port, payload.data() + 2, 2);
    }
    std::uint8_t status = requested == version ? 0 : 1;
    {
      std::lock_guard lock(mutex_);
      ++counts_["Connect"];
      if (auto f = forced("Connect")) status = *f;
      if (status == 0) {
        sockaddr_in peer{};
        socklen_t len = sizeof peer;
        ::getpeername(session.fd, reinterpret_cast<sockaddr*>(&peer), &len);
        udp_target_ip_ = peer.sin_addr.s_addr;
        udp_target_port_ = udp_port;
        streaming_ = true;
      }
    }
    std::uint8_t body[3] = {status, static_cast<std::uint8_t>(version & 0xff), static_cast<std::uint8_t>(version >> 8)};
    reply(session, wire, id, body);
    return;
  }

  const auto command = command_of(wire, version);
  if (!command) {  // not a command of this version: a real arm would hang up
    ::close(session.fd);
    session = Session{};
    std::lock_guard lock(mutex_);
    client_fd_ = -1;
    streaming_ = false;
    return;
  }
  const std::string name(command_name(*command));

  std::uint8_t status = 0;
  std::string body_text;
  std::vector<std::uint8_t> move_reply;
  {
    std::lock_guard lock(mutex_);
    ++counts_[name];
    const RobotMode mode = state_.robot_mode;
    switch (*command) {
      case Command::Move: {
        std::uint32_t modes[2] = {0, 0};
        if (payload.size() >= 8) std::memcpy(modes, payload.data(), 8);
        const bool known = modes[0] <= 2 && modes[1] <= (version == 5 ? 3u : 4u);
        if (mode != RobotMode::Idle || motion_ || !known) {
          status = st.move_not_possible;
        } else {
          status = static_cast<std::uint8_t>(MoveStatus::MotionStarted);
          motion_.emplace(id, static_cast<std::uint8_t>(modes[0]), static_cast<std::uint8_t>(modes[1]), state_,
                          version);
          state_.robot_mode = RobotMode::Move;
          state_.last_motion_errors = Errors{};
        }
        break;
      }
      case Command::StopMove:
        if (mode == RobotMode::Other) status = st.not_possible;
        else if (mode == RobotMode::UserStopped) status = st.stop_user_stop;
        else if (motion_) end_motion(MoveStatus::Preempted, move_reply);
        break;
      case Command::AutomaticErrorRecovery:
        if (mode == RobotMode::Other) {
          status = st.not_possible;
        } else if (mode == RobotMode::UserStopped) {
          status = st.aer_user_stop;
        } else if (mode == RobotMode::Reflex) {
          state_.robot_mode = RobotMode::Idle;
          state_.last_motion_errors = Errors{};
          state_.current_errors = Errors{};
        }
        break;
      case Command::GetRobotModel:
        body_text = description_;
        break;
      default:
        if (is_set_command(*command) || *command == Command::GetCartesianLimit) {
          const std::size_t n = expected_values(*command);
          if (mode != RobotMode::Idle) {
            status = st.not_possible;
          } else if (n > 0 && !valid_values(payload, n)) {
            status = st.invalid_argument;
          } else if (*command == Command::SetJointImpedance) {
            std::memcpy(settings_.joint_stiffness.data(), payload.data(), 56);
          } else if (*command == Command::SetCartesianImpedance) {
            std::memcpy(settings_.cartesian_stiffness.data(), payload.data(), 48);
          } else if (*command == Command::SetCollisionBehavior) {
            const auto v = doubles52(payload);
            std::copy(v.begin() + 21, v.begin() + 28, settings_.collision_torque.begin());
            std::copy(v.begin() + 46, v.begin() + 52, settings_.collision_force.begin());
          }
        }
    }
    if (auto f = forced(name)) {
      status = *f;
      // A forced refusal of Move leaves no motion behind.
      if (*command == Command::Move && status != static_cast<std::uint8_t>(MoveStatus::MotionStarted) && motion_ &&
          motion_->move_id() == id) {
        motion_.reset();
        state_.robot_mode = RobotMode::Idle;
      }
    }
  }
  std::vector<std::uint8_t> body{status};
  if (status == 0 && *command == Command::GetRobotModel) body.insert(body.end(), body_text.begin(), body_text.end());
  reply(session, wire, id, body);
  if (!move_reply.empty()) send_locked_out(move_reply);
}

Payload ArmSimulator::payload() const {
  return {state_.m_total, state_.F_x_Ctotal, state_.I_total};
}

void ArmSimulator::fill_measured(RobotState& s) const {
  const auto& model = physics_.model();
  s.q = physics_.q();
  s.dq = physics_.dq();
  s.theta = s.q;
  s.dtheta = s.dq;
  s.O_T_EE = model::pose(model, model::Frame::EndEffector, s.q, s.F_T_EE);
  s.elbow = {s.q[2], s.q[3] < 0 ? -1.0 : 1.0};
  const Vec7 g = model::gravity(model, s.q, s.O_ddP_O, s.F_x_Ctotal, s.m_total);
  for (int j = 0; j < 7; ++j) {
    const double tau = s.tau_J_d[j] + g[j];
    s.dtau_J[j] = (tau - s.tau_J[j]) / 0.001;
    s.tau_J[j] = tau;
  }
}

void ArmSimulator::tick(std::uint64_t message_id, const RobotCommand* command, std::vector<std::uint8_t>& move_reply) {
  // mutex_ held
  state_.time = message_id;
  if (push_ticks_ > 0 && --push_ticks_ == 0) push_ = Disturbance{};
  if (motion_ && reflex_requested_) {
    state_.last_motion_errors = state_.current_errors = pending_reflex_;
    end_motion(MoveStatus::ReflexAborted, move_reply);
  }
  reflex_requested_ = false;
  if (motion_ && user_stop_) end_motion(MoveStatus::EmergencyAborted, move_reply);
  if (motion_) {
    ++stats_.cycles;
    if (command) ++stats_.commands;
    if (auto end = motion_->tick(command, physics_, settings_, push_, payload(), state_)) end_motion(*end, move_reply);
  } else {
    physics_.hold();
    state_.q_d = physics_.q();
    state_.dq_d = state_.ddq_d = state_.tau_J_d = {};
    state_.O_dP_EE_c = state_.O_dP_EE_d = state_.O_ddP_EE_c = {};
    state_.tau_ext_hat_filtered = push_.tau;
    state_.O_F_ext_hat_K = push_.wrench;
    state_.control_command_success_rate = 1.0;
  }
  fill_measured(state_);
  if (!motion_) state_.O_T_EE_d = state_.O_T_EE_c = state_.O_T_EE;
}

void ArmSimulator::stream() {
  std::array<std::uint8_t, kMaxStateSize> buffer{};
  std::array<std::uint8_t, 1024> in{};
  timespec next{};
  clock_gettime(CLOCK_MONOTONIC, &next);
  std::uint64_t message_id = 0;
  const std::uint16_t version = this->version();
  const std::size_t command_bytes = command_size(version);

  // Takes every waiting command; keeps the one answering the newest state.
  const int on = 1;
  ::setsockopt(udp_fd_, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on);
  auto drain = [&](std::optional<RobotCommand>& newest) {
    for (;;) {
      iovec iov{in.data(), in.size()};
      alignas(cmsghdr) char control[CMSG_SPACE(sizeof(timespec))];
      msghdr msg{};
      msg.msg_iov = &iov;
      msg.msg_iovlen = 1;
      msg.msg_control = control;
      msg.msg_controllen = sizeof control;
      const ssize_t n = ::recvmsg(udp_fd_, &msg, MSG_DONTWAIT);
      if (n < 0) return;
      if (static_cast<std::size_t>(n) != command_bytes) continue;
      auto c = decode_command(std::span<const std::uint8_t>(in.data(), command_bytes), version);
      if (!c) continue;
      if (!newest || c->message_id >= newest->message_id) newest = *c;
      const cmsghdr* cm = CMSG_FIRSTHDR(&msg);
      if (cm && cm->cmsg_level == SOL_SOCKET && cm->cmsg_type == SCM_TIMESTAMPNS) {
        timespec arrived;
        std::memcpy(&arrived, CMSG_DATA(cm), sizeof arrived);
        std::lock_guard lock(mutex_);
        if (round_trips_.size() < round_trip_capacity_ && c->message_id == last_sent_id_) {
          const timespec& sent = sent_at_[c->message_id % sent_at_.size()];
          round_trips_.push_back(1e6 * static_cast<double>(arrived.tv_sec - sent.tv_sec) +
                                 1e-3 * static_cast<double>(arrived.tv_nsec - sent.tv_nsec));
        }
      }
    }
  };

  while (running_) {
    bool lockstep_motion;
    int deadline_ms;
    {
      std::lock_guard lock(mutex_);
      lockstep_motion = options_.pacing == Pacing::Lockstep && motion_.has_value() && streaming_;
      deadline_ms = options_.lockstep_deadline_ms;
    }
    std::optional<RobotCommand> command;
    if (lockstep_motion) {
      // Wait for the answer to the state just sent, up to the deadline.
      timespec start{};
      clock_gettime(CLOCK_MONOTONIC, &start);
      for (;;) {
        drain(command);
        if (command && command->message_id >= last_sent_id_) break;
        timespec now{};
        clock_gettime(CLOCK_MONOTONIC, &now);
        const long waited = (now.tv_sec - start.tv_sec) * 1000 + (now.tv_nsec - start.tv_nsec) / 1'000'000;
        if (waited >= deadline_ms || !running_) break;
        pollfd p{udp_fd_, POLLIN, 0};
        ::poll(&p, 1, static_cast<int>(deadline_ms - waited));
      }
      clock_gettime(CLOCK_MONOTONIC, &next);
    } else {
      next.tv_nsec += 1'000'000;
      if (next.tv_nsec >= 1'000'000'000) {
        next.tv_nsec -= 1'000'000'000;
        ++next.tv_sec;
      }
      timespec now{};
      clock_gettime(CLOCK_MONOTONIC, &now);
      const double behind = static_cast<double>(now.tv_sec - next.tv_sec) +
                            1e-9 * static_cast<double>(now.tv_nsec - next.tv_nsec);
      if (behind > 0.05) next = now;  // after a stall, restart the clock instead of bursting
      clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &next, nullptr);
      drain(command);
    }
    // A command only counts for the state it answers (or a newer one).
    if (command && command->message_id < last_sent_id_) command.reset();
    ++message_id;

    sockaddr_in target{};
    std::span<const std::uint8_t> bytes;
    std::vector<std::uint8_t> move_reply;
    bool send = false;
    int delay = 0;
    {
      std::lock_guard lock(mutex_);
      tick(message_id, command ? &*command : nullptr, move_reply);
      if (streaming_ && !paused_) {
        if (drop_ > 0) {
          --drop_;
        } else {
          send = true;
          delay = std::exchange(delay_ms_, 0);
          target.sin_family = AF_INET;
          target.sin_addr.s_addr = udp_target_ip_;
          target.sin_port = htons(udp_target_port_);
          const StateModes modes = motion_ ? motion_->modes()
                                           : StateModes{0, 0, static_cast<std::uint8_t>(state_.robot_mode)};
          bytes = encode_state(state_, modes, version, buffer);
        }
      }
    }
    if (!move_reply.empty()) send_locked_out(move_reply);
    if (delay > 0) {
      const timespec pause{delay / 1000, (delay % 1000) * 1'000'000L};
      nanosleep(&pause, nullptr);
      clock_gettime(CLOCK_MONOTONIC, &next);
    }
    if (send) {
      clock_gettime(CLOCK_REALTIME, &sent_at_[message_id % sent_at_.size()]);  // the clock of SO_TIMESTAMPNS
      last_sent_id_ = message_id;
      ::sendto(udp_fd_, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&target), sizeof target);
    }
  }
}

Vec7 ArmSimulator::joint_positions() const {
  std::lock_guard lock(mutex_);
  return physics_.q();
}

void ArmSimulator::set_joint_positions(const Vec7& q) {
  std::lock_guard lock(mutex_);
  physics_ = ArmPhysics(physics_.model(), physics_.limits(), q);
  fill_measured(state_);
}

bool ArmSimulator::motion_running() const {
  std::lock_guard lock(mutex_);
  return motion_.has_value();
}

void ArmSimulator::drop_states(int count) {
  std::lock_guard lock(mutex_);
  drop_ = std::max(count, 0);
}

void ArmSimulator::delay_next_state(int ms) {
  std::lock_guard lock(mutex_);
  delay_ms_ = std::clamp(ms, 0, 10'000);
}

void ArmSimulator::push(const Vec7& tau, const Vec6& wrench, int duration_ms) {
  std::lock_guard lock(mutex_);
  push_ = {tau, wrench};
  push_ticks_ = duration_ms < 0 ? -1 : duration_ms;
  if (duration_ms == 0) push_ = Disturbance{};
}

void ArmSimulator::trigger_reflex(std::span<const std::string_view> flags) {
  std::lock_guard lock(mutex_);
  Errors e{};
  for (auto name : flags)
    for (std::size_t i = 0; i < Errors::kCount; ++i)
      if (Errors::kNames[i] == name) e.flags[i] = true;
  if (motion_) {
    pending_reflex_ = e;
    reflex_requested_ = true;
  } else {
    state_.robot_mode = RobotMode::Reflex;
    state_.last_motion_errors = state_.current_errors = e;
  }
}

void ArmSimulator::press_user_stop() {
  std::lock_guard lock(mutex_);
  user_stop_ = true;
  if (!motion_) state_.robot_mode = RobotMode::UserStopped;
}

void ArmSimulator::release_user_stop() {
  std::lock_guard lock(mutex_);
  user_stop_ = false;
  if (state_.robot_mode == RobotMode::UserStopped) state_.robot_mode = brakes_open_ ? RobotMode::Idle : RobotMode::Other;
}

void ArmSimulator::close_connection() {
  std::lock_guard lock(mutex_);
  if (client_fd_ >= 0) ::shutdown(client_fd_, SHUT_RDWR);
  client_fd_ = -1;
}

void ArmSimulator::record_round_trips(std::size_t capacity) {
  std::lock_guard lock(mutex_);
  round_trips_.clear();
  round_trips_.reserve(capacity);
  round_trip_capacity_ = capacity;
}

std::vector<double> ArmSimulator::round_trips() const {
  std::lock_guard lock(mutex_);
  return round_trips_;
}

ArmSimulator::MotionStats ArmSimulator::last_motion_stats() const {
  std::lock_guard lock(mutex_);
  return last_stats_;
}

}  // namespace korvex::sim
