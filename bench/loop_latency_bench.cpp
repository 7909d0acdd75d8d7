// A 10 s torque motion against the simulated arm in realtime pacing: how long after a state is sent does
// its command arrive (the simulator's kernel receive timestamp minus its send time, so both loopback
// hops are included), and how many commands the arm counted in time.
//
// Everything runs on CPU 0: on a virtual machine, waking a thread on the other, idle CPU costs tens of
// microseconds that belong to the hypervisor, not to the loop (a real arm is another machine anyway).
#include <benchmark/benchmark.h>

#include <sched.h>

#include <algorithm>
#include <thread>

#include "korvex/robot/commands.hpp"
#include "korvex/robot/connection.hpp"
#include "korvex/network/tcp.hpp"
#include "korvex/network/udp.hpp"
#include "korvex/robot/realtime.hpp"
#include "korvex/wire/robot/codec.hpp"
#include "korvex/wire/robot/protocol.hpp"
#include "sim/arm_simulator.hpp"

namespace {

void report(benchmark::State& st, const korvex::sim::ArmSimulator& arm) {
  std::vector<double> rt = arm.round_trips();
  std::sort(rt.begin(), rt.end());
  const auto at = [&](double p) { return rt.empty() ? 0.0 : rt[static_cast<std::size_t>(p * (rt.size() - 1))]; };
  const auto stats = arm.last_motion_stats();
  st.counters["p50_us"] = at(0.5);
  st.counters["p99_us"] = at(0.99);
  st.counters["max_us"] = rt.empty() ? 0.0 : rt.back();
  st.counters["samples"] = static_cast<double>(rt.size());
  st.counters["success_rate"] =
      stats.cycles ? static_cast<double>(stats.commands) / static_cast<double>(stats.cycles) : 0.0;
}

// Threads inherit the affinity of the thread that creates them.
struct OnCpu0 {
  OnCpu0() {
    CPU_ZERO(&before);
    sched_getaffinity(0, sizeof before, &before);
    (void)korvex::pin_to_cpu(0);
  }
  ~OnCpu0() { sched_setaffinity(0, sizeof before, &before); }
  cpu_set_t before;
};

void BM_TorqueLoopRoundTrip(benchmark::State& st) {
  using namespace korvex;
  constexpr int kCycles = 10'000;
  for (auto _ : st) {
    OnCpu0 pinned;
    sim::ArmSimulator arm({sim::ArmModel::ZK2, "127.0.0.1", 0, true, sim::Pacing::Realtime, 20});
    if (!arm.start()) {
      st.SkipWithError("simulator did not start");
      return;
    }
    arm.record_round_trips(kCycles + 100);
    Status result;
    std::thread control([&] {
      auto conn = Connection::create(arm.address(), true, 50);
      if (!conn) {
        result = fail(conn.error());
        return;
      }
      // As a control thread would be: SCHED_FIFO where the system allows it.
      (void)configure_realtime_thread(true, {});
      Vec7 q0{};
      int n = 0;
      result = (*conn)->control_torques(
          [&](const RobotState& s, std::uint64_t) {
            if (n == 0) q0 = s.q;
            Torques t;
            for (int j = 0; j < 7; ++j) t.tau_J[j] = -100.0 * (s.q[j] - q0[j]) - 5.0 * s.dq[j];
            t.motion_finished = ++n == kCycles;
            return t;
          },
          true, 100.0);
    });
    control.join();
    if (!result) {
      st.SkipWithError(result.error().message().c_str());
      return;
    }
    report(st, arm);
  }
}
BENCHMARK(BM_TorqueLoopRoundTrip)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

// The peer: the same exchange with a bare echo that answers each state with a fixed zero-torque
// command, to show what the machine's loopback and scheduling cost without the library's loop.
void BM_BareEchoRoundTrip(benchmark::State& st) {
  using namespace korvex;
  constexpr int kCycles = 10'000;
  for (auto _ : st) {
    OnCpu0 pinned;
    sim::ArmSimulator arm({sim::ArmModel::ZK2, "127.0.0.1", 0, true, sim::Pacing::Realtime, 20});
    if (!arm.start()) {
      st.SkipWithError("simulator did not start");
      return;
    }
    arm.record_round_trips(kCycles + 100);
    std::string error;
    std::thread echo([&] {
      auto conn = Connection::create(arm.address(), true, 50);
      if (!conn) {
        error = conn.error().message();
        return;
      }
      (void)configure_realtime_thread(true, {});
      Connection& c = **conn;
      auto payload = move_request(10, ControllerMode::ExternalController, MotionGeneratorMode::None,
                                  kMoveDeviation, kMoveDeviation);
      auto id = c.tcp().send(*command_id(Command::Move, 10), *payload);
      if (!id || !c.tcp().receive_reply(*id)) {
        error = "Move failed";
        return;
      }
      std::array<std::uint8_t, kMaxStateSize + 1> in{};
      CommandBuffer out{};
      RobotCommand cmd;
      for (int i = 0; i < kCycles; ++i) {
        auto n = c.udp().receive(in);
        if (!n) {
          error = n.error().message();
          return;
        }
        cmd.message_id = state_message_id(std::span<const std::uint8_t>(in.data(), *n));
        cmd.control.torque_command_finished = i == kCycles - 1;
        (void)c.udp().send(encode_command(cmd, 10, out));
      }
      (void)c.tcp().receive_reply(*id);
    });
    echo.join();
    if (!error.empty()) {
      st.SkipWithError(error.c_str());
      return;
    }
    report(st, arm);
  }
}
BENCHMARK(BM_BareEchoRoundTrip)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

}  // namespace
