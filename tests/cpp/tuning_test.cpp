#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <functional>
#include <limits>
#include <thread>

#include "korvex/format.hpp"
#include "korvex/robot/target_control/otg.hpp"
#include "korvex/robot/target_control/tuning/arm_limits.hpp"
#include "korvex/robot/target_control/tuning/live.hpp"
#include "korvex/robot/target_control/tuning/validate.hpp"

namespace korvex {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

struct Case {
  const char* name;
  std::function<void(ImpedanceOptions&)> change;
  std::string message;  // empty: passes
};

void expect_result(const Status& s, const std::string& message, const char* name) {
  if (message.empty()) {
    EXPECT_TRUE(s.has_value()) << name << ": " << (s ? "" : s.error().message());
  } else {
    ASSERT_FALSE(s.has_value()) << name;
    EXPECT_EQ(s.error().kind(), ErrorKind::InvalidArgument) << name;
    EXPECT_EQ(s.error().message(), message) << name;
  }
}

TEST(Tuning, ImpedanceOptionsValidation) {
  const std::string gains = "target control: impedance gains must be finite and non-negative, got ";
  const std::string torques =
      "target control: torque_limits must be positive and at most the rated [87.0, 87.0, 87.0, 87.0, 12.0, 12.0, "
      "12.0] Nm, got ";
  const std::string ik =
      "target control: ik needs a finite, positive damping, finite and non-negative nullspace_gain and tolerance, a "
      "rotation_weight within (0, 1], and at least one iteration, got ";
  const Case cases[] = {
      {"defaults", [](auto&) {}, ""},
      {"gain -0", [](auto& o) { o.gains.joint_stiffness[3] = -0.0; }, ""},
      {"gain -1e-300", [](auto& o) { o.gains.joint_stiffness[3] = -1e-300; },
       gains + "ImpedanceGains { cartesian_stiffness: [0.0, 0.0, 0.0, 0.0, 0.0, 0.0], cartesian_damping: [0.0, 0.0, "
               "0.0, 0.0, 0.0, 0.0], joint_stiffness: [600.0, 600.0, 600.0, -1e-300, 250.0, 150.0, 50.0], "
               "joint_damping: [50.0, 50.0, 50.0, 50.0, 30.0, 25.0, 15.0] }"},
      {"gain NaN", [](auto& o) { o.gains = ImpedanceGains::CARTESIAN, o.gains.cartesian_damping[5] = kNaN; },
       gains + "ImpedanceGains { cartesian_stiffness: [750.0, 750.0, 750.0, 15.0, 15.0, 15.0], cartesian_damping: "
               "[50.0, 50.0, 90.0, 2.0, 2.0, NaN], joint_stiffness: [40.0, 30.0, 50.0, 25.0, 35.0, 25.0, 10.0], "
               "joint_damping: [4.0, 6.0, 5.0, 5.0, 3.0, 2.0, 1.0] }"},
      {"gains before torques", [](auto& o) { o.gains.joint_damping[0] = kInf, o.torque_limits[0] = 0; },
       gains + "ImpedanceGains { cartesian_stiffness: [0.0, 0.0, 0.0, 0.0, 0.0, 0.0], cartesian_damping: [0.0, 0.0, "
               "0.0, 0.0, 0.0, 0.0], joint_stiffness: [600.0, 600.0, 600.0, 600.0, 250.0, 150.0, 50.0], "
               "joint_damping: [inf, 50.0, 50.0, 50.0, 30.0, 25.0, 15.0] }"},
      {"rated torques", [](auto& o) { o.torque_limits = {87, 87, 87, 87, 12, 12, 12}; }, ""},
      {"torque above 87", [](auto& o) { o.torque_limits[0] = 87.5; },
       torques + "[87.5, 86.0, 86.0, 86.0, 11.5, 11.5, 11.5]"},
      {"torque 0 on joint 7", [](auto& o) { o.torque_limits[6] = 0; },
       torques + "[86.0, 86.0, 86.0, 86.0, 11.5, 11.5, 0.0]"},
      {"wrist above 12", [](auto& o) { o.torque_limits[4] = 12.5; },
       torques + "[86.0, 86.0, 86.0, 86.0, 12.5, 11.5, 11.5]"},
      {"cutoff 0", [](auto& o) { o.cutoff_frequency = 0; },
       "target control: cutoff_frequency must be finite and positive, got 0"},
      {"cutoff NaN", [](auto& o) { o.cutoff_frequency = kNaN; },
       "target control: cutoff_frequency must be finite and positive, got NaN"},
      {"feed-forward cutoff 1", [](auto& o) { o.velocity_feedforward_cutoff = 1; }, ""},
      {"feed-forward cutoff 0.5", [](auto& o) { o.velocity_feedforward_cutoff = 0.5; },
       "target control: velocity_feedforward_cutoff must be at least 1 Hz, got 0.5"},
      {"feed-forward cutoff inf", [](auto& o) { o.velocity_feedforward_cutoff = kInf; },
       "target control: velocity_feedforward_cutoff must be at least 1 Hz, got inf"},
      {"feed-forward gain 0", [](auto& o) { o.velocity_feedforward_gain = 0; }, ""},
      {"feed-forward gain 1.5", [](auto& o) { o.velocity_feedforward_gain = 1.5; },
       "target control: velocity_feedforward_gain must be within [0, 1], got 1.5"},
      {"leash rotation 0", [](auto& o) { o.leash.rotation = 0; },
       "target control: leash must be finite and positive, got Leash { translation: 0.025, rotation: 0.0, joint: 0.1 }"},
      {"posture inf", [](auto& o) { o.posture = std::array<double, 7>{0, kInf, 0, -2, 0, 2, 0}; },
       "target control: posture must be finite, got [0.0, inf, 0.0, -2.0, 0.0, 2.0, 0.0]"},
      {"joint velocity fraction 1", [](auto& o) { o.joint_velocity_fraction = 1, o.velocity_barrier_fraction = 1; },
       ""},
      {"joint velocity fraction 0", [](auto& o) { o.joint_velocity_fraction = 0; },
       "target control: joint_velocity_fraction must be in (0, 1], got 0"},
      {"barrier equal", [](auto& o) { o.velocity_barrier_fraction = 0.7; }, ""},
      {"barrier below", [](auto& o) { o.velocity_barrier_fraction = 0.69; },
       "target control: velocity_barrier_fraction must be in [joint_velocity_fraction, 1] = [0.7, 1], got 0.69"},
      {"barrier above 1", [](auto& o) { o.velocity_barrier_fraction = 1.25; },
       "target control: velocity_barrier_fraction must be in [joint_velocity_fraction, 1] = [0.7, 1], got 1.25"},
      {"margin 0.035", [](auto& o) { o.joint_position_margin = 0.035; }, ""},
      {"margin 0.5", [](auto& o) { o.joint_position_margin = 0.5; }, ""},
      {"margin 0.0349", [](auto& o) { o.joint_position_margin = 0.0349; },
       "target control: joint_position_margin must be in [0.035, 0.5] rad, got 0.0349"},
      {"ik zero iterations", [](auto& o) { o.ik.iterations = 0; },
       ik + "IkOptions { damping: 0.05, nullspace_gain: 1.0, iterations: 0, tolerance: 1e-6, rotation_weight: 0.1 }"},
      {"ik rotation weight 1", [](auto& o) { o.ik.rotation_weight = 1; }, ""},
      {"ik rotation weight 0", [](auto& o) { o.ik.rotation_weight = 0; },
       ik + "IkOptions { damping: 0.05, nullspace_gain: 1.0, iterations: 3, tolerance: 1e-6, rotation_weight: 0.0 }"},
      {"ik damping 0", [](auto& o) { o.ik.damping = 0; },
       ik + "IkOptions { damping: 0.0, nullspace_gain: 1.0, iterations: 3, tolerance: 1e-6, rotation_weight: 0.1 }"},
      {"ik tolerance NaN", [](auto& o) { o.ik.tolerance = kNaN; },
       ik + "IkOptions { damping: 0.05, nullspace_gain: 1.0, iterations: 3, tolerance: NaN, rotation_weight: 0.1 }"},
  };
  for (const Case& c : cases) {
    ImpedanceOptions o = ImpedanceOptions::joint_defaults();
    c.change(o);
    expect_result(validate(o), c.message, c.name);
  }
}

TEST(Tuning, JointTargetOptionsValidation) {
  const struct {
    const char* name;
    std::function<void(JointTargetOptions&)> change;
    std::string message;
  } cases[] = {
      {"defaults", [](auto&) {}, ""},
      {"budget", [](auto& o) { o.limits = joint_budget(ArmModel::ZK2, 0.2); }, ""},
      {"jerk 0 on joint 3",
       [](auto& o) {
         o.limits = joint_budget(ArmModel::ZK2, 0.2);
         (*o.limits)[2] = {0.5, 2.0, 0.0};
         o.max_deviation = 0;
       },
       "otg: limits must be finite and positive and the position finite, got OtgLimits { max_velocity: 0.5, "
       "max_acceleration: 2.0, max_jerk: 0.0 } at 0"},
      {"impedance first",
       [](auto& o) {
         o.backend.impedance->cutoff_frequency = -1;
         o.max_deviation = 0;
       },
       "target control: cutoff_frequency must be finite and positive, got -1"},
      {"robot backend has no impedance options", [](auto& o) { o.backend = TargetBackend::robot(); }, ""},
      {"max_deviation 0", [](auto& o) { o.max_deviation = 0; },
       "target control: max_deviation must be finite and positive, got 0"},
      {"settle 0 cycles", [](auto& o) { o.settle.cycles = 0; },
       "target control: settle needs a finite, positive tolerance and at least one cycle, got Settle { tolerance: "
       "0.001, cycles: 0 }"},
      {"settle tolerance 0", [](auto& o) { o.settle.tolerance = 0; },
       "target control: settle needs a finite, positive tolerance and at least one cycle, got Settle { tolerance: 0.0, "
       "cycles: 250 }"},
      {"priority 0", [](auto& o) { o.realtime.realtime_priority = 0; },
       "target control: realtime_priority must be within 1..=99, got 0"},
      {"priority 100", [](auto& o) { o.realtime.realtime_priority = 100; },
       "target control: realtime_priority must be within 1..=99, got 100"},
      {"priority 1", [](auto& o) { o.realtime.realtime_priority = 1; }, ""},
      {"priority 99", [](auto& o) { o.realtime.realtime_priority = 99; }, ""},
      {"priority before cpu",
       [](auto& o) {
         o.realtime.realtime_priority = -5;
         o.realtime.cpu = 4096;
       },
       "target control: realtime_priority must be within 1..=99, got -5"},
      {"cpu 1023", [](auto& o) { o.realtime.cpu = 1023; }, ""},
      {"cpu 1024", [](auto& o) { o.realtime.cpu = 1024; }, "target control: cpu must be below 1024, got 1024"},
      {"posture inside", [](auto& o) { o.backend.impedance->posture = std::array<double, 7>{0, 0, 0, -1.5, 0, 2, 0}; },
       ""},
      {"posture outside",
       [](auto& o) { o.backend.impedance->posture = std::array<double, 7>{0, 0, 0, -0.1, 0, 2, 0}; },
       "target control: the posture puts joint 4 at -0.1 rad, outside [" + fmt::number(-3.0481 + 0.05) + ", " +
           fmt::number(-0.1458 - 0.05) + "] (0.05 rad inside the arm's limits)"},
  };
  for (const auto& c : cases) {
    JointTargetOptions o;
    c.change(o);
    expect_result(validate(o, ArmModel::ZK2), c.message, c.name);
  }
}

TEST(Tuning, CartesianTargetOptionsValidation) {
  const struct {
    const char* name;
    std::function<void(CartesianTargetOptions&)> change;
    std::string message;
  } cases[] = {
      {"defaults", [](auto&) {}, ""},
      {"jerk 0",
       [](auto& o) {
         o.limits.max_jerk = 0;
         o.rotation_limits.max_jerk = 0;
       },
       "otg: limits must be finite and positive and the position finite, got OtgLimits { max_velocity: 0.3, "
       "max_acceleration: 0.5, max_jerk: 0.0 } at 0"},
      {"rotation limits NaN", [](auto& o) { o.rotation_limits.max_velocity = kNaN; },
       "target control: rotation_limits must be finite and positive, got OtgLimits { max_velocity: NaN, "
       "max_acceleration: 1.0, max_jerk: 20.0 }"},
      {"angular deviation inf",
       [](auto& o) {
         o.max_angular_deviation = kInf;
         o.max_deviation = -1;
       },
       "target control: max_angular_deviation must be finite and positive, got inf"},
      {"common checks", [](auto& o) { o.max_deviation = -1; },
       "target control: max_deviation must be finite and positive, got -1"},
      // The margin is at least 0.02 even on the ZK1 table.
      {"posture on ZK1",
       [](auto& o) { o.backend.impedance->posture = std::array<double, 7>{0, 0, 0, -2, 0, 3.74, 0}; },
       "target control: the posture puts joint 6 at 3.74 rad, outside [" + fmt::number(-0.0175 + 0.05) + ", " +
           fmt::number(3.7525 - 0.05) + "] (0.05 rad inside the arm's limits)"},
  };
  for (const auto& c : cases) {
    CartesianTargetOptions o;
    c.change(o);
    expect_result(validate(o, ArmModel::ZK1), c.message, c.name);
  }
}

TEST(Tuning, JointConfigurationCheck) {
  const JointRange& zk2 = joint_range(ArmModel::ZK2);
  std::array<double, 7> q{0, 0, 0, -1.5, 0, 2, 0};
  EXPECT_TRUE(check_joint_configuration("target", q, 0.02, ArmModel::ZK2));
  for (std::size_t j = 0; j < 7; ++j) {
    auto edge = q;
    edge[j] = zk2.lower[j] + 0.02;
    EXPECT_TRUE(check_joint_configuration("target", edge, 0.02, ArmModel::ZK2)) << j;
    edge[j] = zk2.upper[j] - 0.02;
    EXPECT_TRUE(check_joint_configuration("target", edge, 0.02, ArmModel::ZK2)) << j;
    edge[j] = std::nextafter(zk2.upper[j] - 0.02, kInf);
    EXPECT_FALSE(check_joint_configuration("target", edge, 0.02, ArmModel::ZK2)) << j;
  }
  q[1] = kNaN;
  q[2] = 9;
  auto s = check_joint_configuration("target", q, 0.02, ArmModel::ZK2);
  ASSERT_FALSE(s);
  EXPECT_EQ(s.error().message(), "target control: the target puts joint 2 at NaN rad, outside [" +
                                     fmt::number(-1.7918 + 0.02) + ", " + fmt::number(1.7918 - 0.02) +
                                     "] (0.02 rad inside the arm's limits)");
}

TEST(Tuning, ModelTables) {
  EXPECT_EQ(arm_model_of_version(5), ArmModel::ZK1);
  EXPECT_EQ(arm_model_of_version(10), ArmModel::ZK2);
  EXPECT_EQ(joint_limit_table(ArmModel::ZK2)[4], (OtgLimits{5.26, 9.999, 4999.999}));
  EXPECT_EQ(joint_limit_table(ArmModel::ZK1)[1], (OtgLimits{2.151503, 7.499, 3749.999}));
  const auto budget = joint_budget(ArmModel::ZK1, 0.5);
  for (std::size_t j = 0; j < 7; ++j) {
    EXPECT_EQ(budget[j].max_velocity, joint_limit_table(ArmModel::ZK1)[j].max_velocity * 0.5);
    EXPECT_EQ(budget[j].max_jerk, joint_limit_table(ArmModel::ZK1)[j].max_jerk * 0.5);
    EXPECT_LT(joint_range(ArmModel::ZK1).lower[j], joint_range(ArmModel::ZK1).upper[j]);
    EXPECT_LT(joint_range(ArmModel::ZK2).lower[j], joint_range(ArmModel::ZK2).upper[j]);
  }
}

TEST(Tuning, ScaledCartesianGains) {
  EXPECT_EQ(ImpedanceGains::scaled(750), ImpedanceGains::CARTESIAN);
  const ImpedanceGains g = ImpedanceGains::scaled(3000);  // r = 4, sqrt(r) = 2
  EXPECT_EQ(g.cartesian_stiffness, (std::array<double, 6>{3000, 3000, 3000, 60, 60, 60}));
  EXPECT_EQ(g.cartesian_damping, (std::array<double, 6>{100, 100, 180, 4, 4, 4}));
  EXPECT_EQ(g.joint_stiffness, ImpedanceGains::CARTESIAN.joint_stiffness);
  EXPECT_EQ(g.joint_damping, ImpedanceGains::CARTESIAN.joint_damping);
  EXPECT_EQ(field_form(OtgLimits{0.3, 0.5, 20}), "OtgLimits { max_velocity: 0.3, max_acceleration: 0.5, max_jerk: 20.0 }");
}

CartesianTargetOptions cartesian_with(const std::function<void(ImpedanceOptions&)>& change) {
  CartesianTargetOptions o;
  change(*o.backend.impedance);
  return o;
}

TEST(LiveTuning, Availability) {
  const std::string not_scaled =
      "korvex target control: this session has no live tuning; its Cartesian gains are not a scaled "
      "ImpedanceGains::CARTESIAN, which is all the one tunable stiffness can rebuild.";
  EXPECT_TRUE(live_tuning_availability(CartesianTargetOptions{}));
  EXPECT_TRUE(live_tuning_availability(cartesian_with([](auto& o) { o.gains = ImpedanceGains::scaled(1234.5); })));
  // Joint gains are tuned row by row; they need not be the defaults.
  EXPECT_TRUE(live_tuning_availability(cartesian_with([](auto& o) { o.gains.joint_stiffness[0] = 99; })));
  EXPECT_EQ(live_tuning_availability(cartesian_with([](auto& o) { o.gains.cartesian_damping[2] = 91; })).error(),
            not_scaled);
  EXPECT_EQ(live_tuning_availability(cartesian_with([](auto& o) { o.gains.cartesian_stiffness[1] = 700; })).error(),
            not_scaled);
  CartesianTargetOptions robot;
  robot.backend = TargetBackend::robot();
  EXPECT_EQ(live_tuning_availability(robot).error(),
            "korvex target control: this session has no live tuning; it is the Cartesian interface's on the "
            "impedance backend.");
}

struct Live : ::testing::Test {
  CartesianTargetOptions options;
  TuningBlock block;
  TuningValues initial = tuning_values_of(*options.backend.impedance, options.limits, options.rotation_limits);
  void SetUp() override { block.publish(initial); }
  LiveTuning tuning() { return LiveTuning(initial, block.sequence()); }
};

TEST_F(Live, PublishedValuesFollowTheTable) {
  EXPECT_EQ(block.sequence(), 2u);
  EXPECT_EQ(initial[17], 0);  // feed-forward off: published as 0
  EXPECT_EQ(initial[14], 750);
  EXPECT_EQ(initial[19], 0.3);
  EXPECT_EQ(initial[24], 20);
  for (std::size_t i = 0; i < kTuningValues; ++i) {
    EXPECT_GE(initial[i], kTuningTable[i].min) << kTuningTable[i].name;
    EXPECT_LE(initial[i], kTuningTable[i].max) << kTuningTable[i].name;
  }
  auto t = tuning();
  for (int n = 0; n < 10; ++n) EXPECT_FALSE(t.cycle(block));
  EXPECT_EQ(t.values(), initial);
}

TEST_F(Live, SmoothedRowsApproachAndSnap) {
  auto t = tuning();
  TuningValues next = initial;
  next[0] = 900;   // joint stiffness 1
  next[14] = 1500;  // Cartesian stiffness
  block.publish(next);
  const double alpha = 1 - std::exp(-0.001 / 0.3);
  ASSERT_TRUE(t.cycle(block));
  EXPECT_DOUBLE_EQ(t.values()[0], initial[0] + alpha * (900 - initial[0]));
  int cycles = 1;
  double previous = t.values()[14];
  while (t.cycle(block)) {
    ASSERT_GE(t.values()[14], previous);
    previous = t.values()[14];
    ASSERT_LT(++cycles, 100000);
  }
  EXPECT_EQ(t.values()[0], 900);
  EXPECT_EQ(t.values()[14], 1500);
  EXPECT_GT(cycles, 3000);  // several time constants of 0.3 s
  const TunedSettings s = t.settings();
  EXPECT_EQ(s.gains.cartesian_stiffness, ImpedanceGains::scaled(1500).cartesian_stiffness);
  EXPECT_EQ(s.gains.cartesian_damping, ImpedanceGains::scaled(1500).cartesian_damping);
  EXPECT_EQ(s.gains.joint_stiffness[0], 900);
  EXPECT_EQ(s.gains.joint_damping, ImpedanceGains::CARTESIAN.joint_damping);
}

TEST_F(Live, BudgetsRiseAtOnceAndFallRateLimited) {
  auto t = tuning();
  TuningValues next = initial;
  next[19] = 0.05;  // velocity budget falls by dt * acceleration budget per cycle
  next[20] = 0.1;   // acceleration budget falls by dt * the jerk budget before this cycle
  next[21] = 1.0;   // jerk budget: at once
  next[22] = 1.5;   // rotation velocity budget rises at once
  next[18] = 10;    // feed-forward cutoff: at once
  block.publish(next);
  ASSERT_TRUE(t.cycle(block));
  EXPECT_EQ(t.values()[21], 1.0);
  EXPECT_EQ(t.values()[22], 1.5);
  EXPECT_EQ(t.values()[18], 10);
  EXPECT_DOUBLE_EQ(t.values()[20], 0.5 - 0.001 * 20);
  EXPECT_DOUBLE_EQ(t.values()[19], 0.3 - 0.001 * 0.5);
  double velocity = t.values()[19], acceleration = t.values()[20];
  while (t.cycle(block)) {
    ASSERT_GE(t.values()[19], velocity - 0.001 * acceleration - 1e-15);
    ASSERT_GE(t.values()[20], acceleration - 0.001 * 1.0 - 1e-15);
    velocity = t.values()[19];
    acceleration = t.values()[20];
  }
  EXPECT_EQ(t.values()[19], 0.05);
  EXPECT_EQ(t.values()[20], 0.1);
  const auto limits = t.settings().axis_limits;
  const auto expected = cartesian_axis_limits({0.05, 0.1, 1.0}, {1.5, 1.0, 20});
  EXPECT_EQ(limits, expected);
  auto g = *CartesianOtg::create(cartesian_axis_limits(options.limits, options.rotation_limits), {}, true);
  EXPECT_TRUE(g.set_limits(limits));
}

TEST_F(Live, UnsoundBlocksDoNotReachTheGains) {
  auto t = tuning();
  TuningValues next = initial;
  next[3] = kNaN;
  next[0] = 800;
  block.publish(next);
  EXPECT_FALSE(t.cycle(block));
  EXPECT_EQ(t.targets(), initial);
  next[3] = 5000;  // above the row's 1200: clamped
  next[15] = 0;    // below ik damping's 0.001
  block.publish(next);
  t.cycle(block);
  EXPECT_EQ(t.targets()[3], 1200);
  EXPECT_EQ(t.targets()[15], 0.001);
  EXPECT_EQ(t.targets()[0], 800);
}

// A reader never sees a mix of two writes.
TEST(TuningBlock, ReadsAreConsistentUnderConcurrentWrites) {
  TuningBlock block;
  TuningValues v{};
  block.publish(v);
  std::atomic<bool> stop{false};
  std::thread writer([&] {
    TuningValues w{};
    for (double generation = 1; !stop.load(); ++generation) {
      w.fill(generation);
      block.publish(w);
    }
  });
  int stable = 0;
  for (int n = 0; n < 200000; ++n) {
    TuningValues out;
    std::uint64_t sequence = 0;
    if (!block.try_read(out, sequence, 3)) continue;
    ++stable;
    ASSERT_EQ(sequence % 2, 0u);
    for (double x : out) ASSERT_EQ(x, out[0]);
  }
  stop = true;
  writer.join();
  EXPECT_GT(stable, 0);
}

}  // namespace
}  // namespace korvex
