#include <gtest/gtest.h>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <functional>
#include <future>
#include <iostream>
#include <stdexcept>
#include <thread>

#include "korvex/network/connect.hpp"
#include "support/loopback_peer.hpp"

namespace korvex {
namespace {

using namespace std::chrono_literals;
using net::Bytes;
using net::HeaderVariant;
using testing::kPeerTimeout;
using testing::LoopbackPeer;
using testing::UdpPeer;

constexpr auto kTimeout = 1000ms;  // connect and UDP timeout, as the robot uses

net::Channels open_channels(const LoopbackPeer& peer, std::uint16_t default_port = 1) {
  auto channels = net::connect(peer.address(), default_port, peer.variant(), kTimeout, kTimeout);
  if (!channels) throw std::runtime_error("connect failed: " + channels.error().message());
  return std::move(*channels);
}

//! A TCP socket bound to 127.0.0.1 with a system-chosen port; `listen_backlog` < 0 leaves it unlistening.
int loopback_tcp_socket(int listen_backlog, sockaddr_in& address) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  address = sockaddr_in{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof address;
  if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &len) != 0 ||
      (listen_backlog >= 0 && ::listen(fd, listen_backlog) != 0))
    throw std::runtime_error("cannot set up a loopback socket");
  return fd;
}

//! A port on 127.0.0.1 that refuses connections: bound, never listening, held for the test.
class ClosedPort {
 public:
  ClosedPort() : fd_(loopback_tcp_socket(-1, address_)) {}
  ~ClosedPort() { ::close(fd_); }
  std::uint16_t port() const { return ntohs(address_.sin_port); }

 private:
  sockaddr_in address_;
  int fd_;
};

//! A listener on 127.0.0.1 whose accept queue is full: one connection is queued and never accepted,
//! so the SYN of the next client is dropped and its connect times out.
class FullBacklog {
 public:
  FullBacklog()
      : listener_(loopback_tcp_socket(0, address_)), queued_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
    if (::connect(queued_, reinterpret_cast<sockaddr*>(&address_), sizeof address_) != 0)
      throw std::runtime_error("cannot fill the accept queue");
  }
  ~FullBacklog() {
    ::close(queued_);
    ::close(listener_);
  }
  std::uint16_t port() const { return ntohs(address_.sin_port); }

 private:
  sockaddr_in address_;
  int listener_;
  int queued_;
};

//! Runs a blocking channel call on another thread. If it has not finished within the peer timeout
//! (or the test leaves early), the channel is shut down, which ends the call with an error.
template <class T>
class Background {
 public:
  Background(net::TcpChannel& tcp, std::function<T()> call)
      : tcp_(tcp), future_(std::async(std::launch::async, std::move(call))) {}
  ~Background() {
    if (future_.valid() && future_.wait_for(0s) != std::future_status::ready) tcp_.shutdown();
  }
  T get() {
    if (future_.wait_for(kPeerTimeout) != std::future_status::ready) {
      ADD_FAILURE() << "no result within " << kPeerTimeout.count() << " ms";
      tcp_.shutdown();
    }
    return future_.get();
  }

 private:
  net::TcpChannel& tcp_;
  std::future<T> future_;
};

Background<Result<Bytes>> receive_in_background(net::TcpChannel& tcp, std::uint32_t id) {
  return {tcp, [&tcp, id] { return tcp.receive_reply(id); }};
}

void expect_error(const Status& s, ErrorKind kind, const std::string& message) {
  ASSERT_FALSE(s.has_value()) << "expected: " << message;
  EXPECT_EQ(s.error().kind(), kind) << s.error().debug();
  EXPECT_EQ(s.error().message(), message);
}

template <class T>
void expect_error(const Result<T>& r, ErrorKind kind, const std::string& message) {
  expect_error(r ? Status{} : Status(fail(r.error())), kind, message);
}

// --- os error text ---

TEST(OsErrorText, DescriptionAndNumber) {
  EXPECT_EQ(net::os_error_text(ECONNREFUSED), "Connection refused (os error 111)");
  EXPECT_EQ(net::os_error_text(EPIPE), "Broken pipe (os error 32)");
}

