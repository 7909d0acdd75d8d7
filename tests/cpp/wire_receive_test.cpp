#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <new>
#include <thread>

#include "korvex/network/connect.hpp"
#include "korvex/wire/robot/receive.hpp"
#include "support/loopback_peer.hpp"
#include "support/allocations.hpp"

namespace korvex {
namespace {

using namespace std::chrono_literals;
using net::Bytes;

struct Offsets {
  std::size_t size, q, mg, ctrl, mode;
};
Offsets offsets(std::uint16_t version) {
  return version == 5 ? Offsets{2373, 1184, 2280, 2281, 2364} : Offsets{1377, 596, 1288, 1289, 1372};
}

// A state whose q[0] is `marker`, so that the decoded record shows which datagram it came from.
Bytes state(std::uint16_t version, std::uint64_t id, double marker, std::uint8_t mg = 1, std::uint8_t ctrl = 0,
            std::uint8_t mode = 2) {
  const Offsets o = offsets(version);
  Bytes d(o.size, 0);
  std::memcpy(d.data(), &id, 8);
  if (version == 5) {
    std::memcpy(d.data() + o.q, &marker, 8);
  } else {
    const float f = static_cast<float>(marker);
    std::memcpy(d.data() + o.q, &f, 4);
  }
  d[o.mg] = mg;
  d[o.ctrl] = ctrl;
  d[o.mode] = mode;
  return d;
}

// The library's two channels connected to a scripted arm on loopback.
struct Link {
  explicit Link(std::uint16_t v, std::chrono::milliseconds udp_timeout = 1000ms) : version(v) {
    auto c = net::connect(arm.address(), 1337, net::HeaderVariant::Long, 1000ms, udp_timeout);
    if (!c) throw std::runtime_error(c.error().message());
    channels = std::move(*c);
    arm.accept();
  }
  void send(const Bytes& d) { states.send_to(channels.udp_port, d); }
  Result<RobotState> receive() { return receive_newest_state(*channels.udp, *channels.tcp, book, version); }
  void accept_up_to(std::uint64_t id) {
    std::lock_guard lock(book.mutex);
    book.last_message_id = id;
  }
  std::uint64_t last_id() {
    std::lock_guard lock(book.mutex);
    return book.last_message_id;
  }

