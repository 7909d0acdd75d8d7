#include "sim/gripper_simulator.hpp"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <ctime>

#include "korvex/format.hpp"
#include "korvex/network/connect.hpp"
#include "sim/listener.hpp"

namespace korvex::sim {
namespace {

using gripper::Command;
constexpr std::size_t kHeader = gripper::kHeaderSize;
constexpr std::size_t kMaxSessions = 8;
constexpr int kIdlePollMs = 20;

std::size_t index(Command c) { return static_cast<std::size_t>(c); }

Result<Command> command_named(std::string_view name) {
  if (auto c = gripper::command_from_name(name)) return *c;
  return fail(Error::invalid_argument("korvex-sim: unknown gripper command " + fmt::quoted(name) +
                                      " (expected Connect, Homing, Grasp, Move or Stop)"));
}

double f64_at(std::span<const std::uint8_t> p, std::size_t offset) {
  std::uint64_t v = 0;
  for (int i = 0; i < 8; ++i) v |= std::uint64_t{p[offset + i]} << (8 * i);
  return std::bit_cast<double>(v);
}

std::uint16_t u16_at(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] | (p[1] << 8)); }
std::uint32_t u32_at(const std::uint8_t* p) {
  std::uint32_t v = 0;
  for (int i = 0; i < 4; ++i) v |= std::uint32_t{p[i]} << (8 * i);
  return v;
}

bool valid_width(double w) { return std::isfinite(w) && w >= 0 && w <= GripperSimulator::kMaxWidth; }
bool valid_speed(double v) { return std::isfinite(v) && v > 0; }

std::vector<std::uint8_t> status_reply(gripper::Status status) {
  const auto bytes = gripper::status_payload(static_cast<std::uint16_t>(status));
  return {bytes.begin(), bytes.end()};
}

std::vector<std::uint8_t> connect_reply(std::uint16_t status) {
  return {static_cast<std::uint8_t>(status), static_cast<std::uint8_t>(status >> 8),
          static_cast<std::uint8_t>(gripper::kVersion), static_cast<std::uint8_t>(gripper::kVersion >> 8)};
}

}  // namespace

struct GripperSimulator::Session {
  std::uint64_t id = 0;
  int fd = -1;
  in_addr peer{};  // states go to this address
  std::vector<std::uint8_t> buffer;
};

//! A finger motion of up to two straight legs at constant speed, and the reply it ends with.
struct GripperSimulator::Action {
  struct Leg {
    double to = 0;     //!< [m]
    double speed = 1;  //!< [m/s]
  };
  Command command = Command::Move;
  std::uint64_t session = 0;
  std::uint32_t id = 0;
  Clock::time_point start{};
  double from = 0;
  std::array<Leg, 2> legs{};
  std::size_t leg_count = 0;
  gripper::Status outcome = gripper::Status::Success;
  bool grasped_after = false;
  bool homed_after = false;

  double duration() const {
    double w = from, t = 0;
    for (std::size_t i = 0; i < leg_count; ++i) {
      t += std::abs(legs[i].to - w) / legs[i].speed;
      w = legs[i].to;
    }
    return t;
  }
  Clock::time_point end() const {
    return start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(duration()));
  }
  double width_at(Clock::time_point now) const {
    double elapsed = std::chrono::duration<double>(now - start).count();
    double w = from;
    for (std::size_t i = 0; i < leg_count; ++i) {
      const double leg_time = std::abs(legs[i].to - w) / legs[i].speed;
      if (elapsed < leg_time) return w + std::copysign(elapsed * legs[i].speed, legs[i].to - w);
      elapsed -= leg_time;
      w = legs[i].to;
    }
    return w;
  }
};

struct GripperSimulator::Outgoing {
  std::uint64_t session = 0;
  Command command = Command::Stop;
  std::uint32_t id = 0;
  std::vector<std::uint8_t> payload;
};

GripperSimulator::GripperSimulator(GripperSimulatorOptions options) : options_(std::move(options)) {}