// --- connect ---

TEST(Connect, HostWithPortIgnoresDefaultPortAndBareHostUsesIt) {
  ClosedPort closed;
  for (const bool port_in_host : {true, false}) {
    SCOPED_TRACE(port_in_host ? "host carries the port" : "bare host, default port");
    LoopbackPeer peer;
    const std::string host = port_in_host ? peer.address() : "127.0.0.1";
    const std::uint16_t default_port = port_in_host ? closed.port() : peer.port();
    auto channels = net::connect(host, default_port, HeaderVariant::Long, kTimeout, kTimeout);
    ASSERT_TRUE(channels) << channels.error().message();
    ASSERT_TRUE(channels->tcp->send(5, {}));
    EXPECT_EQ(peer.read_message().command, 5u);
    EXPECT_NE(channels->udp_port, 0);
    EXPECT_EQ(channels->udp->local_port(), channels->udp_port);
  }
}

TEST(Connect, RefusedPort) {
  ClosedPort closed;
  expect_error(net::connect("127.0.0.1:" + std::to_string(closed.port()), 1337, HeaderVariant::Long, kTimeout,
                            kTimeout),
               ErrorKind::Network,
               "libkorvex: Connection to KXP refused. Please install KXP feature or enable KXP mode in Telvo.");
}

TEST(Connect, TimesOutWhenNobodyAnswers) {
  FullBacklog full;
  expect_error(net::connect("127.0.0.1:" + std::to_string(full.port()), 1337, HeaderVariant::Long, 200ms, kTimeout),
               ErrorKind::Network,
               "libkorvex: Connection timeout. Please check your network connection or settings.");
}

TEST(Connect, NameThatResolvesToNothing) {
  const std::string host = "korvex-test.invalid";
  auto r = net::connect(host, 1337, HeaderVariant::Long, kTimeout, kTimeout);
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().kind(), ErrorKind::Network);
  const std::string empty_list = "libkorvex: Connection error: host " + host + " did not resolve to any address";
  const std::string& message = r.error().message();
  if (message == empty_list) {
    std::cout << "[ resolver ] empty address list: " << message << "\n";
  } else {
    // glibc reports an unknown name as a resolver error rather than an empty list.
    EXPECT_TRUE(message.starts_with("libkorvex: Connection error: ")) << message;
    EXPECT_GT(message.size(), std::string("libkorvex: Connection error: ").size()) << message;
    std::cout << "[ resolver ] resolver error: " << message << "\n";
  }
}

// --- TCP framing ---

TEST(Tcp, CommandIdsStartAtZero) {
  LoopbackPeer peer;
  auto ch = open_channels(peer);
  EXPECT_EQ(ch.tcp->send(3, Bytes{0x0A}).value(), 0u);
  EXPECT_EQ(ch.tcp->send(4, {}).value(), 1u);
  const auto first = peer.read_message();
  const auto second = peer.read_message();
  EXPECT_EQ(first.command, 3u);
  EXPECT_EQ(first.id, 0u);
  EXPECT_EQ(first.payload, Bytes{0x0A});
  EXPECT_EQ(second.command, 4u);
  EXPECT_EQ(second.id, 1u);
  EXPECT_TRUE(second.payload.empty());
}

TEST(Tcp, HeaderBytesOfBothVariants) {
  struct Case {
    HeaderVariant variant;
    std::uint32_t command;
    Bytes request;  // send(command, {0xAA, 0xBB}) as the first message
    Bytes reply;    // reply with id 0, payload {0x7F}, as the peer writes it and receive_reply returns it
  };
  const Case cases[] = {
      {HeaderVariant::Long, 0x01020304,
       {0x04, 0x03, 0x02, 0x01, 0, 0, 0, 0, 14, 0, 0, 0, 0xAA, 0xBB},
       {0x04, 0x03, 0x02, 0x01, 0, 0, 0, 0, 13, 0, 0, 0, 0x7F}},
      {HeaderVariant::Short, 0x0102,
       {0x02, 0x01, 0, 0, 0, 0, 12, 0, 0, 0, 0xAA, 0xBB},
       {0x02, 0x01, 0, 0, 0, 0, 11, 0, 0, 0, 0x7F}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.variant == HeaderVariant::Long ? "long header" : "short header");
    LoopbackPeer peer(c.variant);
    auto ch = open_channels(peer);
    EXPECT_EQ(ch.tcp->header_length(), c.variant == HeaderVariant::Long ? 12u : 10u);
    ASSERT_TRUE(ch.tcp->send(c.command, Bytes{0xAA, 0xBB}));
    EXPECT_EQ(peer.read_exact(c.request.size()), c.request);
    peer.write(c.reply);
    auto reply = receive_in_background(*ch.tcp, 0).get();
    ASSERT_TRUE(reply) << reply.error().message();
    EXPECT_EQ(*reply, c.reply);
  }
}

