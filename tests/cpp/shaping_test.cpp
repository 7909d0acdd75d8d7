#include <gtest/gtest.h>

#include <Eigen/Core>
#include <cmath>
#include <limits>
#include <numbers>
#include <string>

#include "korvex/model/rotation.hpp"
#include "korvex/robot/shaping.hpp"

namespace korvex {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kDt = 0.001;

double gain(double cutoff) { return kDt / (kDt + 1.0 / (2.0 * std::numbers::pi * cutoff)); }

template <class T>
void expect_error(const Result<T>& r, std::string_view message, const std::string& label = {}) {
  ASSERT_FALSE(r.has_value()) << label;
  EXPECT_EQ(r.error().kind(), ErrorKind::InvalidArgument) << label;
  EXPECT_EQ(r.error().message(), message) << label;
}

Pose identity() { return {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1}; }

Pose pose_of(const Eigen::Matrix3d& R, const Eigen::Vector3d& t) {
  Pose p = identity();
  for (int c = 0; c < 3; ++c)
    for (int r = 0; r < 3; ++r) p[static_cast<std::size_t>(4 * c + r)] = R(r, c);
  for (int i = 0; i < 3; ++i) p[static_cast<std::size_t>(12 + i)] = t[i];
  return p;
}

Eigen::Matrix3d rotation_of(const Pose& p) {
  return Eigen::Map<const Eigen::Matrix4d>(p.data()).topLeftCorner<3, 3>();
}

double max_difference(const Pose& a, const Pose& b) {
  double m = 0;
  for (std::size_t i = 0; i < 16; ++i) m = std::max(m, std::abs(a[i] - b[i]));
  return m;
}

// Angle between two rotations [rad].
double angle_between(const Eigen::Matrix3d& a, const Eigen::Matrix3d& b) {
  return model::log_rotation(a * b.transpose()).norm();
}

// --- limit tables ---

TEST(ShapingLimits, TablesOfBothVersions) {
  const ShapingLimits& v5 = shaping_limits(5);
  const ShapingLimits& v10 = shaping_limits(10);
  EXPECT_EQ(v5.joint_acceleration, (Vec7{14.999, 7.499, 9.999, 12.499, 14.999, 19.999, 19.999}));
  EXPECT_EQ(v5.joint_jerk, (Vec7{7499.999, 3749.999, 4999.999, 6249.999, 7499.999, 9999.999, 9999.999}));
  EXPECT_EQ(v10.joint_acceleration, (Vec7{9.999, 9.999, 9.999, 9.999, 9.999, 9.999, 9.999}));
  EXPECT_EQ(v10.joint_jerk, (Vec7{4999.999, 4999.999, 4999.999, 4999.999, 4999.999, 4999.999, 4999.999}));
  const struct {
    double v5, v10, ShapingLimits::*field;
  } scalars[] = {
      {1.960003, 2.999, &ShapingLimits::translational_velocity},
      {12.999, 8.999, &ShapingLimits::translational_acceleration},
      {6499.999, 4499.999, &ShapingLimits::translational_jerk},
      {2.424003, 2.499, &ShapingLimits::rotational_velocity},
      {24.999, 16.999, &ShapingLimits::rotational_acceleration},
      {12499.999, 8499.999, &ShapingLimits::rotational_jerk},
      {2.144003, 1.499, &ShapingLimits::elbow_velocity_upper},
      {-2.144003, -1.499, &ShapingLimits::elbow_velocity_lower},
      {9.999, 9.999, &ShapingLimits::elbow_acceleration},
      {4999.999, 4999.999, &ShapingLimits::elbow_jerk},
      {999.999, 999.999, &ShapingLimits::torque_rate},
  };
  for (const auto& s : scalars) {
    EXPECT_EQ(v5.*s.field, s.v5);
    EXPECT_EQ(v10.*s.field, s.v10);
  }
}

// --- low-pass filters ---

TEST(Lowpass, ChecksInOrderWithTheirTexts) {
  constexpr std::string_view kTime = "lowpass-filter: sample_time is negative, infinite or NaN.";
  constexpr std::string_view kCutoff = "lowpass-filter: cutoff_frequency is zero, negative, infinite or NaN.";
  constexpr std::string_view kInput =
      "lowpass-filter: current or past input value of the signal to be filtered is infinite or NaN.";
  const struct {
    double dt, y, y_prev, f;
    std::string_view message;
  } cases[] = {
      {-0.001, 1, 0, 100, kTime}, {kInf, 1, 0, 100, kTime},  {kNaN, 1, 0, 100, kTime},
      {-1, kNaN, 0, 0, kTime},    {0.001, 1, 0, 0, kCutoff}, {0.001, 1, 0, -5, kCutoff},
      {0.001, 1, 0, kInf, kCutoff}, {0.001, 1, 0, kNaN, kCutoff}, {0.001, kNaN, 0, 100, kInput},
      {0.001, 1, -kInf, 100, kInput},
  };
  for (const auto& c : cases) expect_error(lowpass(c.dt, c.y, c.y_prev, c.f), c.message, std::string(c.message));
}

TEST(Lowpass, GainOfTheCutoff) {
  const struct {
    double dt, y, y_prev, f, expected;
  } cases[] = {
      {0.001, 5, 1, 100, gain(100) * 5 + (1 - gain(100)) * 1},
      {0.001, -2, 3, 10, gain(10) * -2 + (1 - gain(10)) * 3},
      {0.0, 5, 1, 100, 1},  // zero sample time keeps the past value
  };
  for (const auto& c : cases) {
    auto r = lowpass(c.dt, c.y, c.y_prev, c.f);
    ASSERT_TRUE(r.has_value());
    EXPECT_DOUBLE_EQ(*r, c.expected);
  }
  EXPECT_DOUBLE_EQ(gain(100), 0.001 / (0.001 + 1 / (200 * std::numbers::pi)));
}

TEST(CartesianLowpass, ChecksWithTheirTexts) {
  Pose bad = identity();
  bad[5] = kNaN;
  const struct {
    Pose y, y_prev;
    double dt, f;
    std::string_view message;
  } cases[] = {
      {identity(), identity(), -1, 100, "Cartesian lowpass-filter: sample_time is negative, infinite or NaN."},
      {identity(), identity(), 0.001, 0,
       "Cartesian lowpass-filter: cutoff_frequency is zero, negative, infinite or NaN."},
      {bad, identity(), 0.001, 100,
       "Cartesian lowpass-filter: current or past input value of the signal to be filtered is infinite or NaN."},
      {identity(), bad, 0.001, 100,
       "Cartesian lowpass-filter: current or past input value of the signal to be filtered is infinite or NaN."},
  };
  for (const auto& c : cases) expect_error(cartesian_lowpass(c.y, c.y_prev, c.dt, c.f), c.message);
}

TEST(CartesianLowpass, BlendsTranslationAndSlerpsOrientation) {
  const double g = gain(100);
  const struct {
    const char* label;
    Eigen::Matrix3d R_prev, R;
  } cases[] = {
      {"small turn", Eigen::Matrix3d::Identity(), model::exp_rotation({0, 0, 0.2})},
      {"oblique", model::exp_rotation({0.1, -0.3, 0.2}), model::exp_rotation({-0.4, 0.1, 0.5})},
      // The quaternions (w >= 0) lie in opposite hemispheres: the shortest arc is 2 degrees long.
      {"across pi", model::exp_rotation({179.0 * std::numbers::pi / 180, 0, 0}),
       model::exp_rotation({-179.0 * std::numbers::pi / 180, 0, 0})},
  };
  for (const auto& c : cases) {
    Pose y = pose_of(c.R, {1.0, -2.0, 0.5});
    const Pose y_prev = pose_of(c.R_prev, {0.0, 0.0, 1.5});
    y[3] = 0.25;  // copied through, not judged here
    auto r = cartesian_lowpass(y, y_prev, kDt, 100);
    ASSERT_TRUE(r.has_value()) << c.label;
    EXPECT_DOUBLE_EQ((*r)[12], g * 1.0) << c.label;
    EXPECT_DOUBLE_EQ((*r)[13], g * -2.0) << c.label;
    EXPECT_DOUBLE_EQ((*r)[14], g * 0.5 + (1 - g) * 1.5) << c.label;
    for (std::size_t i : {3, 7, 11, 15}) EXPECT_EQ((*r)[i], y[i]) << c.label << " element " << i;
    const Eigen::Matrix3d R_out = rotation_of(*r);
    const double total = angle_between(c.R, c.R_prev);
    EXPECT_NEAR(angle_between(R_out, c.R_prev), g * total, 1e-9) << c.label;
    EXPECT_NEAR(angle_between(c.R, R_out), (1 - g) * total, 1e-9) << c.label;
  }
}

// --- rate limiters ---

TEST(TorqueRate, StepLimitedToTheRateWithTheVersion10Margin) {
  constexpr double R = 999.999;
  constexpr double kStep = 1.0 / 16777216.0 / kDt;  // 2^-24 / dt per Nm
  const struct {
    double tau_c, tau_p;
    bool margin;
    double expected;
  } cases[] = {
      {5, 0, false, R * kDt},          {5, 0, true, R * kDt},  // margin is zero at a previous torque of 0
      {-5, 0, true, -R * kDt},         {200, 100, false, 100 + R * kDt},
      {200, 100, true, 100 + (R - 100 * kStep) * kDt}, {-200, -100, true, -100 - (R - 100 * kStep) * kDt},
      {0.5, 0.2, true, 0.5},  // within the rate: unchanged
  };
  for (const auto& c : cases) {
    Vec7 tau_c{}, tau_p{};
    tau_c[3] = c.tau_c;
    tau_p[3] = c.tau_p;
    auto r = limit_torque_rate(tau_c, tau_p, R, c.margin);
    ASSERT_TRUE(r.has_value());
    EXPECT_DOUBLE_EQ((*r)[3], c.expected) << c.tau_c << " from " << c.tau_p;
    EXPECT_EQ((*r)[0], 0.0);
  }
  Vec7 nan{};
  nan[6] = kNaN;
  expect_error(limit_torque_rate(nan, Vec7{}, R, false), "Commanding value is infinite or NaN.");
  // An absurd previous torque shrinks the bound to zero instead of turning it inside out.
  Vec7 big{};
  big[0] = 1e9;
  auto held = limit_torque_rate(Vec7{}, big, R, true);
  ASSERT_TRUE(held.has_value());
  EXPECT_EQ((*held)[0], 1e9);
}

TEST(JointRate, HandComputedSteps) {
  constexpr double A = 9.999, J = 4999.999;
  const struct {
    const char* label;
    double q_c, q_p, v_p, a_p, v_up, v_low, expected;
  } cases[] = {
      {"command at rest", 0.3, 0.3, 0, 0, 2, -2, 0.3},
      {"jerk limited", 1.0, 0, 0, 0, 2, -2, (J * kDt) * kDt * kDt},
      {"jerk limited down", -1.0, 0, 0, 0, 2, -2, -(J * kDt) * kDt * kDt},
      // At the upper velocity limit the acceleration bound is 0: the velocity is held.
      {"at velocity limit", 5.0, 0.1, 1.5, 0, 1.5, -2, 0.1 + 1.5 * kDt},
      // Acceleration bound A when far from the velocity limit and the jerk allows it.
      {"acceleration bound", 5.0, 0, 0, A, 2, -2, (A * kDt) * kDt},
      // Above the velocity limit: braking, at most with the acceleration limit.
      {"braking", 0.0, 0, 2.0, 0, 1.9, -2, (2.0 - A * kDt) * kDt},
  };
  for (const auto& c : cases) {
    const double q = limit_joint_position(c.q_c, c.q_p, c.v_p, c.a_p, c.v_up, c.v_low, A, J);
    EXPECT_NEAR(q, c.expected, 1e-15) << c.label;
  }
  EXPECT_DOUBLE_EQ(limit_joint_velocity(1.0, 0, 0, 2, -2, A, J), J * kDt * kDt);
  EXPECT_DOUBLE_EQ(limit_joint_velocity(0.25, 0.25, 0, 2, -2, A, J), 0.25);
}

TEST(JointRate, LimitsHoldWhileChasingAFarTarget) {
  const ShapingLimits& l = kShapingLimitsV5;
  Vec7 upper = kZk1VelocityLimits, lower{};
  for (std::size_t i = 0; i < 7; ++i) lower[i] = -upper[i];
  for (double target : {40.0, -40.0}) {
    Vec7 q{}, v{}, a{};
    Vec7 q_c;
    q_c.fill(target);
    for (int cycle = 0; cycle < 3000; ++cycle) {
      auto next = limit_joint_positions(q_c, q, v, a, upper, lower, l.joint_acceleration, l.joint_jerk);
      ASSERT_TRUE(next.has_value());
      for (std::size_t i = 0; i < 7; ++i) {
        const double v_new = ((*next)[i] - q[i]) / kDt;
        const double a_new = (v_new - v[i]) / kDt;
        ASSERT_LE(v_new, upper[i] + 1e-9) << cycle;
        ASSERT_GE(v_new, lower[i] - 1e-9) << cycle;
        ASSERT_LE(std::abs(a_new), l.joint_acceleration[i] + 1e-6) << cycle;
        q[i] = (*next)[i];
        v[i] = v_new;
        a[i] = a_new;
      }
    }
    // It got going: the fastest joint reached its velocity limit.
    EXPECT_NEAR(std::abs(v[0]), upper[0], 1e-3);
  }
}

TEST(JointRate, NonFiniteCommands) {
  Vec7 q{};
  q[2] = kInf;
  expect_error(limit_joint_positions(q, {}, {}, {}, kZk1VelocityLimits, {}, kShapingLimitsV5.joint_acceleration,
                                     kShapingLimitsV5.joint_jerk),
               "commanded_positions is infinite or NaN.");
  expect_error(limit_joint_velocities(q, {}, {}, kZk1VelocityLimits, {}, kShapingLimitsV5.joint_acceleration,
                                      kShapingLimitsV5.joint_jerk),
               "commanded_velocities is infinite or NaN.");
}

TEST(VectorRate, HandComputedCases) {
  constexpr double V = 2.999, A = 8.999, J = 4499.999;
  const struct {
    const char* label;
    Vec3 v_c, v_p, a_p, expected;
  } cases[] = {
      {"steady", {0.5, 0, 0}, {0.5, 0, 0}, {0, 0, 0}, {0.5, 0, 0}},
      {"jerk limited", {1, 0, 0}, {0, 0, 0}, {0, 0, 0}, {J * kDt * kDt, 0, 0}},
      {"jerk limited oblique", {0, 3, 4}, {0, 0, 0}, {0, 0, 0}, {0, 0.6 * J * kDt * kDt, 0.8 * J * kDt * kDt}},
      {"acceleration bound", {1, 0, 0}, {0, 0, 0}, {A, 0, 0}, {A * kDt, 0, 0}},
      // Already beyond V sideways: the square root is not a number and |a| is used unbounded.
      {"outside the sphere", {1, 5, 0}, {0, 5, 0}, {0, 0, 0}, {J * kDt * kDt, 5, 0}},
  };
  for (const auto& c : cases) {
    const Vec3 v = limit_vector_rate(V, A, J, c.v_c, c.v_p, c.a_p);
    for (std::size_t i = 0; i < 3; ++i) EXPECT_NEAR(v[i], c.expected[i], 1e-12) << c.label << " " << i;
  }
  // Near V the acceleration bound is (J/A)(sqrt(V^2 + p^2 - |v_p|^2) - p) along the acceleration.
  const Vec3 near = limit_vector_rate(V, A, J, {10, 0, 0}, {2.998, 0, 0}, {0, 0, 0});
  EXPECT_NEAR(near[0], 2.998 + (J / A) * (V - 2.998) * kDt, 1e-12);
  EXPECT_LE(near[0], V);
}

TEST(ValidTransform, Table) {
  const auto with = [](std::size_t i, double x) {
    Pose p = identity();
    p[i] = x;
    return p;
  };
  const struct {
    const char* label;
    Pose pose;
    bool valid;
  } cases[] = {
      {"identity", identity(), true},
      {"rotation", pose_of(model::exp_rotation({0.3, -1.2, 2.0}), {1, 2, 3}), true},
      {"element 15 off by an ulp", with(15, 1.0 + std::numeric_limits<double>::epsilon()), false},
      {"element 3 not zero", with(3, 1e-300), false},
      {"element 7 not zero", with(7, -1e-300), false},
      {"element 11 not zero", with(11, 0.5), false},
      {"column norm 1 + 5e-6", with(0, 1.0 + 5e-6), true},
      {"column norm 1 + 2e-5", with(0, 1.0 + 2e-5), false},
      {"row-major translation", with(3, 0.4), false},
      {"NaN in rotation", with(5, kNaN), false},
      {"sheared: columns unit, rows not", pose_of((Eigen::Matrix3d() << 1, 1, 0, 0, 0, 0, 0, 0, 1).finished(), {}),
       false},
  };
  for (const auto& c : cases) EXPECT_EQ(is_valid_transform(c.pose), c.valid) << c.label;
}

// --- shaping of whole commands ---

RobotState rest_state() {
  RobotState s;
  s.O_T_EE_c = identity();
  s.q_d = {0, -0.3, 0, -2.0, 0, 1.9, 0.8};
  s.elbow_c = {0, -1};
  return s;
}

TEST(Shaping, MessagesOfEveryCheck) {
  const std::string_view kNotFinite = "Commanding value is infinite or NaN.";
  const RobotState s = rest_state();
  Vec7 nan7 = s.q_d;
  nan7[1] = kNaN;
  Pose nan_pose = identity();
  nan_pose[13] = kNaN;
  Pose bad_pose = identity();
  bad_pose[15] = 1.0 + 1e-12;
  RobotState inf_previous = s;
  inf_previous.O_T_EE_c[12] = kInf;
  RobotState nan_elbow_velocity = s;
  nan_elbow_velocity.delbow_c[0] = kNaN;

  const auto positions = [](Vec7 q) {
    return [q](CommandShaper& sh, const RobotState& st) {
      auto r = sh.shape_joint_positions({q, false}, st);
      return r ? Result<int>(0) : fail(r.error());
    };
  };
  const auto pose = [](Pose p, std::optional<Vec2> elbow) {
    return [p, elbow](CommandShaper& sh, const RobotState& st) {
      auto r = sh.shape_cartesian_pose({p, elbow, false}, st);
      return r ? Result<int>(0) : fail(r.error());
    };
  };
  const auto torques = [](Vec7 t) {
    return [t](CommandShaper& sh, const RobotState& st) {
      auto r = sh.shape_torques({t, false}, st);
      return r ? Result<int>(0) : fail(r.error());
    };
  };
  const auto velocities = [](Vec7 v) {
    return [v](CommandShaper& sh, const RobotState& st) {
      auto r = sh.shape_joint_velocities({v, false}, st);
      return r ? Result<int>(0) : fail(r.error());
    };
  };
  const struct {
    const char* label;
    double cutoff;
    bool limit;
    std::function<Result<int>(CommandShaper&, const RobotState&)> shape;
    RobotState state;
    std::string_view message;
  } cases[] = {
      {"positions NaN, no limiting", 1000, false, positions(nan7), s, kNotFinite},
      {"positions NaN, limiting", 1000, true, positions(nan7), s, "commanded_positions is infinite or NaN."},
      {"positions NaN, filtering", 100, true, positions(nan7), s,
       "lowpass-filter: current or past input value of the signal to be filtered is infinite or NaN."},
      {"negative cutoff", -1, false, positions(s.q_d), s,
       "lowpass-filter: cutoff_frequency is zero, negative, infinite or NaN."},
      {"velocities NaN, limiting", 1000, true, velocities(nan7), s, "commanded_velocities is infinite or NaN."},
      {"velocities NaN, no limiting", 1000, false, velocities(nan7), s, kNotFinite},
      {"torques NaN, no limiting", 1000, false, torques(nan7), s, kNotFinite},
      {"torques NaN, limiting", 1000, true, torques(nan7), s, kNotFinite},
      {"pose NaN, limiting", 1000, true, pose(nan_pose, std::nullopt), s, "O_T_EE_c is infinite or NaN."},
      {"pose invalid, limiting", 1000, true, pose(bad_pose, std::nullopt), s,
       "O_T_EE_c is invalid transformation matrix. Has to be column major!"},
      {"pose NaN, no limiting", 1000, false, pose(nan_pose, std::nullopt), s, kNotFinite},
      {"pose invalid, no limiting", 1000, false, pose(bad_pose, std::nullopt), s,
       "libkorvex: Attempt to set invalid transformation in motion generator. Has to be column major!"},
      {"pose NaN, filtering", 100, false, pose(nan_pose, std::nullopt), s,
       "Cartesian lowpass-filter: current or past input value of the signal to be filtered is infinite or NaN."},
      {"previous pose infinite", 1000, true, pose(identity(), std::nullopt), inf_previous,
       "O_dP_EE_c is infinite or NaN."},
      {"elbow sign 0", 1000, true, pose(identity(), Vec2{0.1, 0.0}), s,
       "Invalid elbow configuration given! Only +1 or -1 are allowed for the sign of the 4th joint."},
      {"elbow sign 0.5", 1000, false, pose(identity(), Vec2{0.1, 0.5}), s,
       "Invalid elbow configuration given! Only +1 or -1 are allowed for the sign of the 4th joint."},
      {"elbow NaN", 100, true, pose(identity(), Vec2{kNaN, 1.0}), s, kNotFinite},
      // The state's own elbow velocity is not a number: the limited elbow must not be sent.
      {"elbow velocity NaN", 1000, true, pose(identity(), Vec2{0.1, 1.0}), nan_elbow_velocity, kNotFinite},
  };
  for (const auto& c : cases) {
    for (std::uint16_t version : {5, 10}) {
      CommandShaper shaper(version, std::nullopt, c.cutoff, c.limit);
      // Past the first command, so that the previous values come from the state on both versions.
      (void)shaper.shape_torques({}, rest_state());
      expect_error(c.shape(shaper, c.state), c.message, std::string(c.label) + " v" + std::to_string(version));
    }
  }
}

TEST(Shaping, FilterOnlyBelow1000Hz) {
  RobotState s = rest_state();
  s.tau_J_d.fill(1.0);
  Vec7 tau;
  tau.fill(3.0);
  const struct {
    double cutoff, expected;
  } cases[] = {{1000, 3.0}, {1e6, 3.0}, {999.9, gain(999.9) * 3 + (1 - gain(999.9))}, {100, gain(100) * 3 + (1 - gain(100))}};
  for (const auto& c : cases) {
    CommandShaper shaper(10, std::nullopt, c.cutoff, false);
    auto r = shaper.shape_torques({tau, true}, s);
    ASSERT_TRUE(r.has_value());
    EXPECT_DOUBLE_EQ(r->tau_J_d[2], c.expected) << c.cutoff;
    EXPECT_TRUE(r->torque_command_finished);
  }
}

TEST(Shaping, TorqueStepLimitedInOneCycle) {
  for (std::uint16_t version : {5, 10}) {
    CommandShaper shaper(version, std::nullopt, 1000, true);
    Vec7 tau{};
    tau[0] = 5;
    auto r = shaper.shape_torques({tau, false}, rest_state());
    ASSERT_TRUE(r.has_value());
    EXPECT_DOUBLE_EQ(r->tau_J_d[0], 999.999 * 0.001);
    EXPECT_FALSE(r->torque_command_finished);
  }
}

TEST(Shaping, FirstCommandIsShapedAgainstItselfOnVersion10Only) {
  const RobotState s = rest_state();
  Vec7 far = s.q_d;
  far[0] += 0.5;
  Pose turned = pose_of(model::exp_rotation({0, 0, 0.3}), {0.3, 0.1, 0.4});
  for (std::uint16_t version : {5, 10}) {
    CommandShaper shaper(version, std::nullopt, 100, false);
    auto first = shaper.shape_joint_positions({far, false}, s);
    auto second = shaper.shape_joint_positions({far, false}, s);
    ASSERT_TRUE(first && second);
    const double pulled = gain(100) * far[0] + (1 - gain(100)) * s.q_d[0];
    EXPECT_DOUBLE_EQ(first->q_c[0], version == 10 ? far[0] : pulled) << version;
    EXPECT_DOUBLE_EQ(second->q_c[0], pulled) << version;

    CommandShaper poses(version, std::nullopt, 100, false);
    auto p1 = poses.shape_cartesian_pose({turned, Vec2{0.7, 1.0}, false}, s);
    auto p2 = poses.shape_cartesian_pose({turned, Vec2{0.7, 1.0}, false}, s);
    ASSERT_TRUE(p1 && p2);
    if (version == 10)
      EXPECT_LT(max_difference(p1->O_T_EE_c, turned), 1e-12);
    else
      EXPECT_GT(max_difference(p1->O_T_EE_c, turned), 1e-3);
    EXPECT_GT(max_difference(p2->O_T_EE_c, turned), 1e-3);
    EXPECT_DOUBLE_EQ(p1->elbow_c[0], version == 10 ? 0.7 : gain(100) * 0.7) << version;
    EXPECT_DOUBLE_EQ(p2->elbow_c[0], gain(100) * 0.7);
    EXPECT_EQ(p2->elbow_c[1], 1.0);
    EXPECT_TRUE(p2->valid_elbow);
  }
}

TEST(Shaping, JointVelocityLimitsAtThePreviousPositions) {
  // Joint 1 may move at 2 rad/s, but near its upper position limit only as fast as it can still brake.
  JointVelocityLimits limits;
  limits.joints.fill({2.0, 0.0, 1.0, 1.0, -1.0});
  RobotState s = rest_state();
  s.q_d = {0.9999, 0, 0, 0, 0, 0, 0};
  const double v_limit = limits.upper_at(s.q_d)[0];
  ASSERT_LT(v_limit, 0.02);
  s.dq_d[0] = v_limit;
  Vec7 q = s.q_d;
  q[0] = 2.0;  // beyond the limit; what bounds the step is the limit at the previous position
  CommandShaper shaper(10, limits, 1000, true);
  ASSERT_TRUE(shaper.shape_joint_positions({s.q_d, false}, s).has_value());  // past the first command
  auto r = shaper.shape_joint_positions({q, false}, s);
  ASSERT_TRUE(r.has_value());
  EXPECT_DOUBLE_EQ(r->q_c[0], s.q_d[0] + v_limit * kDt);  // the velocity is held at the limit
  // Version 5 uses the fixed table: the same state may accelerate.
  CommandShaper legacy(5, std::nullopt, 1000, true);
  auto l = legacy.shape_joint_positions({q, false}, s);
  ASSERT_TRUE(l.has_value());
  EXPECT_GT(l->q_c[0], s.q_d[0] + v_limit * kDt);
}

TEST(Shaping, ZeroVelocityGeneratorBrakesThePreviousVelocity) {
  RobotState s = rest_state();
  s.dq_d = {0.3, 0, 0, 0, 0, 0, -0.2};
  CommandShaper shaper(5, std::nullopt, 1000, true);
  auto r = shaper.shape_joint_velocities({}, s);
  ASSERT_TRUE(r.has_value());
  EXPECT_DOUBLE_EQ(r->dq_c[0], 0.3 - 7499.999 * kDt * kDt);
  EXPECT_DOUBLE_EQ(r->dq_c[6], -0.2 + 9999.999 * kDt * kDt);
  EXPECT_EQ(r->dq_c[3], 0.0);
  EXPECT_EQ(r->q_c, Vec7{});
}

TEST(Shaping, CartesianRateLimitedStep) {
  const RobotState s = rest_state();
  const ShapingLimits& l = kShapingLimitsV10;
  CommandShaper shaper(10, std::nullopt, 1000, true);
  ASSERT_TRUE(shaper.shape_torques({}, s).has_value());
  const Pose target = pose_of(model::exp_rotation({0, 0, 0.5}), {1.0, 0, 0});
  auto r = shaper.shape_cartesian_pose({target, Vec2{0.5, -1.0}, false}, s);
  ASSERT_TRUE(r.has_value());
  EXPECT_NEAR(r->O_T_EE_c[12], l.translational_jerk * kDt * kDt * kDt, 1e-15);
  EXPECT_EQ(r->O_T_EE_c[13], 0.0);
  const double turn = 0.99 * l.rotational_jerk * kDt * kDt * kDt;
  const Eigen::Vector3d w = model::log_rotation(rotation_of(r->O_T_EE_c));
  EXPECT_NEAR(w[2], turn, 1e-15);
  EXPECT_NEAR(w.head<2>().norm(), 0.0, 1e-15);
  EXPECT_TRUE(is_valid_transform(r->O_T_EE_c));
  EXPECT_EQ(r->O_T_EE_c[15], 1.0);
  // The elbow moves like a joint position under the elbow limits; its sign passes unchanged.
  EXPECT_NEAR(r->elbow_c[0], l.elbow_jerk * kDt * kDt * kDt, 1e-15);
  EXPECT_EQ(r->elbow_c[1], -1.0);
  EXPECT_TRUE(r->valid_elbow);
  EXPECT_EQ(r->O_dP_EE_c, Vec6{});
}

TEST(Shaping, CartesianPreviousPoseIsOrthonormalisedFirst) {
  // A previous pose as a float-reporting arm sends it: slightly off orthonormal.
  RobotState s = rest_state();
  const Eigen::Matrix3d R = model::exp_rotation({0.4, -0.2, 1.1});
  s.O_T_EE_c = pose_of(R, {0.3, 0.0, 0.5});
  for (std::size_t i : {0, 1, 2, 4, 5, 6, 8, 9, 10})
    s.O_T_EE_c[i] = static_cast<double>(static_cast<float>(s.O_T_EE_c[i]));
  CommandShaper shaper(5, std::nullopt, 1000, true);
  auto r = shaper.shape_cartesian_pose({s.O_T_EE_c, std::nullopt, false}, s);
  ASSERT_TRUE(r.has_value());
  const Eigen::Matrix3d out = rotation_of(r->O_T_EE_c);
  EXPECT_NEAR((out * out.transpose() - Eigen::Matrix3d::Identity()).norm(), 0.0, 1e-14);
  EXPECT_NEAR(angle_between(out, R), 0.0, 1e-6);
  EXPECT_FALSE(r->valid_elbow);
  EXPECT_EQ(r->elbow_c, Vec2{});
}

}  // namespace
}  // namespace korvex
