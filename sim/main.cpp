// korvex-sim: a simulated arm, and its gripper beside it, on the network until interrupted.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>

#include <unistd.h>

#include "sim/arm_simulator.hpp"
#include "sim/gripper_simulator.hpp"

namespace {
volatile std::sig_atomic_t g_stop = 0;
void on_signal(int) { g_stop = 1; }

int usage(const char* argv0) {
  std::fprintf(stderr,
               "usage: %s [--model zk2|zk1] [--host HOST] [--port PORT] [--pacing realtime|lockstep]\n"
               "          [--gripper-port PORT] [--no-gripper]\n",
               argv0);
  return 2;
}

std::optional<std::uint16_t> parse_port(const std::string& text) {
  char* end = nullptr;
  const long port = std::strtol(text.c_str(), &end, 10);
  if (text.empty() || *end != '\0' || port < 0 || port > 65535) return std::nullopt;
  return static_cast<std::uint16_t>(port);
}
}  // namespace

int main(int argc, char** argv) {
  korvex::sim::ArmSimulatorOptions options;
  options.port = 1337;
  korvex::sim::GripperSimulatorOptions hand;
  bool with_gripper = true;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "-h" || arg == "--help") return usage(argv[0]), 0;
    if (arg == "--no-gripper") {
      with_gripper = false;
      continue;
    }
    if (i + 1 >= argc) return usage(argv[0]);
    const std::string value = argv[++i];
    if (arg == "--model") {
      auto model = korvex::sim::parse_arm_model(value);
      if (!model) {
        std::fprintf(stderr, "%s\n", model.error().message().c_str());
        return 2;
      }
      options.model = *model;
    } else if (arg == "--pacing") {
      auto pacing = korvex::sim::parse_pacing(value);
      if (!pacing) {
        std::fprintf(stderr, "%s\n", pacing.error().message().c_str());
        return 2;
      }
      options.pacing = *pacing;
    } else if (arg == "--host") {
      options.host = value;
    } else if (arg == "--port" || arg == "--gripper-port") {
      auto port = parse_port(value);
      if (!port) return usage(argv[0]);
      (arg == "--port" ? options.port : hand.port) = *port;
    } else {
      return usage(argv[0]);
    }
  }
  hand.host = options.host;
  korvex::sim::ArmSimulator sim(options);
  if (auto started = sim.start(); !started) {
    std::fprintf(stderr, "%s\n", started.error().message().c_str());
    return 1;
  }
  std::optional<korvex::sim::GripperSimulator> gripper;
  if (with_gripper) {
    gripper.emplace(hand);
    if (auto started = gripper->start(); !started) {
      std::fprintf(stderr, "%s\n", started.error().message().c_str());
      return 1;
    }
  }
  std::signal(SIGINT, on_signal);
  std::signal(SIGTERM, on_signal);
  std::printf("korvex-sim: %s arm (KXP version %u) listening on %s",
              options.model == korvex::sim::ArmModel::ZK2 ? "ZK2" : "ZK1", sim.version(), sim.address().c_str());
  if (gripper) std::printf(", gripper on %s", gripper->address().c_str());
  std::printf("\n");
  std::fflush(stdout);
  while (!g_stop) ::usleep(100000);
  if (gripper) gripper->stop();
  sim.stop();
  return 0;
}
