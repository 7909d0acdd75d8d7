#include <gtest/gtest.h>

#include <Eigen/Geometry>
#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <random>

#include "korvex/model/rotation.hpp"
#include "korvex/robot/target_control/otg.hpp"

namespace korvex {
namespace {

constexpr double kDt = 0.001;
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

// Seeded random cases; KORVEX_OTG_CASES raises the count for a longer soak.
int case_count(int fallback) {
  const char* s = std::getenv("KORVEX_OTG_CASES");
  return s ? std::max(1, std::atoi(s)) : fallback;
}

template <std::size_t N>
std::array<OtgLimits, N> same_limits(OtgLimits l) {
  std::array<OtgLimits, N> out;
  out.fill(l);
  return out;
}

template <std::size_t N>
Otg<N> make(const std::array<OtgLimits, N>& limits, const std::array<double, N>& positions, bool sync = true) {
  auto g = Otg<N>::create(limits, positions, sync);
  EXPECT_TRUE(g.has_value()) << g.error().message();
  return *g;
}

bool at_rest_on_target(const OtgAxis& a) { return a.position == a.target && a.velocity == 0 && a.acceleration == 0; }

// Steps until every axis rests exactly on its target; checks the limits and continuity on the way.
// Returns, per axis, the cycle from which it stayed at rest on target (-1: never).
template <std::size_t N>
std::array<int, N> run_to_rest(Otg<N>& g, int max_cycles) {
  std::array<int, N> arrived;
  arrived.fill(-1);
  for (std::size_t i = 0; i < N; ++i)
    if (at_rest_on_target(g.axis(i))) arrived[i] = 0;
  for (int cycle = 1; cycle <= max_cycles; ++cycle) {
    std::array<OtgAxis, N> before;
    for (std::size_t i = 0; i < N; ++i) before[i] = g.axis(i);
    g.step(kDt);
    bool all = true;
    for (std::size_t i = 0; i < N; ++i) {
      const OtgAxis& a = g.axis(i);
      const OtgAxis& b = before[i];
      const double slack = 1 + 1e-9;
      EXPECT_LE(std::fabs(a.velocity), a.max_velocity) << "axis " << i << " cycle " << cycle;
      EXPECT_LE(std::fabs(a.acceleration), a.max_acceleration) << "axis " << i << " cycle " << cycle;
      EXPECT_LE(std::fabs(a.acceleration - b.acceleration), a.max_jerk * kDt * slack + 1e-12)
          << "axis " << i << " cycle " << cycle;
      EXPECT_LE(std::fabs(a.velocity - b.velocity), a.max_acceleration * kDt * slack + 1e-12)
          << "axis " << i << " cycle " << cycle;
      if (at_rest_on_target(a)) {
        if (arrived[i] < 0) arrived[i] = cycle;
      } else {
        EXPECT_LT(arrived[i], 0) << "axis " << i << " left its target at cycle " << cycle;
        arrived[i] = -1;
        all = false;
      }
    }
    if (all) break;
    if (::testing::Test::HasFailure()) break;
  }
  return arrived;
}

TEST(Otg, ConstructionRejectsTheFirstBadAxis) {
  const OtgLimits good{0.3, 0.5, 20};
  const struct {
    std::size_t axis;
    OtgLimits limits;
    double position;
    const char* message;
  } cases[] = {
      {2, {0.3, 0.5, 0}, 0.25,
       "otg: limits must be finite and positive and the position finite, got OtgLimits { max_velocity: 0.3, "
       "max_acceleration: 0.5, max_jerk: 0.0 } at 0.25"},
      {0, {-1, 0.5, 20}, 1, "otg: limits must be finite and positive and the position finite, got OtgLimits { "
                            "max_velocity: -1.0, max_acceleration: 0.5, max_jerk: 20.0 } at 1"},
      {6, {0.3, kNaN, 20}, 0, "otg: limits must be finite and positive and the position finite, got OtgLimits { "
                              "max_velocity: 0.3, max_acceleration: NaN, max_jerk: 20.0 } at 0"},
      {4, {kInf, 0.5, 20}, -2, "otg: limits must be finite and positive and the position finite, got OtgLimits { "
                               "max_velocity: inf, max_acceleration: 0.5, max_jerk: 20.0 } at -2"},
      {3, good, kNaN, "otg: limits must be finite and positive and the position finite, got OtgLimits { "
                      "max_velocity: 0.3, max_acceleration: 0.5, max_jerk: 20.0 } at NaN"},
      {5, {0.3, 1e-5, 20}, kInf, "otg: limits must be finite and positive and the position finite, got OtgLimits { "
                                 "max_velocity: 0.3, max_acceleration: 1e-5, max_jerk: 20.0 } at inf"},
  };
  for (const auto& c : cases) {
    auto limits = same_limits<7>(good);
    std::array<double, 7> positions{};
    limits[c.axis] = c.limits;
    positions[c.axis] = c.position;
    // A later bad axis must not be the one reported.
    if (c.axis < 6) limits[6] = {0, 0, 0};
    auto g = JointOtg::create(limits, positions, true);
    ASSERT_FALSE(g.has_value());
    EXPECT_EQ(g.error().kind(), ErrorKind::InvalidArgument);
    EXPECT_EQ(g.error().message(), c.message);
  }
}

TEST(Otg, SetLimitsIsAllOrNothingAndKeepsTheState) {
  auto g = make(same_limits<6>({0.3, 0.5, 20}), {0, 0, 0, 0, 0, 0});
  ASSERT_TRUE(g.set_targets({1, 0, 0, 0, 0, 0}));
  for (int i = 0; i < 100; ++i) g.step(kDt);
  const OtgAxis before = g.axis(0);

  auto bad = same_limits<6>({0.3, 0.5, 20});
  bad[5].max_jerk = -0.0;
  auto s = g.set_limits(bad);
  ASSERT_FALSE(s);
  EXPECT_EQ(s.error().message(),
            "otg: limits must be finite and positive, got [OtgLimits { max_velocity: 0.3, max_acceleration: 0.5, "
            "max_jerk: 20.0 }, OtgLimits { max_velocity: 0.3, max_acceleration: 0.5, max_jerk: 20.0 }, OtgLimits { "
            "max_velocity: 0.3, max_acceleration: 0.5, max_jerk: 20.0 }, OtgLimits { max_velocity: 0.3, "
            "max_acceleration: 0.5, max_jerk: 20.0 }, OtgLimits { max_velocity: 0.3, max_acceleration: 0.5, "
            "max_jerk: 20.0 }, OtgLimits { max_velocity: 0.3, max_acceleration: 0.5, max_jerk: -0.0 }]");
  EXPECT_EQ(g.axis(5).max_jerk, 20);

  ASSERT_TRUE(g.set_limits(same_limits<6>({0.6, 0.7, 30})));
  const OtgAxis& after = g.axis(0);
  EXPECT_EQ(after.max_velocity, 0.6);
  EXPECT_EQ(after.max_acceleration, 0.7);
  EXPECT_EQ(after.max_jerk, 30);
  EXPECT_EQ(after.position, before.position);
  EXPECT_EQ(after.velocity, before.velocity);
  EXPECT_EQ(after.acceleration, before.acceleration);
  EXPECT_EQ(after.target, 1);
}

TEST(Otg, SetStateClampsOrRefusesAsAWhole) {
  auto g = make(same_limits<7>({1, 2, 50}), {0, 0, 0, 0, 0, 0, 0});
  ASSERT_TRUE(g.set_state({1, 2, 3, 4, 5, 6, 7}, {5, -5, 0.5, 0, 0, 0, 0}, {-9, 9, 1.5, 0, 0, 0, 0}));
  EXPECT_EQ(g.velocities(), (std::array<double, 7>{1, -1, 0.5, 0, 0, 0, 0}));
  EXPECT_EQ(g.accelerations(), (std::array<double, 7>{-2, 2, 1.5, 0, 0, 0, 0}));
  EXPECT_EQ(g.positions(), (std::array<double, 7>{1, 2, 3, 4, 5, 6, 7}));
  EXPECT_EQ(g.targets(), (std::array<double, 7>{}));

  auto s = g.set_state({0, 0, 0, 0, 0, 0, 0}, {0, 0, 0, kInf, 0, 0, 0}, {0, 0, 0, 0, 0, 0, 0});
  ASSERT_FALSE(s);
  EXPECT_EQ(s.error().kind(), ErrorKind::InvalidArgument);
  EXPECT_EQ(s.error().message(),
            "otg: state must be finite, got [0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0], [0.0, 0.0, 0.0, inf, 0.0, 0.0, 0.0], "
            "[0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0]");
  EXPECT_EQ(g.positions(), (std::array<double, 7>{1, 2, 3, 4, 5, 6, 7}));
  EXPECT_EQ(g.velocities()[0], 1);
}

TEST(Otg, SetTargetsRefusesNonFiniteAndKeepsThePrevious) {
  auto g = make(same_limits<7>({1, 2, 50}), {0, 0, 0, 0, 0, 0, 0});
  ASSERT_TRUE(g.set_targets({1, 1, 1, 1, 1, 1, 1}));
  auto s = g.set_targets({0.5, kNaN, 0, 0, 0, 0, 0});
  ASSERT_FALSE(s);
  EXPECT_EQ(s.error().message(), "otg: target must be finite, got [0.5, NaN, 0.0, 0.0, 0.0, 0.0, 0.0]");
  EXPECT_EQ(g.targets(), (std::array<double, 7>{1, 1, 1, 1, 1, 1, 1}));
}

TEST(Otg, AtRestOnTargetStaysPut) {
  auto g = make(same_limits<7>({1, 2, 50}), {0.1, -0.2, 0.3, -2, 0, 1.5, 0.7});
  EXPECT_EQ(otg::time_optimal_profile(g.axis(3)).duration(), 0);
  const auto p = g.positions();
  for (int i = 0; i < 10; ++i) EXPECT_EQ(g.step(kDt), p);
  EXPECT_EQ(g.velocities(), (std::array<double, 7>{}));
  EXPECT_EQ(g.accelerations(), (std::array<double, 7>{}));
}

TEST(Otg, NonPositiveOrNonFiniteStepChangesNothing) {
  auto g = make(same_limits<7>({1, 2, 50}), {0, 0, 0, 0, 0, 0, 0});
  ASSERT_TRUE(g.set_targets({1, -1, 0.5, 0, 0, 0, 2}));
  for (int i = 0; i < 50; ++i) g.step(kDt);
  for (double dt : {0.0, -0.0, -kDt, kNaN, -kInf, kInf}) {
    const auto p = g.positions(), v = g.velocities(), a = g.accelerations();
    EXPECT_EQ(g.step(dt), p) << dt;
    EXPECT_EQ(g.velocities(), v) << dt;
    EXPECT_EQ(g.accelerations(), a) << dt;
  }
}

// Rest to rest over a long distance: T = D/V + V/A + A/J when V >= A^2/J.
TEST(Otg, FarTargetCruisesAtTheLimitAndLandsOnTime) {
  const struct { OtgLimits l; double distance; } cases[] = {
      {{0.3, 0.5, 20}, 1.0}, {{2.62 * 0.2, 9.999 * 0.2, 4999.999 * 0.2}, -2.0}, {{1.0, 3.0, 10}, 4.0},
  };
  for (const auto& c : cases) {
    auto g = make(same_limits<7>(c.l), {0.5, 0, 0, 0, 0, 0, 0});
    ASSERT_TRUE(g.set_targets({0.5 + c.distance, 0, 0, 0, 0, 0, 0}));
    const double V = c.l.max_velocity, A = c.l.max_acceleration, J = c.l.max_jerk;
    const double expected = std::fabs(c.distance) / V + V / A + A / J;
    double top_speed = 0, top_acceleration = 0;
    int landed = -1;
    for (int cycle = 1; cycle < 100000 && landed < 0; ++cycle) {
      g.step(kDt);
      top_speed = std::max(top_speed, std::fabs(g.axis(0).velocity));
      top_acceleration = std::max(top_acceleration, std::fabs(g.axis(0).acceleration));
      if (at_rest_on_target(g.axis(0))) landed = cycle;
    }
    EXPECT_EQ(top_speed, V);
    EXPECT_NEAR(top_acceleration, A, A * 1e-9);
    EXPECT_NEAR(landed, std::ceil(expected / kDt), 1.0) << "expected duration " << expected;
    EXPECT_EQ(g.axis(0).position, 0.5 + c.distance);
  }
}

// States the generator reaches itself: a first target followed for a random while, then a new one.
TEST(Otg, RandomStatesLandExactlyWithinTheLimits) {
  std::mt19937_64 rng(20240611);
  std::uniform_real_distribution<double> unit(-1, 1);
  std::uniform_real_distribution<double> log_scale(0, 1);
  std::uniform_int_distribution<int> lead(0, 1500);
  const int cases = case_count(30);
  for (int n = 0; n < cases; ++n) {
    std::array<OtgLimits, 7> limits;
    std::array<double, 7> p, first, t;
    for (std::size_t i = 0; i < 7; ++i) {
      limits[i] = {0.1 * std::pow(30, log_scale(rng)), 0.5 * std::pow(40, log_scale(rng)),
                   5 * std::pow(1000, log_scale(rng))};
      p[i] = unit(rng);
      first[i] = unit(rng);
      t[i] = unit(rng);
    }
    auto g = make(limits, p, n % 2 == 0);
    ASSERT_TRUE(g.set_targets(first));
    for (int k = lead(rng); k > 0; --k) g.step(kDt);
    auto h = make(limits, g.positions());
    ASSERT_TRUE(h.set_state(g.positions(), g.velocities(), g.accelerations()));
    if (n % 3 == 0) t[n % 7] = g.positions()[n % 7];  // keep one axis's target where it is
    ASSERT_TRUE(h.set_targets(t));
    const auto arrived = run_to_rest(h, 60000);
    if (HasFailure()) return;
    for (std::size_t i = 0; i < 7; ++i) {
      ASSERT_GE(arrived[i], 0) << "case " << n << " axis " << i;
      EXPECT_EQ(h.axis(i).position, t[i]);
    }
  }
}

// Rest-to-rest moves on axes with equal limits, as a joint budget has: every axis is slowed to the
// longest one. Stretching only scales the cruise velocity, so an axis already braking cannot follow
// late changes of the longest duration and arrives a few cycles apart.
TEST(Otg, SynchronisedAxesArriveTogether) {
  std::mt19937_64 rng(5);
  std::uniform_real_distribution<double> unit(-1, 1);
  for (int n = 0; n < case_count(40); ++n) {
    const OtgLimits l{0.524, 2.0, 1000};
    std::array<double, 7> p, t;
    for (std::size_t i = 0; i < 7; ++i) p[i] = unit(rng), t[i] = unit(rng);
    auto g = make(same_limits<7>(l), p);
    ASSERT_TRUE(g.set_targets(t));
    double longest = 0;
    for (std::size_t i = 0; i < 7; ++i) longest = std::max(longest, otg::time_optimal_profile(g.axis(i)).duration());
    const auto arrived = run_to_rest(g, 60000);
    if (HasFailure()) return;
    const auto [first, last] = std::minmax_element(arrived.begin(), arrived.end());
    ASSERT_GE(*first, 1);
    EXPECT_LE(*last - *first, 0.02 * longest / kDt) << "case " << n;
  }
}

TEST(Otg, UnsynchronisedAxesLandOnTheirOwn) {
  auto g = make(same_limits<7>({1, 2, 50}), {0, 0, 0, 0, 0, 0, 0}, false);
  ASSERT_TRUE(g.set_targets({0.05, 1.5, 0, 0, 0, 0, -0.3}));
  const auto arrived = run_to_rest(g, 10000);
  EXPECT_LT(arrived[0], arrived[6]);
  EXPECT_LT(arrived[6], arrived[1]);
  EXPECT_EQ(arrived[2], 0);
}

TEST(Otg, ShortAndLongMoveArriveInTheSameCycle) {
  const struct { OtgLimits l; double shorter, longer; } cases[] = {
      {{0.524, 2.0, 1000}, 0.3, 1.0},
      {{1, 2, 50}, -0.2, 1.5},
      {{0.3, 0.5, 20}, 0.05, -0.4},
  };
  for (const auto& c : cases) {
    auto g = make(same_limits<7>(c.l), {0, 0, 0, 0, 0, 0, 0});
    ASSERT_TRUE(g.set_targets({c.shorter, c.longer, 0, 0, 0, 0, 0}));
    auto solo = make(same_limits<7>(c.l), {0, 0, 0, 0, 0, 0, 0});
    ASSERT_TRUE(solo.set_targets({0, c.longer, 0, 0, 0, 0, 0}));
    const auto together = run_to_rest(g, 10000);
    const auto alone = run_to_rest(solo, 10000);
    EXPECT_EQ(together[1], alone[1]) << c.shorter << " " << c.longer;
    EXPECT_EQ(together[0], alone[1]) << c.shorter << " " << c.longer;
    EXPECT_EQ(together[2], 0);  // at rest on target: zero profile, never stretched
  }
}

TEST(Otg, TargetMovingEveryCycleStaysContinuous) {
  std::mt19937_64 rng(7);
  std::uniform_real_distribution<double> unit(-1, 1);
  for (int n = 0; n < case_count(20); ++n) {
    auto g = make(same_limits<7>({0.5 + unit(rng) * 0.4, 3 + unit(rng), 100 + 90 * unit(rng)}),
                  {0, 0, 0, 0, 0, 0, 0});
    std::array<double, 7> target{};
    std::array<double, 7> drift{};
    for (int cycle = 0; cycle < 3000; ++cycle) {
      for (std::size_t i = 0; i < 7; ++i) {
        // A random walk with occasional jumps, including reversals mid-motion.
        drift[i] = 0.95 * drift[i] + 0.01 * unit(rng);
        target[i] += drift[i];
        if (cycle % 500 == 250) target[i] = -target[i];
      }
      ASSERT_TRUE(g.set_targets(target));
      std::array<OtgAxis, 7> before;
      for (std::size_t i = 0; i < 7; ++i) before[i] = g.axis(i);
      g.step(kDt);
      for (std::size_t i = 0; i < 7; ++i) {
        const OtgAxis& a = g.axis(i);
        ASSERT_LE(std::fabs(a.velocity), a.max_velocity);
        ASSERT_LE(std::fabs(a.acceleration), a.max_acceleration);
        ASSERT_LE(std::fabs(a.acceleration - before[i].acceleration), a.max_jerk * kDt * (1 + 1e-9) + 1e-12)
            << "case " << n << " cycle " << cycle << " axis " << i;
        ASSERT_LE(std::fabs(a.velocity - before[i].velocity), a.max_acceleration * kDt * (1 + 1e-9) + 1e-12);
        ASSERT_LE(std::fabs(a.position - before[i].position), a.max_velocity * kDt * (1 + 1e-9) + 1e-12);
      }
    }
  }
}

TEST(Otg, ReversalBringsTheAccelerationDownFirst) {
  auto g = make(same_limits<7>({1, 2, 50}), {0, 0, 0, 0, 0, 0, 0});
  ASSERT_TRUE(g.set_targets({5, 0, 0, 0, 0, 0, 0}));
  while (g.axis(0).acceleration < 1.5) g.step(kDt);
  ASSERT_TRUE(g.set_targets({-1, 0, 0, 0, 0, 0, 0}));
  const double a0 = g.axis(0).acceleration;
  g.step(kDt);
  EXPECT_NEAR(g.axis(0).acceleration, a0 - 50 * kDt, 1e-12);
  const auto arrived = run_to_rest(g, 20000);
  EXPECT_GT(arrived[0], 0);
  EXPECT_EQ(g.axis(0).position, -1);
}

// A plain evaluation of the generator, one axis and one profile at a time, for comparing the
// generator with bit for bit.
namespace plain {

OtgProfile profile(const OtgAxis& x, double vc) {
  const double J = x.max_jerk, A = x.max_acceleration, v0 = x.velocity, a0 = x.acceleration;
  const double delta = vc - v0;
  const double e = std::copysign(1.0, delta - a0 * std::fabs(a0) / (2 * J));
  const double f = e * a0, g = e * delta;
  const double h = std::min(std::sqrt(std::max(J * g + f * f / 2, 0.0)), A);
  const double t1 = std::max((h - f) / J, 0.0);
  const double t2 = h > 0 ? std::max((g - (2 * h * h - f * f) / (2 * J)) / h, 0.0) : 0.0;
  const double s = std::copysign(1.0, -vc);
  const double w = std::min(std::sqrt(std::max(J * std::fabs(vc), 0.0)), A);
  const double t6 = w > 0 ? std::max((std::fabs(vc) - w * w / J) / w, 0.0) : 0.0;
  OtgProfile pr;
  pr.cruise_velocity = vc;
  pr.phases = {{{e * J, t1}, {0, t2}, {-e * J, h / J}, {0, 0}, {s * J, w / J}, {0, t6}, {-s * J, w / J}}};
  double p = x.position, v = v0, a = a0;
  for (const OtgPhase& ph : pr.phases) {
    const double tau = ph.duration, tau2 = tau * tau;
    p += v * tau + a * tau2 / 2 + ph.jerk * tau2 * tau / 6;
    v += a * tau + ph.jerk * tau2 / 2;
    a += ph.jerk * tau;
  }
  pr.shortfall = x.target - p;
  pr.phases[3].duration = (vc != 0 && std::fabs(pr.shortfall) >= 1e-9) ? std::max(pr.shortfall / vc, 0.0) : 0.0;
  return pr;
}

OtgProfile time_optimal(const OtgAxis& x) {
  if (x.position == x.target && x.velocity == 0 && x.acceleration == 0) return {};
  const double V = x.max_velocity, J = x.max_jerk, A = x.max_acceleration;
  const OtgProfile top = profile(x, V);
  if (top.shortfall >= 0) return top;
  const OtgProfile bottom = profile(x, -V);
  if (bottom.shortfall <= 0) return bottom;
  const double vb = x.velocity + x.acceleration * std::fabs(x.acceleration) / (2 * J), K = A * A / J;
  const double breaks[5] = {-V, std::clamp(vb - K, -V, V), std::clamp(vb, -V, V), std::clamp(vb + K, -V, V), V};
  OtgProfile best = bottom;
  bool found = false;
  for (int i = 0; i < 4; ++i) {
    double lo = breaks[i], hi = breaks[i + 1];
    const bool negative_lo = std::signbit(profile(x, lo).shortfall);
    if (!(lo < hi) || negative_lo == std::signbit(profile(x, hi).shortfall)) continue;
    for (int n = 0; n < 200 && hi - lo > 1e-10 * V; ++n) {
      const double mid = (lo + hi) / 2;
      if (!(mid > lo && mid < hi)) break;
      (std::signbit(profile(x, mid).shortfall) == negative_lo ? lo : hi) = mid;
    }
    const OtgProfile candidate = profile(x, (lo + hi) / 2);
    if (!found || candidate.duration() < best.duration()) best = candidate;
    found = true;
  }
  return best;
}

OtgProfile stretch(const OtgAxis& x, const OtgProfile& pr, double duration) {
  const double vc = pr.cruise_velocity;
  if (vc == 0 || !(duration > pr.duration())) return pr;
  auto acceptable = [&](double factor) {
    const OtgProfile q = profile(x, factor * vc);
    return vc * q.shortfall >= 0 && q.duration() >= duration;
  };
  if (!acceptable(1e-9)) return pr;
  double lo = 1e-9, hi = 1;
  for (int n = 0; n < 40; ++n) (acceptable((lo + hi) / 2) ? lo : hi) = (lo + hi) / 2;
  return profile(x, lo * vc);
}

}  // namespace plain

void expect_same(const OtgProfile& got, const OtgProfile& want, int n) {
  for (std::size_t i = 0; i < 7; ++i) {
    EXPECT_EQ(std::bit_cast<std::uint64_t>(got.phases[i].jerk), std::bit_cast<std::uint64_t>(want.phases[i].jerk))
        << "case " << n << " phase " << i;
    EXPECT_EQ(std::bit_cast<std::uint64_t>(got.phases[i].duration),
              std::bit_cast<std::uint64_t>(want.phases[i].duration))
        << "case " << n << " phase " << i;
  }
  EXPECT_EQ(std::bit_cast<std::uint64_t>(got.cruise_velocity), std::bit_cast<std::uint64_t>(want.cruise_velocity));
  EXPECT_EQ(std::bit_cast<std::uint64_t>(got.shortfall), std::bit_cast<std::uint64_t>(want.shortfall));
}

// Random axes and states, on and off the limits, with and without the acceleration peak at the limit.
OtgAxis random_axis(std::mt19937_64& rng) {
  std::uniform_real_distribution<double> unit(-1, 1), log_scale(0, 1);
  OtgAxis x;
  x.max_velocity = 0.05 * std::pow(60, log_scale(rng));
  x.max_acceleration = 0.2 * std::pow(100, log_scale(rng));
  x.max_jerk = 2 * std::pow(3000, log_scale(rng));
  x.position = unit(rng);
  const double edge = unit(rng);
  x.velocity = edge > 0.8 ? std::copysign(x.max_velocity, unit(rng)) : x.max_velocity * unit(rng);
  x.acceleration = edge < -0.8 ? std::copysign(x.max_acceleration, unit(rng)) : x.max_acceleration * unit(rng);
  x.target = x.position + std::pow(10, -6 + 7 * log_scale(rng)) * unit(rng);
  return x;
}

TEST(Otg, ProfilesMatchAPlainEvaluationBitForBit) {
  std::mt19937_64 rng(31);
  std::uniform_real_distribution<double> unit(-1, 1);
  for (int n = 0; n < case_count(3000); ++n) {
    const OtgAxis x = random_axis(rng);
    const double vc = n % 10 == 0 ? (n % 20 ? 0.0 : -0.0) : x.max_velocity * unit(rng);
    expect_same(otg::profile_for_cruise(x, vc), plain::profile(x, vc), n);
    const OtgProfile best = otg::time_optimal_profile(x);
    expect_same(best, plain::time_optimal(x), n);
    const double longer = best.duration() * (1 + 2 * std::fabs(unit(rng)));
    expect_same(otg::stretch_profile(x, best, longer), plain::stretch(x, best, longer), n);
    if (HasFailure()) return;
  }
}

// Whole steps of differently limited axes, synchronised or not, against the plain evaluation.
TEST(Otg, StepsMatchAPlainEvaluationBitForBit) {
  std::mt19937_64 rng(32);
  for (int n = 0; n < case_count(300); ++n) {
    std::array<OtgAxis, 7> axes;
    std::array<OtgLimits, 7> limits;
    std::array<double, 7> p, v, a, t;
    for (std::size_t i = 0; i < 7; ++i) {
      axes[i] = random_axis(rng);
      if (n % 5 == 0 && i == n % 7) axes[i].target = axes[i].position, axes[i].velocity = axes[i].acceleration = 0;
      limits[i] = {axes[i].max_velocity, axes[i].max_acceleration, axes[i].max_jerk};
      p[i] = axes[i].position, v[i] = axes[i].velocity, a[i] = axes[i].acceleration, t[i] = axes[i].target;
    }
    auto g = make(limits, p, n % 4 != 3);
    ASSERT_TRUE(g.set_state(p, v, a));
    ASSERT_TRUE(g.set_targets(t));
    for (int cycle = 0; cycle < 20; ++cycle) {
      std::array<OtgProfile, 7> profiles;
      double longest = 0;
      for (std::size_t i = 0; i < 7; ++i) {
        profiles[i] = plain::time_optimal(axes[i]);
        longest = std::max(longest, profiles[i].duration());
      }
      for (std::size_t i = 0; i < 7 && g.synchronise() && kDt < longest; ++i)
        profiles[i] = plain::stretch(axes[i], profiles[i], longest);
      for (std::size_t i = 0; i < 7; ++i) otg::evaluate(axes[i], profiles[i], kDt);
      g.step(kDt);
      for (std::size_t i = 0; i < 7; ++i) {
        ASSERT_EQ(std::bit_cast<std::uint64_t>(g.axis(i).position), std::bit_cast<std::uint64_t>(axes[i].position))
            << "case " << n << " cycle " << cycle << " axis " << i;
        ASSERT_EQ(std::bit_cast<std::uint64_t>(g.axis(i).velocity), std::bit_cast<std::uint64_t>(axes[i].velocity));
        ASSERT_EQ(std::bit_cast<std::uint64_t>(g.axis(i).acceleration),
                  std::bit_cast<std::uint64_t>(axes[i].acceleration));
      }
    }
  }
}

std::array<double, 7> pose(const Eigen::Vector3d& p, const Eigen::Matrix3d& R, double scale = 1) {
  const Eigen::Quaterniond q(R);
  return {p.x(), p.y(), p.z(), scale * q.x(), scale * q.y(), scale * q.z(), scale * q.w()};
}

TEST(OtgMapping, CartesianTargetIsTheRotationVectorOfTheRelativeRotation) {
  std::mt19937_64 rng(99);
  std::uniform_real_distribution<double> unit(-1, 1);
  for (int n = 0; n < 200; ++n) {
    const Eigen::Vector3d axis_ref = Eigen::Vector3d(unit(rng), unit(rng), unit(rng));
    const Eigen::Matrix3d R_ref = model::exp_rotation(axis_ref * 2.5);
    Eigen::Vector3d r(unit(rng), unit(rng), unit(rng));
    r *= 3.0 * std::fabs(unit(rng)) / std::max(r.norm(), 1e-3);  // angle below pi
    const Eigen::Matrix3d R_target = model::exp_rotation(r) * R_ref;
    const Eigen::Vector3d p_ref(unit(rng), unit(rng), unit(rng));
    const Eigen::Vector3d p_target(unit(rng), unit(rng), unit(rng));
    // Quaternions are normalised first, and their sign does not matter.
    const auto c = cartesian_coordinates(pose(p_target, R_target, n % 2 ? -2.0 : 1.0), pose(p_ref, R_ref, 0.5));
    for (int i = 0; i < 3; ++i) {
      EXPECT_EQ(c.reference[i], p_ref[i]);
      EXPECT_EQ(c.reference[3 + i], 0);
      EXPECT_EQ(c.target[i], p_target[i]);
      EXPECT_NEAR(c.target[3 + i], r[i], 1e-9) << "case " << n;
    }
  }
}

TEST(OtgMapping, JointMappingIsTheIdentity) {
  const std::array<double, 7> target{1, 2, 3, 4, 5, 6, 7}, reference{-1, -2, -3, -4, -5, -6, -7};
  const auto c = joint_coordinates(target, reference);
  EXPECT_EQ(c.reference, reference);
  EXPECT_EQ(c.target, target);
}

TEST(OtgMapping, CartesianAxisLimitsKeepTheNormWithinTheBudget) {
  const OtgLimits budget{0.3, 0.5, 20}, rotation{0.5, 1.0, 20};
  const auto l = cartesian_axis_limits(budget, rotation);
  const double b[] = {0.3, 0.5, 20}, r[] = {0.5, 1.0, 20};
  for (std::size_t axis = 0; axis < 6; ++axis) {
    const double want[3] = {axis < 3 ? b[0] : 0.99 * r[0], axis < 3 ? b[1] : 0.99 * r[1],
                            axis < 3 ? b[2] : 0.99 * r[2]};
    EXPECT_NEAR(std::sqrt(3.0) * l[axis].max_velocity, want[0], 1e-15 * want[0] * 4);
    EXPECT_NEAR(std::sqrt(3.0) * l[axis].max_acceleration, want[1], 1e-15 * want[1] * 4);
    EXPECT_NEAR(std::sqrt(3.0) * l[axis].max_jerk, want[2], 1e-15 * want[2] * 4);
  }
}

}  // namespace
}  // namespace korvex
