#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

#include "korvex/wire/robot/codec.hpp"

namespace {

std::vector<std::uint8_t> sample_state(std::uint16_t version) {
  std::vector<std::uint8_t> d(korvex::state_size(version), 0);
  const std::uint64_t id = 123456;
  std::memcpy(d.data(), &id, 8);
  // Plausible non-zero reals everywhere, so composition and widening do real work.
  const std::size_t step = version == 5 ? 8 : 4;
  const std::size_t reals_end = version == 5 ? 2280 : 1288;
  for (std::size_t off = 8, i = 0; off + step <= reals_end; off += step, ++i) {
    const double x = 0.01 * static_cast<double>(i % 97) + 0.25;
    if (version == 5) std::memcpy(d.data() + off, &x, 8);
    else {
      const float f = static_cast<float>(x);
      std::memcpy(d.data() + off, &f, 4);
    }
  }
  return d;
}

void BM_DecodeState(benchmark::State& st) {
  const auto version = static_cast<std::uint16_t>(st.range(0));
  const auto d = sample_state(version);
  for (auto _ : st) {
    auto s = korvex::decode_state(d, version);
    benchmark::DoNotOptimize(s);
  }
}
BENCHMARK(BM_DecodeState)->Arg(5)->Arg(10);

void BM_EncodeCommand(benchmark::State& st) {
  const auto version = static_cast<std::uint16_t>(st.range(0));
  korvex::RobotCommand c;
  c.message_id = 42;
  for (int i = 0; i < 7; ++i) c.control.tau_J_d[i] = 0.5 * i;
  c.motion.q_c = {0, -0.78, 0, -2.35, 0, 1.57, 0.78};
  korvex::CommandBuffer buf;
  for (auto _ : st) {
    auto out = korvex::encode_command(c, version, buf);
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_EncodeCommand)->Arg(5)->Arg(10);

}  // namespace