GripperSimulator::~GripperSimulator() { stop(); }

std::string GripperSimulator::address() const { return options_.host + ":" + std::to_string(port_); }

Status GripperSimulator::start() {
  if (running_) return {};
  auto listener = open_listener(options_.host, options_.port);
  if (!listener) return fail(listener.error());
  listen_fd_ = listener->tcp_fd;
  udp_fd_ = listener->udp_fd;
  port_ = listener->port;
  started_ = Clock::now();

  running_ = true;
  server_thread_ = std::thread([this] {
    pthread_setname_np(pthread_self(), "korvex-sim-gtcp");
    serve();
  });
  stream_thread_ = std::thread([this] {
    pthread_setname_np(pthread_self(), "korvex-sim-gudp");
    stream();
  });
  return {};
}

void GripperSimulator::stop() {
  if (!running_.exchange(false)) return;
  if (server_thread_.joinable()) server_thread_.join();
  if (stream_thread_.joinable()) stream_thread_.join();
  ::close(listen_fd_);
  ::close(udp_fd_);
  listen_fd_ = udp_fd_ = -1;
  std::lock_guard lock(mutex_);
  targets_.clear();
  if (action_) {  // the hand stops where it is
    width_ = action_->width_at(Clock::now());
    action_.reset();
  }
}

double GripperSimulator::width() const {
  std::lock_guard lock(mutex_);
  return width_at(Clock::now());
}

double GripperSimulator::reported_max_width() const {
  std::lock_guard lock(mutex_);
  return reported_max_width_;
}

bool GripperSimulator::is_grasped() const {
  std::lock_guard lock(mutex_);
  return grasped_;
}

bool GripperSimulator::busy() const {
  std::lock_guard lock(mutex_);
  return action_ != nullptr;
}

std::optional<double> GripperSimulator::object_width() const {
  std::lock_guard lock(mutex_);
  return object_;
}

Status GripperSimulator::set_object_width(std::optional<double> width) {
  if (width && !valid_width(*width))
    return fail(Error::invalid_argument("korvex-sim: object width must be within [0, " + fmt::number(kMaxWidth) +
                                        "] m, got " + fmt::number(*width)));
  std::lock_guard lock(mutex_);
  object_ = width;
  grasped_ = false;
  return {};
}

std::uint16_t GripperSimulator::temperature() const {
  std::lock_guard lock(mutex_);
  return temperature_;
}

void GripperSimulator::set_temperature(std::uint16_t celsius) {
  std::lock_guard lock(mutex_);
  temperature_ = celsius;
}

Status GripperSimulator::force_status(std::string_view command, std::optional<std::uint16_t> status) {
  auto c = command_named(command);
  if (!c) return fail(std::move(c.error()));
  std::optional<std::vector<std::uint8_t>> payload;
  if (status) {
    if (*c == Command::Connect) {
      payload = connect_reply(*status);
    } else {
      const auto bytes = gripper::status_payload(*status);
      payload.emplace(bytes.begin(), bytes.end());
    }
  }
  std::lock_guard lock(mutex_);
  forced_[index(*c)] = std::move(payload);
  return {};
}

Status GripperSimulator::force_reply(std::string_view command, std::optional<std::vector<std::uint8_t>> payload) {
  auto c = command_named(command);
  if (!c) return fail(std::move(c.error()));
  std::lock_guard lock(mutex_);
  forced_[index(*c)] = std::move(payload);
  return {};
}

void GripperSimulator::pause_states(bool paused) { paused_ = paused; }

Result<std::uint64_t> GripperSimulator::command_count(std::string_view command) const {
  auto c = command_named(command);
  if (!c) return fail(std::move(c.error()));
  std::lock_guard lock(mutex_);
  return counts_[index(*c)];
}

Result<std::optional<std::vector<std::uint8_t>>> GripperSimulator::last_request(std::string_view command) const {
  auto c = command_named(command);
  if (!c) return fail(std::move(c.error()));
  std::lock_guard lock(mutex_);
  return last_requests_[index(*c)];
}

