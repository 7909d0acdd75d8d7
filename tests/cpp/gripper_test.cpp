#include <gtest/gtest.h>

#include <bit>
#include <chrono>
#include <cstring>
#include <future>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "korvex/gripper/gripper.hpp"
#include "korvex/gripper/host.hpp"
#include "korvex/wire/gripper/protocol.hpp"
#include "sim/gripper_simulator.hpp"
#include "support/loopback_peer.hpp"

namespace korvex {
namespace {

using namespace std::chrono_literals;
using net::Bytes;
using net::HeaderVariant;
using testing::LoopbackPeer;
using testing::PeerMessage;
using testing::UdpPeer;

Bytes le_f64s(std::initializer_list<double> xs) {
  Bytes out;
  for (double x : xs) {
    const auto v = std::bit_cast<std::uint64_t>(x);
    for (int i = 0; i < 8; ++i) out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
  }
  return out;
}

//! "true", "false" or the error's message.
std::string outcome(const Result<bool>& r) { return r ? (*r ? "true" : "false") : r.error().message(); }

template <class T>
T ready(std::future<T>& f) {
  if (f.wait_for(3s) != std::future_status::ready) throw std::runtime_error("the client call did not return");
  return f.get();
}

//! A client connected to a scripted peer that answered Connect with version 3.
struct Scripted {
  LoopbackPeer peer{HeaderVariant::Short};
  std::optional<Gripper> gripper;
  PeerMessage connect;

  Scripted() {
    auto client = std::async(std::launch::async, [this] { return Gripper::connect(peer.address()); });
    connect = peer.read_message();
    peer.reply(0, connect.id, Bytes{0, 0, 3, 0});
    auto result = ready(client);
    if (!result) throw std::runtime_error("connect failed: " + result.error().message());
    gripper.emplace(std::move(*result));
  }