  std::uint16_t version;
  testing::LoopbackPeer arm;
  testing::UdpPeer states;
  net::Channels channels;
  StateBookkeeping book;
};

class Receive : public ::testing::TestWithParam<std::uint16_t> {};
INSTANTIATE_TEST_SUITE_P(Versions, Receive, ::testing::Values(5, 10));

TEST_P(Receive, NewestWaitingStateWinsAndOlderOnesAreDropped) {
  Link link(GetParam());
  link.accept_up_to(5);
  link.send(state(GetParam(), 7, 7.5));
  link.send(state(GetParam(), 9, 9.5));
  link.send(state(GetParam(), 3, 3.5));
  auto s = link.receive();
  ASSERT_TRUE(s) << s.error().message();
  EXPECT_EQ(s->time, 9u);
  EXPECT_EQ(s->q[0], 9.5);
  EXPECT_EQ(link.last_id(), 9u);

  // 7 is gone for good: the next state is the next newer one.
  link.send(state(GetParam(), 8, 8.5));
  link.send(state(GetParam(), 10, 10.5));
  s = link.receive();
  ASSERT_TRUE(s) << s.error().message();
  EXPECT_EQ(s->time, 10u);
  EXPECT_EQ(s->q[0], 10.5);
}

TEST_P(Receive, BlockingReceiveSkipsOldStates) {
  Link link(GetParam());
  link.accept_up_to(20);
  std::thread sender([&] {
    link.send(state(GetParam(), 20, 20.5));
    std::this_thread::sleep_for(50ms);
    link.send(state(GetParam(), 4, 4.5));
    link.send(state(GetParam(), 21, 21.5));
  });
  const auto s = link.receive();
  sender.join();
  ASSERT_TRUE(s) << s.error().message();
  EXPECT_EQ(s->time, 21u);
  EXPECT_EQ(s->q[0], 21.5);
}

TEST_P(Receive, NoNewerStateTimesOutAndShutsTheCommandChannel) {
  Link link(GetParam(), 200ms);
  link.accept_up_to(9);
  link.send(state(GetParam(), 9, 9.5));
  link.send(state(GetParam(), 2, 2.5));
  ASSERT_TRUE(link.channels.tcp->check_open());
  const auto s = link.receive();
  ASSERT_FALSE(s);
  EXPECT_EQ(s.error().kind(), ErrorKind::Network);
  EXPECT_EQ(s.error().message(), "libkorvex: UDP receive: Timeout");
  EXPECT_EQ(link.last_id(), 9u);
  const auto open = link.channels.tcp->check_open();
  ASSERT_FALSE(open);
  EXPECT_EQ(open.error().kind(), ErrorKind::Network);
}

TEST_P(Receive, OnlyOldStatesTimeOutToo) {
  Link link(GetParam());
  link.accept_up_to(50);
  std::atomic<bool> done{false};
  std::thread sender([&] {
    for (int i = 0; i < 300 && !done; ++i) {  // bounded: at most 3 s of stale states
      link.send(state(GetParam(), 10, 1.0));
      std::this_thread::sleep_for(10ms);
    }
  });
  const auto s = link.receive();
  done = true;
  sender.join();
  ASSERT_FALSE(s);
  EXPECT_EQ(s.error().message(), "libkorvex: UDP receive: Timeout");
  EXPECT_FALSE(link.channels.tcp->check_open());
}

TEST_P(Receive, WrongSizesAreProtocolErrorsThatKeepTheCommandChannel) {
  const std::uint16_t version = GetParam();
  const std::size_t size = offsets(version).size;
  // One byte short, one byte long (never truncated into a valid state), the other version's size.
  for (std::size_t bad : {size - 1, size + 1, version == 5 ? std::size_t{1377} : std::size_t{2373}}) {
    SCOPED_TRACE(bad);
    Link link(version);
    Bytes d = state(version, 12, 1.0);
    d.resize(bad, 0);
    link.send(d);
    const auto s = link.receive();
    ASSERT_FALSE(s);
    EXPECT_EQ(s.error().kind(), ErrorKind::Protocol);
    EXPECT_EQ(s.error().message(), "libkorvex: incorrect object size");
    EXPECT_EQ(link.last_id(), 0u);
    EXPECT_TRUE(link.channels.tcp->check_open());
  }
}

TEST_P(Receive, ModesAreClampedIntoTheBookkeeping) {
  const struct {
    std::uint8_t mg, ctrl, mode;
    std::uint8_t want_mg, want_ctrl;
    RobotMode want_mode;
  } cases[] = {
      {7, 4, 9, 0, 3, RobotMode::Other},
      {6, 3, 7, 0, 3, RobotMode::Other},
      {5, 2, 6, 5, 2, RobotMode::AutomaticErrorRecovery},
      {4, 1, 2, 4, 1, RobotMode::Move},
  };
  Link link(GetParam());
  std::uint64_t id = 100;
  for (const auto& c : cases) {
    link.send(state(GetParam(), ++id, 1.0, c.mg, c.ctrl, c.mode));
    const auto s = link.receive();
    ASSERT_TRUE(s) << s.error().message();
    EXPECT_EQ(s->robot_mode, c.want_mode);
    std::lock_guard lock(link.book.mutex);
    EXPECT_EQ(link.book.last_message_id, id);
    EXPECT_EQ(link.book.motion_generator_mode, c.want_mg);
    EXPECT_EQ(link.book.controller_mode, c.want_ctrl);
    EXPECT_EQ(link.book.robot_mode, c.want_mode);
  }
}

TEST_P(Receive, AllocatesNothing) {
  Link link(GetParam());
  for (std::uint64_t id = 1; id <= 3; ++id) link.send(state(GetParam(), id, 1.0));
  const long before = korvex::testing::allocations();
  const auto s = link.receive();
  const long after = korvex::testing::allocations();
  ASSERT_TRUE(s) << s.error().message();
  EXPECT_EQ(s->time, 3u);
  EXPECT_EQ(after - before, 0);
}

}  // namespace
}  // namespace korvex