std::uint32_t GripperSimulator::message_id_now() const {
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - started_).count();
  return static_cast<std::uint32_t>(ms);
}

double GripperSimulator::width_at(Clock::time_point now) const { return action_ ? action_->width_at(now) : width_; }

std::vector<std::uint8_t> GripperSimulator::state_bytes(std::uint32_t message_id, std::size_t size) const {
  const auto state =
      gripper::encode_state(message_id, width_at(Clock::now()), reported_max_width_, grasped_, temperature_);
  std::vector<std::uint8_t> out(size, 0);
  std::copy_n(state.begin(), std::min(size, state.size()), out.begin());
  return out;
}

void GripperSimulator::send_to_clients(std::span<const std::uint8_t> bytes) {
  std::vector<sockaddr_in> targets;
  {
    std::lock_guard lock(mutex_);
    for (const auto& t : targets_) targets.push_back(t.second);
  }
  for (const sockaddr_in& t : targets)
    ::sendto(udp_fd_, bytes.data(), bytes.size(), 0, reinterpret_cast<const sockaddr*>(&t), sizeof t);
}

Status GripperSimulator::send_state(std::optional<std::uint32_t> message_id, std::size_t size) {
  if (size > kMaxDatagram)
    return fail(Error::invalid_argument("korvex-sim: a state datagram holds at most " + fmt::number(kMaxDatagram) +
                                        " bytes, got " + fmt::number(static_cast<double>(size))));
  if (!running_) return fail(Error::invalid_operation("korvex-sim: the gripper simulator is not running"));
  std::vector<std::uint8_t> bytes;
  {
    std::lock_guard lock(mutex_);
    if (targets_.empty()) return fail(Error::invalid_operation("korvex-sim: no gripper client is connected"));
    bytes = state_bytes(message_id.value_or(message_id_now()), size);
  }
  send_to_clients(bytes);
  return {};
}

void GripperSimulator::start_action(Action action, std::vector<Outgoing>& out) {
  abort_action(action.start, out);
  action.from = width_;
  grasped_ = false;
  action_ = std::make_unique<Action>(action);
}

void GripperSimulator::abort_action(Clock::time_point now, std::vector<Outgoing>& out) {
  if (!action_) return;
  width_ = action_->width_at(now);
  out.push_back({action_->session, action_->command, action_->id, status_reply(gripper::Status::Aborted)});
  action_.reset();
}

void GripperSimulator::complete_due(Clock::time_point now, std::vector<Outgoing>& out) {
  if (!action_ || now < action_->end()) return;
  width_ = action_->legs[action_->leg_count - 1].to;
  grasped_ = action_->grasped_after;
  if (action_->homed_after) reported_max_width_ = kMaxWidth;
  out.push_back({action_->session, action_->command, action_->id, status_reply(action_->outcome)});
  action_.reset();
}

