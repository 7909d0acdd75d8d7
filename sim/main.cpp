// korvex-sim: a simulated arm on the network until interrupted.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <unistd.h>

#include "sim/arm_simulator.hpp"

namespace {
volatile std::sig_atomic_t g_stop = 0;
void on_signal(int) { g_stop = 1; }

int usage(const char* argv0) {
  std::fprintf(stderr, "usage: %s [--model zk2|zk1] [--host HOST] [--port PORT]\n", argv0);
  return 2;
}
}  // namespace

int main(int argc, char** argv) {
  korvex::sim::ArmSimulatorOptions options;
  options.port = 1337;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "-h" || arg == "--help") return usage(argv[0]), 0;
    if (i + 1 >= argc) return usage(argv[0]);
    const std::string value = argv[++i];
    if (arg == "--model") {
      auto model = korvex::sim::parse_arm_model(value);
      if (!model) {
        std::fprintf(stderr, "%s\n", model.error().message().c_str());
        return 2;
      }
      options.model = *model;
    } else if (arg == "--host") {
      options.host = value;
    } else if (arg == "--port") {
      char* end = nullptr;
      const long port = std::strtol(value.c_str(), &end, 10);
      if (*end != '\0' || port < 0 || port > 65535) return usage(argv[0]);
      options.port = static_cast<std::uint16_t>(port);
    } else {
      return usage(argv[0]);
    }
  }
  korvex::sim::ArmSimulator sim(options);
  if (auto started = sim.start(); !started) {
    std::fprintf(stderr, "%s\n", started.error().message().c_str());
    return 1;
  }
  std::signal(SIGINT, on_signal);
  std::signal(SIGTERM, on_signal);
  std::printf("korvex-sim: %s arm (KXP version %u) listening on %s\n",
              options.model == korvex::sim::ArmModel::ZK2 ? "ZK2" : "ZK1", sim.version(), sim.address().c_str());
  std::fflush(stdout);
  while (!g_stop) ::usleep(100000);
  sim.stop();
  return 0;
}