  //! Runs `call` in a thread, returns the request the peer saw and answers it with `reply_payload`.
  template <class F>
  std::pair<PeerMessage, Result<bool>> exchange(F call, const Bytes& reply_payload) {
    auto client = std::async(std::launch::async, [&] { return call(*gripper); });
    PeerMessage request = peer.read_message();
    peer.reply(request.command, request.id, reply_payload);
    return {request, ready(client)};
  }
};

// ---------------------------------------------------------------- wire formats

TEST(GripperWire, RequestPayloadsAreLittleEndianDoublesInWireOrder) {
  const auto grasp = gripper::grasp_request(0.02, 0.004, 0.006, 0.1, 40);
  EXPECT_EQ(Bytes(grasp.begin(), grasp.end()), le_f64s({0.02, 0.004, 0.006, 0.1, 40}));
  const auto move = gripper::move_request(0.05, 0.2);
  EXPECT_EQ(Bytes(move.begin(), move.end()), le_f64s({0.05, 0.2}));
}

TEST(GripperWire, ReplyStatusTable) {
  struct Row {
    std::uint16_t status;
    std::optional<bool> result;
    ErrorKind kind;
    const char* message;
  };
  const Row rows[] = {
      {0, true, {}, ""},
      {1, std::nullopt, ErrorKind::Command, "libkorvex gripper: Command failed!"},
      {2, false, {}, ""},
      {3, std::nullopt, ErrorKind::Command, "libkorvex gripper: Command aborted!"},
      {4, std::nullopt, ErrorKind::Protocol, "libkorvex gripper: Unexpected response while handling command!"},
      {7, std::nullopt, ErrorKind::Protocol, "libkorvex gripper: Unexpected response while handling command!"},
      {0x100, std::nullopt, ErrorKind::Protocol, "libkorvex gripper: Unexpected response while handling command!"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.status);
    Bytes message = testing::frame(HeaderVariant::Short, 2, 0, gripper::status_payload(row.status));
    message.push_back(0xEE);  // trailing bytes are ignored
    const auto result = gripper::parse_command_reply(message);
    if (row.result) {
      ASSERT_TRUE(result.has_value()) << result.error().message();
      EXPECT_EQ(*result, *row.result);
    } else {
      ASSERT_FALSE(result.has_value());
      EXPECT_EQ(result.error().kind(), row.kind);
      EXPECT_EQ(result.error().message(), row.message);
    }
  }
}

TEST(GripperWire, ReplyWithoutTwoStatusBytesIsASizeError) {
  for (std::size_t payload : {0u, 1u}) {
    const Bytes message = testing::frame(HeaderVariant::Short, 1, 0, Bytes(payload, 0));
    const auto result = gripper::parse_command_reply(message);
    ASSERT_FALSE(result.has_value());
    EXPECT_EQ(result.error().kind(), ErrorKind::Protocol);
    EXPECT_EQ(result.error().message(), "libkorvex: Incorrect TCP message size.");
  }
}

TEST(GripperWire, StateDatagramLayout) {
  Bytes d = {0xDC, 0x05, 0, 0};  // message id 1500
  const Bytes widths = le_f64s({0.0425, 0.0812});
  d.insert(d.end(), widths.begin(), widths.end());
  d.push_back(0x02);  // any non-zero byte means grasped
  d.push_back(0x2A);  // 298 degrees
  d.push_back(0x01);
  ASSERT_EQ(d.size(), 23u);
  const auto s = gripper::decode_state(d);
  ASSERT_TRUE(s.has_value());
  EXPECT_EQ(s->time, 1.5);
  EXPECT_EQ(s->width, 0.0425);
  EXPECT_EQ(s->max_width, 0.0812);
  EXPECT_TRUE(s->is_grasped);
  EXPECT_EQ(s->temperature, 298);

  const auto encoded = gripper::encode_state(1500, 0.0425, 0.0812, true, 298);
  d[20] = 1;
  EXPECT_EQ(Bytes(encoded.begin(), encoded.end()), d);
}

TEST(GripperWire, StateOfAnyOtherSizeIsRejected) {
  for (std::size_t size : {0u, 22u, 24u, 1377u}) {
    const auto s = gripper::decode_state(Bytes(size, 0));
    ASSERT_FALSE(s.has_value());
    EXPECT_EQ(s.error().kind(), ErrorKind::Protocol);
    EXPECT_EQ(s.error().message(), "libkorvex: incorrect object size");
  }
}

TEST(GripperWire, CommandNames) {
  for (auto c : {gripper::Command::Connect, gripper::Command::Homing, gripper::Command::Grasp, gripper::Command::Move,
                 gripper::Command::Stop})
    EXPECT_EQ(gripper::command_from_name(gripper::command_name(c)), c);
  EXPECT_FALSE(gripper::command_from_name("stop").has_value());
}

// ---------------------------------------------------------------- client against a scripted peer

TEST(GripperClient, ConnectSendsVersion3AndTheUdpPortWithId0) {
  Scripted s;
  EXPECT_EQ(s.connect.command, 0u);
  EXPECT_EQ(s.connect.id, 0u);
  ASSERT_EQ(s.connect.payload.size(), 4u);
  EXPECT_EQ(s.connect.payload[0] | (s.connect.payload[1] << 8), 3);
  EXPECT_NE(s.connect.payload[2] | (s.connect.payload[3] << 8), 0);
  EXPECT_EQ(s.gripper->server_version(), 3);
}

TEST(GripperClient, ConnectReplies) {
  struct Row {
    Bytes payload;
    ErrorKind kind;
    const char* message;
  };
  const Row rows[] = {
      {{1, 0, 2, 0}, ErrorKind::IncompatibleVersion,
       "libkorvex: Incompatible library version (server version: 2, library version: 3)."},
      {{2, 0, 3, 0}, ErrorKind::Protocol, "libkorvex: Protocol error during connection attempt"},
      {{0, 0, 3}, ErrorKind::Protocol, "libkorvex: Incorrect TCP message size."},
  };
  for (const Row& row : rows) {
    LoopbackPeer peer(HeaderVariant::Short);
    auto client = std::async(std::launch::async, [&] { return Gripper::connect(peer.address()); });
    const PeerMessage m = peer.read_message();
    peer.reply(0, m.id, row.payload);
    const auto result = ready(client);
    ASSERT_FALSE(result.has_value());
    EXPECT_EQ(result.error().kind(), row.kind);
    EXPECT_EQ(result.error().message(), row.message);
    if (row.kind == ErrorKind::IncompatibleVersion) {
      EXPECT_EQ(result.error().server_version(), 2);
      EXPECT_EQ(result.error().library_version(), 3);
    }
  }
}

TEST(GripperClient, CommandsSendTheirCodeAndPayload) {
  Scripted s;
  struct Row {
    const char* name;
    std::function<Result<bool>(Gripper&)> call;
    std::uint32_t command;
    Bytes payload;
  };
  const Row rows[] = {
      {"homing", [](Gripper& g) { return g.homing(); }, 1, {}},
      {"grasp", [](Gripper& g) { return g.grasp(0.02, 0.1, 40); }, 2, le_f64s({0.02, 0.005, 0.005, 0.1, 40})},
      {"grasp epsilons", [](Gripper& g) { return g.grasp(0.03, 0.2, 60, 0.001, 0.002); }, 2,
       le_f64s({0.03, 0.001, 0.002, 0.2, 60})},
      {"move", [](Gripper& g) { return g.move(0.07, 0.3); }, 3, le_f64s({0.07, 0.3})},
      {"stop", [](Gripper& g) { return g.stop(); }, 4, {}},
  };
  std::uint32_t expected_id = 1;
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    auto [request, result] = s.exchange(row.call, Bytes{0, 0});
    EXPECT_EQ(request.command, row.command);
    EXPECT_EQ(request.id, expected_id++);
    EXPECT_EQ(request.payload, row.payload);
    ASSERT_TRUE(result.has_value());
    EXPECT_TRUE(*result);
  }
}

TEST(GripperClient, GraspStatusesAndHeaderOnlyReply) {
  Scripted s;
  const auto grasp = [](Gripper& g) { return g.grasp(0.02, 0.1, 40); };
  auto unsuccessful = s.exchange(grasp, Bytes{2, 0}).second;
  ASSERT_TRUE(unsuccessful.has_value());
  EXPECT_FALSE(*unsuccessful);
  EXPECT_EQ(s.exchange(grasp, Bytes{1, 0}).second.error().message(), "libkorvex gripper: Command failed!");
  EXPECT_EQ(s.exchange(grasp, Bytes{3, 0}).second.error().message(), "libkorvex gripper: Command aborted!");
  EXPECT_EQ(s.exchange(grasp, Bytes{7, 0}).second.error().message(),
            "libkorvex gripper: Unexpected response while handling command!");
  EXPECT_EQ(s.exchange(grasp, Bytes{}).second.error().message(), "libkorvex: Incorrect TCP message size.");
}

TEST(GripperClient, StopWhileAGraspWaitsGetsItsOwnReply) {
  Scripted s;
  auto grasp = std::async(std::launch::async, [&] { return s.gripper->grasp(0.02, 0.1, 40); });
  const PeerMessage g = s.peer.read_message();
  auto stop = std::async(std::launch::async, [&] { return s.gripper->stop(); });
  const PeerMessage st = s.peer.read_message();
  ASSERT_EQ(g.command, 2u);
  ASSERT_EQ(st.command, 4u);
  // The stop's reply comes first, then the grasp's.
  s.peer.reply(st.command, st.id, Bytes{0, 0});
  EXPECT_EQ(outcome(ready(stop)), "true");
  EXPECT_EQ(grasp.wait_for(50ms), std::future_status::timeout);
  s.peer.reply(g.command, g.id, Bytes{3, 0});
  EXPECT_EQ(ready(grasp).error().message(), "libkorvex gripper: Command aborted!");
}

TEST(GripperClient, ReadOnceDiscardsWaitingStatesAndChecksTheSize) {
  Scripted s;
  UdpPeer udp;
  const std::uint16_t port = static_cast<std::uint16_t>(s.connect.payload[2] | (s.connect.payload[3] << 8));
  // Runs read_once while a fresh datagram is offered every 20 ms; waiting ones were queued before.
  const auto read = [&](const Bytes& fresh) {
    auto client = std::async(std::launch::async, [&] { return s.gripper->read_once(); });
    for (int i = 0; i < 100 && client.wait_for(20ms) != std::future_status::ready; ++i) udp.send_to(port, fresh);
    return ready(client);
  };
  const auto stale = gripper::encode_state(7, 0.01, 0.08, false, 30);
  udp.send_to(port, stale);
  udp.send_to(port, stale);
  const auto fresh = gripper::encode_state(1500, 0.04, 0.08, true, 33);
  const auto state = read(Bytes(fresh.begin(), fresh.end()));
  ASSERT_TRUE(state.has_value()) << state.error().message();
  EXPECT_EQ(state->time, 1.5);
  EXPECT_EQ(state->width, 0.04);
  EXPECT_TRUE(state->is_grasped);
  EXPECT_EQ(state->temperature, 33);

  for (std::size_t size : {22u, 24u}) {
    Bytes wrong(fresh.begin(), fresh.end());
    wrong.resize(size);
    const auto result = read(wrong);
    ASSERT_FALSE(result.has_value());
    EXPECT_EQ(result.error().message(), "libkorvex: incorrect object size");
  }
}

TEST(GripperClient, ReadOnceTimesOutAfterAboutOneSecond) {
  Scripted s;
  const auto start = std::chrono::steady_clock::now();
  const auto result = s.gripper->read_once();
  const auto waited = std::chrono::steady_clock::now() - start;
  ASSERT_FALSE(result.has_value());
  EXPECT_EQ(result.error().kind(), ErrorKind::Network);
  EXPECT_EQ(result.error().message(), "libkorvex: UDP receive: Timeout");
  EXPECT_GE(waited, 900ms);
  EXPECT_LT(waited, 2500ms);
}

TEST(GripperClient, ClosedConnectionEndsAWaitingCommand) {
  Scripted s;
  auto homing = std::async(std::launch::async, [&] { return s.gripper->homing(); });
  s.peer.read_message();
  s.peer.close();
  const auto result = ready(homing);
  ASSERT_FALSE(result.has_value());
  EXPECT_EQ(result.error().message(), "libkorvex: server closed connection");
}

// ---------------------------------------------------------------- host of a robot's gripper

TEST(GripperHost, FromRobotAddress) {
  const std::pair<const char*, const char*> rows[] = {
      {"127.0.0.21:1234", "127.0.0.21"},
      {"127.0.0.21", "127.0.0.21"},
      {"127.0.0.21:0", "127.0.0.21"},
      {"127.0.0.21:65535", "127.0.0.21"},
      {"127.0.0.21:65536", "127.0.0.21:65536"},
      {"127.0.0.21:+80", "127.0.0.21"},
      {"127.0.0.21:000001337", "127.0.0.21"},
      {"127.0.0.21:99999999999999999999", "127.0.0.21:99999999999999999999"},
      {"127.0.0.21:", "127.0.0.21:"},
      {"127.0.0.21:+", "127.0.0.21:+"},
      {"127.0.0.21:-1", "127.0.0.21:-1"},
      {"127.0.0.21:12a", "127.0.0.21:12a"},
      {"robot.local:1337", "robot.local"},
      {"a:b:1337", "a:b:1337"},
      {"[::1]:1337", "::1"},
      {"::1", "::1"},
      {"fe80::1:2", "fe80::1:2"},
      {"", ""},
  };
  for (const auto& [address, host] : rows) EXPECT_EQ(gripper_host_from_robot_address(address), host) << address;
}

// ---------------------------------------------------------------- the simulator

TEST(GripperSimulator, GraspsMovesAndStopsAgainstTheSimulatedObject) {
  sim::GripperSimulator simulator({"127.0.0.1", 0});
  ASSERT_TRUE(simulator.start().has_value());
  auto g = Gripper::connect(simulator.address());
  ASSERT_TRUE(g.has_value()) << g.error().message();
  EXPECT_EQ(outcome(g->move(0.05, 1.0)), "true");
  EXPECT_NEAR(simulator.width(), 0.05, 1e-12);
  ASSERT_TRUE(simulator.set_object_width(0.03).has_value());
  EXPECT_EQ(outcome(g->grasp(0.03, 1.0, 40)), "true");
  EXPECT_TRUE(simulator.is_grasped());
  EXPECT_EQ(outcome(g->move(0.01, 1.0)), "false");  // blocked by the object
  EXPECT_NEAR(simulator.width(), 0.03, 1e-12);
  EXPECT_EQ(g->move(0.09, 1.0).error().message(), "libkorvex gripper: Command failed!");

  auto slow = std::async(std::launch::async, [&] { return g->move(0.08, 0.001); });
  for (int i = 0; i < 200 && !simulator.busy(); ++i) std::this_thread::sleep_for(5ms);
  EXPECT_EQ(outcome(g->stop()), "true");
  EXPECT_EQ(ready(slow).error().message(), "libkorvex gripper: Command aborted!");
  EXPECT_FALSE(simulator.busy());
  simulator.stop();
}

}  // namespace
}  // namespace korvex
