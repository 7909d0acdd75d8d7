#include "korvex/wire/robot/receive.hpp"

#include <chrono>

#include <array>
#include <utility>

namespace korvex {

constexpr auto kStaleStateTimeout = std::chrono::seconds(1);
namespace {

// One byte more than the largest state, so that an oversized datagram shows as one, not as a
// silently truncated state of the right size.
using StateBuffer = std::array<std::uint8_t, kMaxStateSize + 1>;

Error size_error() { return Error::protocol("libkorvex: incorrect object size"); }

}  // namespace

void StateBookkeeping::record(std::uint64_t message_id, const StateModes& modes) {
  std::lock_guard lock(mutex);
  last_message_id = message_id;
  robot_mode = modes.robot_mode < 7 ? static_cast<RobotMode>(modes.robot_mode) : RobotMode::Other;
  motion_generator_mode = modes.motion_generator_mode < 6 ? modes.motion_generator_mode : 0;
  controller_mode = modes.controller_mode < 3 ? modes.controller_mode : 3;
}

RobotMode StateBookkeeping::last_robot_mode() {
  std::lock_guard lock(mutex);
  return robot_mode;
}

Result<RobotState> receive_newest_state(net::UdpChannel& udp, net::TcpChannel& tcp, StateBookkeeping& bookkeeping,
                                        std::uint16_t version) {
  std::uint64_t last;
  {
    std::lock_guard lock(bookkeeping.mutex);
    last = bookkeeping.last_message_id;
  }
  const std::size_t size = state_size(version);
  const auto network_failure = [&tcp](Error e) {
    if (e.kind() == ErrorKind::Network) tcp.shutdown();
    return fail(std::move(e));
  };

  // Two buffers: `kept` holds the newest datagram so far, `incoming` the one being received.
  StateBuffer a, b;
  StateBuffer* kept = &a;
  StateBuffer* incoming = &b;
  bool found = false;
  std::uint64_t newest = last;

  for (;;) {
    auto n = udp.try_receive(*incoming);
    if (!n) return network_failure(std::move(n.error()));
    if (!*n) break;
    if (**n != size) return fail(size_error());
    const std::uint64_t id = state_message_id(*incoming);
    if (id > newest) {
      newest = id;
      found = true;
      std::swap(kept, incoming);
    }
  }
  // An arm that only repeats old states (after a restart of its counter, say) is as silent as one that
  // sends nothing: give up after the same second.
  const auto deadline = std::chrono::steady_clock::now() + kStaleStateTimeout;
  while (!found) {
    auto n = udp.receive(*kept);
    if (!n) return network_failure(std::move(n.error()));
    if (*n != size) return fail(size_error());
    newest = state_message_id(*kept);
    found = newest > last;
    if (!found && std::chrono::steady_clock::now() >= deadline)
      return network_failure(Error::network("libkorvex: UDP receive: Timeout"));
  }

  const std::span<const std::uint8_t> datagram(kept->data(), size);
  bookkeeping.record(newest, state_modes(datagram, version));
  return decode_state(datagram, version);
}

}  // namespace korvex
