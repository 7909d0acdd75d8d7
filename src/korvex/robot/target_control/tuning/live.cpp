#include "korvex/robot/target_control/tuning/live.hpp"

#include <algorithm>
#include <cmath>

#include "korvex/robot/target_control/otg.hpp"

namespace korvex {
namespace {

constexpr TuningRow joint_stiffness(int i) {
  return {"joint_stiffness", i, "Nm/rad", "gains", 0, 1200, TuningUpdate::Smoothed};
}
constexpr TuningRow joint_damping(int i) {
  return {"joint_damping", i, "Nm s/rad", "gains", 0, i < 4 ? 60.0 : 40.0, TuningUpdate::Smoothed};
}

constexpr std::size_t kCartesianStiffness = 14;
constexpr std::size_t kIkDamping = 15;
constexpr std::size_t kNullspaceGain = 16;
constexpr std::size_t kFeedforwardGain = 17;
constexpr std::size_t kFeedforwardCutoff = 18;
constexpr std::size_t kBudget = 19;
constexpr std::size_t kRotationBudget = 22;

// Smoothing factor per cycle; computed once so the cycle path holds no initialisation guard.
const double kAlpha = 1 - std::exp(-LiveTuning::kDt / LiveTuning::kTau);

}  // namespace

const std::array<TuningRow, kTuningValues> kTuningTable{{
    joint_stiffness(0), joint_stiffness(1), joint_stiffness(2), joint_stiffness(3),
    joint_stiffness(4), joint_stiffness(5), joint_stiffness(6),
    joint_damping(0), joint_damping(1), joint_damping(2), joint_damping(3),
    joint_damping(4), joint_damping(5), joint_damping(6),
    {"cartesian_stiffness", -1, "N/m", "gains", 50, 3000, TuningUpdate::Smoothed},
    {"ik_damping", -1, "", "ik", 0.001, 1.0, TuningUpdate::Smoothed},
    {"ik_nullspace_gain", -1, "1/s", "ik", 0, 20, TuningUpdate::Smoothed},
    {"velocity_feedforward_gain", -1, "", "feedforward", 0, 1.0, TuningUpdate::Smoothed},
    {"velocity_feedforward_cutoff", -1, "Hz", "feedforward", 1.0, 1000, TuningUpdate::AtOnce},
    {"budget", 0, "m/s", "envelope", 0.05, 1.2, TuningUpdate::FallLimited},
    {"budget", 1, "m/s^2", "envelope", 0.1, 20, TuningUpdate::FallLimited},
    {"budget", 2, "m/s^3", "envelope", 1.0, 800, TuningUpdate::AtOnce},
    {"rotation_budget", 0, "rad/s", "envelope", 0.05, 2.5, TuningUpdate::FallLimited},
    {"rotation_budget", 1, "rad/s^2", "envelope", 0.1, 30, TuningUpdate::FallLimited},
    {"rotation_budget", 2, "rad/s^3", "envelope", 1.0, 800, TuningUpdate::AtOnce},
}};

TuningValues tuning_values_of(const ImpedanceOptions& o, const OtgLimits& budget, const OtgLimits& rotation_budget) {
  TuningValues v{};
  std::copy(o.gains.joint_stiffness.begin(), o.gains.joint_stiffness.end(), v.begin());
  std::copy(o.gains.joint_damping.begin(), o.gains.joint_damping.end(), v.begin() + 7);
  v[kCartesianStiffness] = o.gains.cartesian_stiffness[0];
  v[kIkDamping] = o.ik.damping;
  v[kNullspaceGain] = o.ik.nullspace_gain;
  v[kFeedforwardGain] = o.velocity_feedforward ? o.velocity_feedforward_gain : 0.0;
  v[kFeedforwardCutoff] = o.velocity_feedforward_cutoff;
  v[kBudget] = budget.max_velocity;
  v[kBudget + 1] = budget.max_acceleration;
  v[kBudget + 2] = budget.max_jerk;
  v[kRotationBudget] = rotation_budget.max_velocity;
  v[kRotationBudget + 1] = rotation_budget.max_acceleration;
  v[kRotationBudget + 2] = rotation_budget.max_jerk;
  return v;
}

TuningValues clamp_to_ranges(TuningValues values) {
  for (std::size_t i = 0; i < kTuningValues; ++i)
    if (!std::isnan(values[i])) values[i] = std::clamp(values[i], kTuningTable[i].min, kTuningTable[i].max);
  return values;
}

std::expected<void, std::string> live_tuning_availability(const CartesianTargetOptions& options) {
  if (!options.backend.impedance)
    return std::unexpected(std::string(
        "korvex target control: this session has no live tuning; it is the Cartesian interface's on the impedance "
        "backend."));
  const ImpedanceOptions& o = *options.backend.impedance;
  const ImpedanceGains scaled = ImpedanceGains::scaled(o.gains.cartesian_stiffness[0]);
  const TuningValues v = tuning_values_of(o, options.limits, options.rotation_limits);
  const bool any_nan = std::any_of(v.begin(), v.end(), [](double x) { return std::isnan(x); });
  if (any_nan || scaled.cartesian_stiffness != o.gains.cartesian_stiffness ||
      scaled.cartesian_damping != o.gains.cartesian_damping)
    return std::unexpected(std::string(
        "korvex target control: this session has no live tuning; its Cartesian gains are not a scaled "
        "ImpedanceGains::CARTESIAN, which is all the one tunable stiffness can rebuild."));
  return {};
}

TuningBlock::TuningBlock() {
  for (auto& v : values_) v.store(0.0);
}

void TuningBlock::publish(const TuningValues& values) {
  std::lock_guard lock(writer_);
  sequence_.fetch_add(1);
  for (std::size_t i = 0; i < kTuningValues; ++i) values_[i].store(values[i]);
  sequence_.fetch_add(1);
}

bool TuningBlock::try_read(TuningValues& out, std::uint64_t& sequence, int attempts) const {
  for (int n = 0; n < attempts; ++n) {
    const std::uint64_t before = sequence_.load();
    if (before % 2 != 0) continue;
    for (std::size_t i = 0; i < kTuningValues; ++i) out[i] = values_[i].load();
    if (sequence_.load() == before) {
      sequence = before;
      return true;
    }
  }
  return false;
}

LiveTuning::LiveTuning(const TuningValues& initial, std::uint64_t applied_sequence)
    : values_(initial), targets_(initial), applied_(applied_sequence) {}

bool LiveTuning::cycle(const TuningBlock& block) {
  if (block.sequence() != applied_) {
    TuningValues read;
    std::uint64_t sequence = 0;
    // A block being written is taken next cycle; the control thread never waits for a writer.
    if (block.try_read(read, sequence, kReadAttempts)) {
      applied_ = sequence;
      // A non-finite block would poison the gains: it is ignored as a whole.
      if (std::all_of(read.begin(), read.end(), [](double x) { return std::isfinite(x); }))
        targets_ = clamp_to_ranges(read);
    }
  }

  const TuningValues before = values_;
  bool changed = false;
  for (std::size_t i = 0; i < kTuningValues; ++i) {
    double& v = values_[i];
    const double target = targets_[i];
    switch (kTuningTable[i].update) {
      case TuningUpdate::Smoothed: {
        const double next = v + kAlpha * (target - v);
        v = next == v ? target : next;
        break;
      }
      case TuningUpdate::AtOnce:
        v = target;
        break;
      case TuningUpdate::FallLimited:
        v = std::max(target, v - kDt * before[i + 1]);
        break;
    }
    changed = changed || v != before[i];
  }
  return changed;
}

TunedSettings LiveTuning::settings() const {
  TunedSettings s;
  s.gains = ImpedanceGains::scaled(values_[kCartesianStiffness]);
  std::copy(values_.begin(), values_.begin() + 7, s.gains.joint_stiffness.begin());
  std::copy(values_.begin() + 7, values_.begin() + 14, s.gains.joint_damping.begin());
  s.ik_damping = values_[kIkDamping];
  s.ik_nullspace_gain = values_[kNullspaceGain];
  s.velocity_feedforward_gain = values_[kFeedforwardGain];
  s.velocity_feedforward_cutoff = values_[kFeedforwardCutoff];
  const OtgLimits budget{values_[kBudget], values_[kBudget + 1], values_[kBudget + 2]};
  const OtgLimits rotation{values_[kRotationBudget], values_[kRotationBudget + 1], values_[kRotationBudget + 2]};
  s.axis_limits = cartesian_axis_limits(budget, rotation);
  return s;
}

}  // namespace korvex