void GripperSimulator::handle(std::uint64_t session, in_addr peer, std::uint16_t wire, std::uint32_t id,
                              std::span<const std::uint8_t> payload, std::vector<Outgoing>& out) {
  const auto command = static_cast<Command>(wire);
  const auto now = Clock::now();
  std::lock_guard lock(mutex_);
  ++counts_[index(command)];
  last_requests_[index(command)].emplace(payload.begin(), payload.end());
  const auto reply = [&](std::vector<std::uint8_t> bytes) { out.push_back({session, command, id, std::move(bytes)}); };
  const auto& forced = forced_[index(command)];

  if (command == Command::Connect) {
    std::vector<std::uint8_t> answer;
    if (forced) {
      answer = *forced;
    } else if (payload.size() != 4) {
      answer = connect_reply(2);
    } else {
      answer = connect_reply(u16_at(payload.data()) == gripper::kVersion ? 0 : 1);
    }
    if (answer.size() >= 2 && u16_at(answer.data()) == 0 && payload.size() == 4) {
      std::erase_if(targets_, [&](const auto& t) { return t.first == session; });
      sockaddr_in target = {};
      target.sin_family = AF_INET;
      target.sin_port = htons(u16_at(payload.data() + 2));
      target.sin_addr = peer;
      targets_.emplace_back(session, target);
    }
    reply(std::move(answer));
    return;
  }
  if (forced) {  // fault injection: answer without acting
    reply(*forced);
    return;
  }

  Action action;
  action.command = command;
  action.session = session;
  action.id = id;
  action.start = now;
  const double current = width_at(now);
  switch (command) {
    case Command::Homing: {
      if (!payload.empty()) return reply(status_reply(gripper::Status::Fail));
      // Closes to the end stop and opens fully; the object plays no part.
      action.legs = {{{0.0, kHomingSpeed}, {kMaxWidth, kHomingSpeed}}};
      action.leg_count = 2;
      action.homed_after = true;
      break;
    }
    case Command::Move: {
      if (payload.size() != 16) return reply(status_reply(gripper::Status::Fail));
      const double width = f64_at(payload, 0), speed = f64_at(payload, 8);
      if (!valid_width(width) || !valid_speed(speed)) return reply(status_reply(gripper::Status::Fail));
      // Closing onto the object stops at it.
      const bool blocked = object_ && *object_ <= current && width < *object_;
      action.legs[0] = {blocked ? *object_ : width, speed};
      action.leg_count = 1;
      action.outcome = blocked ? gripper::Status::Unsuccessful : gripper::Status::Success;
      break;
    }
    case Command::Grasp: {
      if (payload.size() != 40) return reply(status_reply(gripper::Status::Fail));
      const double width = f64_at(payload, 0), inner = f64_at(payload, 8), outer = f64_at(payload, 16);
      const double speed = f64_at(payload, 24), force = f64_at(payload, 32);
      if (!valid_width(width) || !std::isfinite(inner) || inner < 0 || !std::isfinite(outer) || outer < 0 ||
          !valid_speed(speed) || !std::isfinite(force) || force < 0)
        return reply(status_reply(gripper::Status::Fail));
      // The fingers close until they touch the object between them, or each other.
      const double contact = object_ && *object_ <= current ? *object_ : 0.0;
      const bool holds = contact >= width - inner && contact <= width + outer;
      action.legs[0] = {contact, speed};
      action.leg_count = 1;
      action.outcome = holds ? gripper::Status::Success : gripper::Status::Unsuccessful;
      action.grasped_after = holds;
      break;
    }
    case Command::Stop: {
      abort_action(now, out);
      grasped_ = false;
      return reply(status_reply(gripper::Status::Success));
    }
    default: return reply(status_reply(gripper::Status::Fail));
  }
  start_action(action, out);
  complete_due(now, out);  // a motion of zero length ends at once
}

