#include <gtest/gtest.h>
#include <pthread.h>
#include <sched.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <thread>

#include "korvex/robot/realtime.hpp"

namespace korvex {
namespace {

// Scheduling changes stay in a thread of their own, never in the test runner's thread.
template <class F>
auto in_thread(F f) {
  std::optional<decltype(f())> result;
  std::thread([&] { result.emplace(f()); }).join();
  return std::move(*result);
}

std::string message_of(const Status& s) { return s ? std::string() : s.error().message(); }

bool fifo_allowed() {
  return in_thread([] { return set_priority(1).has_value(); });
}

struct Placement {
  int policy = -1;
  int priority = -1;
  bool only_cpu0 = false;
};

Placement current_placement() {
  Placement p;
  sched_param param{};
  pthread_getschedparam(pthread_self(), &p.policy, &param);
  p.priority = param.sched_priority;
  cpu_set_t set;
  CPU_ZERO(&set);
  sched_getaffinity(0, sizeof set, &set);
  p.only_cpu0 = CPU_COUNT(&set) == 1 && CPU_ISSET(0, &set);
  return p;
}

class FlagFile : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = std::filesystem::path(::testing::TempDir()) /
           ("korvex_rt_" + std::to_string(::getpid()) + "_" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::create_directories(dir_);
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  std::string write(const std::string& text) {
    const auto path = dir_ / "realtime";
    std::ofstream(path, std::ios::binary) << text;
    return path.string();
  }
  std::string absent() const { return (dir_ / "absent").string(); }

  std::filesystem::path dir_;
};

TEST_F(FlagFile, OnlyASingleOneCountsAsRealtime) {
  const struct { const char* text; bool realtime; } cases[] = {
      {"1\n", true}, {"1", true}, {" \t1 \n", true}, {"0", false}, {"0\n", false},
      {"", false},   {"\n", false}, {"11", false}, {"1 1", false}, {"true", false},
  };
  for (const auto& c : cases) EXPECT_EQ(has_realtime_kernel(write(c.text)), c.realtime) << '"' << c.text << '"';
  EXPECT_FALSE(has_realtime_kernel(absent()));
  EXPECT_FALSE(has_realtime_kernel(dir_.string()));  // a directory cannot be read as the flag
}

TEST(Realtime, RefusedSchedulingAndPinningTexts) {
  const std::string sched = "libkorvex: unable to set realtime scheduling: Invalid argument";
  EXPECT_EQ(in_thread([] { return message_of(set_priority(0)); }), sched);
  EXPECT_EQ(in_thread([] { return message_of(set_priority(100)); }), sched);
  EXPECT_EQ(in_thread([] { return message_of(pin_to_cpu(1024)); }),
            "korvex: unable to pin the thread to cpu 1024: Invalid argument");
  EXPECT_EQ(in_thread([] { return message_of(pin_to_cpu(1023)); }),
            "korvex: unable to pin the thread to cpu 1023: Invalid argument");
  const Status s = in_thread([] { return pin_to_cpu(5000); });
  ASSERT_FALSE(s);
  EXPECT_EQ(s.error().kind(), ErrorKind::Realtime);
}

TEST(Realtime, RaisesOnlyTheCallingThread) {
  if (!fifo_allowed()) GTEST_SKIP() << "SCHED_FIFO not permitted here";
  const Placement before = current_placement();
  const Placement given = in_thread([] { return set_priority(7) ? current_placement() : Placement{}; });
  EXPECT_EQ(given.policy, SCHED_FIFO);
  EXPECT_EQ(given.priority, 7);
  const Placement highest = in_thread([] { return set_highest_priority() ? current_placement() : Placement{}; });
  EXPECT_EQ(highest.policy, SCHED_FIFO);
  EXPECT_EQ(highest.priority, sched_get_priority_max(SCHED_FIFO));
  const Placement after = current_placement();
  EXPECT_EQ(after.policy, before.policy);
  EXPECT_EQ(after.priority, before.priority);
}

TEST(Realtime, ConfigureThreadReportsTheFirstFailureOnlyWhenEnforced) {
  if (!fifo_allowed()) GTEST_SKIP() << "SCHED_FIFO not permitted here";
  const std::string sched = "libkorvex: unable to set realtime scheduling: Invalid argument";
  const std::string pin = "korvex: unable to pin the thread to cpu 1024: Invalid argument";
  const struct {
    bool ignore;
    std::optional<std::int32_t> priority;
    std::optional<std::size_t> cpu;
    std::string message;  // empty: success
    bool pinned_to_cpu0;
  } cases[] = {
      {false, 0, 1024, sched, false},
      {false, 0, 0, sched, true},  // pinning is still attempted after a refused priority
      {false, 10, 1024, pin, false},
      {false, 10, 0, "", true},
      {false, std::nullopt, std::nullopt, "", false},
      {true, 0, 1024, "", false},
      {true, 0, 0, "", true},
  };
  for (const auto& c : cases) {
    const auto [message, placement] = in_thread([&] {
      const Status s = configure_realtime_thread(c.ignore, {c.priority, c.cpu});
      if (!s) EXPECT_EQ(s.error().kind(), ErrorKind::Realtime);
      return std::pair{message_of(s), current_placement()};
    });
    const std::string label = std::string(c.ignore ? "ignore" : "enforce") + " priority " +
                              (c.priority ? std::to_string(*c.priority) : "-") + " cpu " +
                              (c.cpu ? std::to_string(*c.cpu) : "-");
    EXPECT_EQ(message, c.message) << label;
    EXPECT_EQ(placement.only_cpu0, c.pinned_to_cpu0) << label;
    if (c.message.empty() && !c.ignore) {
      EXPECT_EQ(placement.policy, SCHED_FIFO) << label;
      EXPECT_EQ(placement.priority, c.priority.value_or(sched_get_priority_max(SCHED_FIFO))) << label;
    }
  }
}

TEST_F(FlagFile, ConnectionChecksTheKernelOnlyWhenEnforced) {
  if (!fifo_allowed()) GTEST_SKIP() << "SCHED_FIFO not permitted here";
  const std::string kernel = "libkorvex: Running kernel does not have realtime capabilities.";
  const std::string realtime = write("1\n");
  const std::string ordinary = absent();
  const std::string zero = (dir_ / "zero").string();
  std::ofstream(zero) << "0\n";
  const struct {
    bool ignore;
    std::string flag;
    std::string message;  // empty: success; otherwise also the stderr line
  } cases[] = {
      {false, ordinary, kernel},
      {false, zero, kernel},
      {false, realtime, ""},
      {true, ordinary, ""},
  };
  for (const auto& c : cases) {
    ::testing::internal::CaptureStderr();
    const Status s = in_thread([&] { return configure_connection_thread(c.ignore, c.flag); });
    const std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(message_of(s), c.message) << c.flag;
    if (!s) EXPECT_EQ(s.error().kind(), ErrorKind::Realtime);
    EXPECT_EQ(err, c.message.empty() ? "" : c.message + "\n") << c.flag;
  }
}

}  // namespace
}  // namespace korvex
