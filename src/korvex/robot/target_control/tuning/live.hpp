#pragma once
// Live tuning of a running Cartesian impedance target control: a sequence-locked block of 25
// values that the control thread takes over, smooths and turns into gains and generator limits.
#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <mutex>
#include <string>
#include <string_view>

#include "korvex/robot/target_control/tuning/options.hpp"

namespace korvex {

inline constexpr std::size_t kTuningValues = 25;
using TuningValues = std::array<double, kTuningValues>;

enum class TuningUpdate : std::uint8_t {
  Smoothed,     //!< first-order approach, tau = 0.3 s
  AtOnce,
  FallLimited,  //!< rises at once, falls by at most dt times the next row per cycle
};

struct TuningRow {
  std::string_view name;
  int index;  //!< element of a vector row, -1 for a scalar
  std::string_view unit;
  std::string_view group;
  double min;
  double max;
  TuningUpdate update;
};

//! One row per value, in block order.
extern const std::array<TuningRow, kTuningValues> kTuningTable;

//! The block a control publishes at start; the feed-forward gain is 0 while feed-forward is off.
TuningValues tuning_values_of(const ImpedanceOptions& options, const OtgLimits& budget,
                              const OtgLimits& rotation_budget);
//! Every value clamped into its row's range (NaN stays NaN).
TuningValues clamp_to_ranges(TuningValues values);
//! Success, or the reason why the control cannot be tuned live.
std::expected<void, std::string> live_tuning_availability(const CartesianTargetOptions& options);

//! Sequence lock: even = stable, odd = being written. Readers never block.
class TuningBlock {
 public:
  TuningBlock();
  TuningBlock(const TuningBlock&) = delete;
  TuningBlock& operator=(const TuningBlock&) = delete;

  //! Writers are serialised among themselves.
  void publish(const TuningValues& values);
  std::uint64_t sequence() const { return sequence_.load(); }
  //! A consistent snapshot within `attempts` tries; false while a writer kept the block busy.
  bool try_read(TuningValues& out, std::uint64_t& sequence, int attempts) const;

 private:
  std::atomic<std::uint64_t> sequence_{0};
  std::array<std::atomic<double>, kTuningValues> values_;
  std::mutex writer_;
};

//! What a changed block rebuilds.
struct TunedSettings {
  ImpedanceGains gains;
  double ik_damping = 0;
  double ik_nullspace_gain = 0;
  double velocity_feedforward_gain = 0;
  double velocity_feedforward_cutoff = 0;
  //! Per-axis generator limits of the two budgets.
  std::array<OtgLimits, 6> axis_limits{};
};

//! The control thread's side: current values approaching the last block taken over.
class LiveTuning {
 public:
  static constexpr double kDt = 0.001;      //!< [s]
  static constexpr double kTau = 0.3;       //!< smoothing time constant [s]
  static constexpr int kReadAttempts = 3;

  LiveTuning(const TuningValues& initial, std::uint64_t applied_sequence);

  //! One cycle; true when at least one value changed (then rebuild from settings()).
  bool cycle(const TuningBlock& block);

  const TuningValues& values() const { return values_; }
  const TuningValues& targets() const { return targets_; }
  TunedSettings settings() const;

 private:
  TuningValues values_;
  TuningValues targets_;
  std::uint64_t applied_;
};

}  // namespace korvex