TEST(Tcp, MessageSizeBoundary) {
  struct Case {
    const char* name;
    HeaderVariant variant;
    std::uint32_t size;
    bool accepted;
  };
  const Case cases[] = {
      {"16 MiB", HeaderVariant::Long, 16777216, true},
      {"16 MiB + 1", HeaderVariant::Long, 16777217, false},
      {"header only (long)", HeaderVariant::Long, 12, true},
      {"below long header", HeaderVariant::Long, 11, false},
      {"zero", HeaderVariant::Long, 0, false},
      {"header only (short)", HeaderVariant::Short, 10, true},
      {"below short header", HeaderVariant::Short, 9, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    LoopbackPeer peer(c.variant);
    auto ch = open_channels(peer);
    const std::uint32_t id = ch.tcp->send(1, {}).value();
    peer.read_message();

    auto reply = receive_in_background(*ch.tcp, id);
    Bytes message = testing::header_bytes(c.variant, 9, id, c.size);
    if (c.accepted) {
      message.resize(c.size, 0x5A);
      peer.write(message);
      auto got = reply.get();
      ASSERT_TRUE(got) << got.error().message();
      EXPECT_EQ(got->size(), c.size);
      EXPECT_TRUE(*got == message);
    } else {
      peer.write(message);
      expect_error(reply.get(), ErrorKind::Protocol, "libkorvex: Incorrect TCP message size.");
      // The channel goes back to collecting a header: the next message arrives whole.
      peer.reply(2, id, Bytes{7});
      auto next = receive_in_background(*ch.tcp, id).get();
      ASSERT_TRUE(next) << next.error().message();
      EXPECT_EQ(*next, testing::frame(c.variant, 2, id, Bytes{7}));
    }
  }
}

TEST(Tcp, RepliesInOppositeOrderReachTheirCallers) {
  LoopbackPeer peer;
  auto ch = open_channels(peer);
  net::TcpChannel& tcp = *ch.tcp;
  const auto request = [&tcp](std::uint8_t tag) -> Result<Bytes> {
    auto id = tcp.send(tag, Bytes{tag});
    if (!id) return fail(id.error());
    return tcp.receive_reply(*id);
  };
  Background<Result<Bytes>> a(tcp, [&] { return request(1); });
  Background<Result<Bytes>> b(tcp, [&] { return request(2); });

  const auto first = peer.read_message();
  const auto second = peer.read_message();
  // Answer the later request first; each reply echoes its request's payload.
  peer.reply(second.command, second.id, second.payload);
  peer.reply(first.command, first.id, first.payload);

  for (auto [call, tag] : {std::pair{&a, std::uint8_t{1}}, std::pair{&b, std::uint8_t{2}}}) {
    auto got = call->get();
    ASSERT_TRUE(got) << got.error().message();
    ASSERT_EQ(got->size(), 13u);
    EXPECT_EQ(got->at(0), tag);   // command
    EXPECT_EQ(got->at(12), tag);  // payload
  }
}

TEST(Tcp, TryReceiveReplyReturnsNothingThenTheReply) {
  LoopbackPeer peer;
  auto ch = open_channels(peer);
  const std::uint32_t id = ch.tcp->send(6, {}).value();
  const auto request = peer.read_message();

  auto nothing = ch.tcp->try_receive_reply(id);
  ASSERT_TRUE(nothing) << nothing.error().message();
  EXPECT_FALSE(nothing->has_value());

  peer.reply(6, request.id, Bytes{1, 2, 3});
  std::optional<Bytes> reply;
  for (auto deadline = std::chrono::steady_clock::now() + kPeerTimeout;
       !reply && std::chrono::steady_clock::now() < deadline; std::this_thread::sleep_for(1ms)) {
    auto r = ch.tcp->try_receive_reply(id);
    ASSERT_TRUE(r) << r.error().message();
    reply = std::move(*r);
  }
  ASSERT_TRUE(reply.has_value());
  EXPECT_EQ(*reply, testing::frame(HeaderVariant::Long, 6, id, Bytes{1, 2, 3}));
}

TEST(Tcp, CheckOpenDetectsClosedPeer) {
  LoopbackPeer peer;
  auto ch = open_channels(peer);
  peer.accept();
  EXPECT_TRUE(ch.tcp->check_open());
  peer.close();
  Status open;
  for (auto deadline = std::chrono::steady_clock::now() + kPeerTimeout;
       open && std::chrono::steady_clock::now() < deadline; std::this_thread::sleep_for(1ms))
    open = ch.tcp->check_open();
  expect_error(open, ErrorKind::Network, "libkorvex: server closed connection");
}

TEST(Tcp, ReceiveReplyReportsClosedPeer) {
  LoopbackPeer peer;
  auto ch = open_channels(peer);
  const std::uint32_t id = ch.tcp->send(1, {}).value();
  peer.read_message();
  peer.close();
  expect_error(receive_in_background(*ch.tcp, id).get(), ErrorKind::Network, "libkorvex: server closed connection");
}

TEST(Tcp, SendAfterShutdownFailsWithoutSignal) {
  LoopbackPeer peer;
  auto ch = open_channels(peer);
  ch.tcp->shutdown();
  expect_error(ch.tcp->send(1, Bytes{1}), ErrorKind::Network,
               "libkorvex: TCP send bytes: " + net::os_error_text(EPIPE));
}

// --- UDP ---

TEST(Udp, SendBeforeAnyStateFails) {
  LoopbackPeer peer;
  auto ch = open_channels(peer);
  expect_error(ch.udp->send(Bytes{1, 2}), ErrorKind::Network,
               "libkorvex: UDP send: no state received yet, server address unknown");
}

TEST(Udp, BlockingReceiveTimesOut) {
  LoopbackPeer peer;
  auto ch = open_channels(peer);
  Bytes buffer(2373);
  const auto start = std::chrono::steady_clock::now();
  expect_error(ch.udp->receive(buffer), ErrorKind::Network, "libkorvex: UDP receive: Timeout");
  EXPECT_GE(std::chrono::steady_clock::now() - start, 500ms);
}

TEST(Udp, RepliesToTheSenderOfTheLastState) {
  LoopbackPeer peer;
  auto ch = open_channels(peer);
  UdpPeer arm;
  Bytes buffer(2373);

  auto nothing = ch.udp->try_receive(buffer);
  ASSERT_TRUE(nothing) << nothing.error().message();
  EXPECT_FALSE(nothing->has_value());

  arm.send_to(ch.udp_port, Bytes{1, 2, 3});
  auto n = ch.udp->receive(buffer);
  ASSERT_TRUE(n) << n.error().message();
  EXPECT_EQ(Bytes(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(*n)), (Bytes{1, 2, 3}));

  arm.send_to(ch.udp_port, Bytes{4});
  std::optional<std::size_t> polled;
  for (auto deadline = std::chrono::steady_clock::now() + kPeerTimeout;
       !polled && std::chrono::steady_clock::now() < deadline; std::this_thread::sleep_for(1ms)) {
    auto r = ch.udp->try_receive(buffer);
    ASSERT_TRUE(r) << r.error().message();
    polled = *r;
  }
  ASSERT_EQ(polled, std::optional<std::size_t>(1));
  EXPECT_EQ(buffer[0], 4);

  ASSERT_TRUE(ch.udp->send(Bytes{9, 8}));
  EXPECT_EQ(arm.receive(), (Bytes{9, 8}));
}

}  // namespace
}  // namespace korvex