void GripperSimulator::serve() {
  std::vector<Session> sessions;
  std::uint64_t next_session = 1;
  const auto drop = [&](std::size_t i) {
    ::close(sessions[i].fd);
    const std::uint64_t id = sessions[i].id;
    sessions.erase(sessions.begin() + static_cast<std::ptrdiff_t>(i));
    std::lock_guard lock(mutex_);
    std::erase_if(targets_, [&](const auto& t) { return t.first == id; });
  };
  const auto send_all = [&](std::vector<Outgoing>& out) {
    for (Outgoing& o : out) {
      auto it = std::find_if(sessions.begin(), sessions.end(), [&](const Session& s) { return s.id == o.session; });
      if (it == sessions.end()) continue;  // the client left meanwhile
      std::vector<std::uint8_t> bytes(kHeader);
      const auto size = static_cast<std::uint32_t>(kHeader + o.payload.size());
      const auto cmd = static_cast<std::uint16_t>(o.command);
      std::memcpy(bytes.data(), &cmd, 2);
      std::memcpy(bytes.data() + 2, &o.id, 4);
      std::memcpy(bytes.data() + 6, &size, 4);
      bytes.insert(bytes.end(), o.payload.begin(), o.payload.end());
      std::size_t sent = 0;
      while (sent < bytes.size()) {
        const ssize_t n = ::send(it->fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        sent += static_cast<std::size_t>(n);
      }
    }
    out.clear();
  };

  std::vector<Outgoing> out;
  std::vector<pollfd> fds;
  std::uint8_t chunk[65536];
  while (running_) {
    int timeout = kIdlePollMs;
    {
      std::lock_guard lock(mutex_);
      if (action_) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(action_->end() - Clock::now()).count();
        timeout = static_cast<int>(std::clamp<long long>(left, 0, kIdlePollMs));
      }
    }
    fds.assign(1, pollfd{listen_fd_, POLLIN, 0});
    for (const Session& s : sessions) fds.push_back(pollfd{s.fd, POLLIN, 0});
    const int n = ::poll(fds.data(), fds.size(), timeout);
    if (n > 0 && (fds[0].revents & POLLIN)) {
      sockaddr_in peer{};
      socklen_t peer_len = sizeof peer;
      const int fd = ::accept4(listen_fd_, reinterpret_cast<sockaddr*>(&peer), &peer_len, SOCK_CLOEXEC);
      if (fd >= 0 && sessions.size() >= kMaxSessions) {
        ::close(fd);
      } else if (fd >= 0) {
        const int one = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        sessions.push_back(Session{next_session++, fd, peer.sin_addr, {}});
      }
    }
    // Sessions polled in this round sit at fds[1..]; new ones wait for the next round.
    for (std::size_t i = fds.size() - 1; n > 0 && i >= 1; --i) {
      if (!(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
      const std::size_t k = i - 1;
      const ssize_t got = ::recv(sessions[k].fd, chunk, sizeof chunk, MSG_DONTWAIT);
      if (got < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) continue;
      if (got <= 0) {
        drop(k);
        continue;
      }
      Session& s = sessions[k];
      s.buffer.insert(s.buffer.end(), chunk, chunk + got);
      bool bad = false;
      while (s.buffer.size() >= kHeader) {
        const std::uint16_t command = u16_at(s.buffer.data());
        const std::uint32_t id = u32_at(s.buffer.data() + 2);
        const std::uint32_t size = u32_at(s.buffer.data() + 6);
        // A malformed frame or an unknown command: the server hangs up.
        if (size < kHeader || size > net::kMaxMessageSize || command > index(Command::Stop)) {
          bad = true;
          break;
        }
        if (s.buffer.size() < size) break;
        const std::vector<std::uint8_t> message(s.buffer.begin(), s.buffer.begin() + size);
        s.buffer.erase(s.buffer.begin(), s.buffer.begin() + size);
        handle(s.id, s.peer, command, id, std::span(message).subspan(kHeader), out);
      }
      send_all(out);
      if (bad) drop(k);
    }
    {
      std::lock_guard lock(mutex_);
      complete_due(Clock::now(), out);
    }
    send_all(out);
  }
  for (const Session& s : sessions) ::close(s.fd);
}

void GripperSimulator::stream() {
  timespec next{};
  ::clock_gettime(CLOCK_MONOTONIC, &next);
  while (running_) {
    next.tv_nsec += 1'000'000;
    if (next.tv_nsec >= 1'000'000'000) {
      next.tv_nsec -= 1'000'000'000;
      ++next.tv_sec;
    }
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    const double behind =
        static_cast<double>(now.tv_sec - next.tv_sec) + 1e-9 * static_cast<double>(now.tv_nsec - next.tv_nsec);
    if (behind > 0.05) next = now;  // after a stall, restart the clock instead of bursting
    ::clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &next, nullptr);
    if (paused_) continue;
    std::vector<std::uint8_t> bytes;
    {
      std::lock_guard lock(mutex_);
      if (targets_.empty()) continue;
      bytes = state_bytes(message_id_now(), gripper::kStateSize);
    }
    send_to_clients(bytes);
  }
}

}  // namespace korvex::sim
