#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "korvex/model/velocity_limits.hpp"

namespace korvex {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
using Q = std::array<double, 7>;

struct Attrs {
  std::string velocity = "2.62", velocity_offset = "0.2", deceleration_limit = "3.5", upper = "2.9", lower = "-2.9";
};

std::string joint(const std::string& name, const Attrs& a = {}) {
  return "<joint name=\"" + name + "\" type=\"revolute\"><parent link=\"a\"/><child link=\"b\"/>" +
         "<limit effort=\"87\" lower=\"" + a.lower + "\" upper=\"" + a.upper + "\" velocity=\"" + a.velocity +
         "\"/><position_based_velocity_limits velocity_offset=\"" + a.velocity_offset +
         "\" deceleration_limit=\"" + a.deceleration_limit + "\"/></joint>";
}

std::string robot(const std::string& body) { return "<?xml version=\"1.0\"?><robot name=\"zk2\">" + body + "</robot>"; }

std::string joints(int first, int last, const std::string& prefix = "joint") {
  std::string out;
  for (int i = first; i <= last; ++i) out += joint(prefix + std::to_string(i));
  return out;
}

TEST(VelocityLimitsReader, Messages) {
  Attrs comma;
  comma.upper = "2,9";
  Attrs no_velocity_bad_upper;
  no_velocity_bad_upper.velocity = "";
  no_velocity_bad_upper.upper = "x";
  Attrs bad_offset;
  bad_offset.velocity_offset = "0.2.1";
  const std::string bare3 = "<joint name=\"joint3\"><parent link=\"a\"/></joint>";
  const std::string no_limit2 =
      "<joint name=\"joint2\"><position_based_velocity_limits velocity_offset=\"0\" deceleration_limit=\"1\"/></joint>";
  const std::string no_velocity5 =
      "<joint name=\"joint5\"><limit lower=\"-1\" upper=\"1\"/>"
      "<position_based_velocity_limits velocity_offset=\"0\" deceleration_limit=\"1\"/></joint>";
  const std::string no_decel6 =
      "<joint name=\"joint6\"><limit lower=\"-1\" upper=\"1\" velocity=\"2\"/>"
      "<position_based_velocity_limits velocity_offset=\"0\"/></joint>";
  std::string swapped_velocity = joint("joint1", no_velocity_bad_upper);
  swapped_velocity.replace(swapped_velocity.find(" velocity=\"\""), 12, "");

  const struct { const char* label; std::string urdf; std::string message; } cases[] = {
      {"not xml", "<robot><joint></robot>", "Failed to parse URDF for joint velocity limits"},
      {"empty", "", "Failed to parse URDF for joint velocity limits"},
      {"wrong root", "<model>" + joints(1, 7) + "</model>",
       "Failed to parse URDF: no <robot> element exists for joint velocity limits"},
      {"element before limit", robot(joints(1, 2) + bare3 + joints(4, 7)),
       "Missing <position_based_velocity_limits> element for joint: joint3"},
      {"limit element", robot(joint("joint1") + no_limit2 + joints(3, 7)), "Missing <limit> element for joint: joint2"},
      {"missing attribute", robot(joints(1, 4) + no_velocity5 + joints(6, 7)),
       "Missing 'velocity' attribute in <limit> for joint: joint5"},
      {"missing attribute of the custom element", robot(joints(1, 5) + no_decel6 + joint("joint7")),
       "Missing 'deceleration_limit' attribute in <position_based_velocity_limits> for joint: joint6"},
      {"missing wins by attribute order", robot(swapped_velocity + joints(2, 7)),
       "Missing 'velocity' attribute in <limit> for joint: joint1"},
      {"decimal comma", robot(joint("zk2_joint4", comma) + joints(1, 7)),
       "Invalid 'upper' attribute in <limit> for joint: zk2_joint4"},
      {"invalid offset", robot(joints(1, 6) + joint("joint7", bad_offset)),
       "Invalid 'velocity_offset' attribute in <position_based_velocity_limits> for joint: joint7"},
      {"joint error before missing joints", robot(joint("joint1", comma)),
       "Invalid 'upper' attribute in <limit> for joint: joint1"},
      {"one missing", robot(joints(1, 6)), "Missing required joints: joint7 "},
      {"two missing", robot(joints(1, 2) + joints(4, 6)), "Missing required joints: joint3 joint7 "},
      {"none", robot("<link name=\"base\"/>"),
       "Missing required joints: joint1 joint2 joint3 joint4 joint5 joint6 joint7 "},
  };
  for (const auto& c : cases) {
    const auto r = read_joint_velocity_limits(c.urdf);
    ASSERT_FALSE(r) << c.label;
    EXPECT_EQ(r.error().kind(), ErrorKind::InvalidArgument) << c.label;
    EXPECT_EQ(r.error().message(), c.message) << c.label;
  }
}

TEST(VelocityLimitsReader, NamesValuesAndNumberTexts) {
  Attrs special;
  special.velocity = " 2.5 ";
  special.velocity_offset = "NaN";
  special.deceleration_limit = "inf";
  special.upper = "+1e1";
  special.lower = "\t-inf\n";
  Attrs replaced;
  replaced.velocity = "9";
  const std::string body = "<link name=\"base\"/>" + joints(1, 3, "zk2_joint") + joint("zk2_joint4", special) +
                           joints(5, 7, "zk2_joint") + "<joint type=\"fixed\"/><joint name=\"flange\"/>" +
                           "<extra><joint name=\"joint10\">" + joint("x").substr(joint("x").find("<limit")) +
                           "</extra>";
  std::string doc = robot(body);
  // joint10 counts as joint 1 and, coming later, replaces it.
  doc.replace(doc.find("velocity=\"2.62\"", doc.find("joint10")), 15, "velocity=\"9\"");
  const auto r = read_joint_velocity_limits(doc);
  ASSERT_TRUE(r) << r.error().message();
  const JointVelocityLimit& j4 = r->joints[3];
  EXPECT_EQ(j4.velocity, 2.5);
  EXPECT_TRUE(std::isnan(j4.velocity_offset));
  EXPECT_EQ(j4.deceleration_limit, kInf);
  EXPECT_EQ(j4.upper, 10.0);
  EXPECT_EQ(j4.lower, -kInf);
  EXPECT_EQ(r->joints[0].velocity, 9.0);
  for (std::size_t i : {1u, 2u, 4u, 5u, 6u}) {
    const JointVelocityLimit& j = r->joints[i];
    EXPECT_EQ(j.velocity, 2.62) << i;
    EXPECT_EQ(j.velocity_offset, 0.2) << i;
    EXPECT_EQ(j.deceleration_limit, 3.5) << i;
    EXPECT_EQ(j.upper, 2.9) << i;
    EXPECT_EQ(j.lower, -2.9) << i;
  }
}

TEST(VelocityLimits, EvaluationAtQ) {
  const JointVelocityLimit base{2.62, 0.2, 3.5, 2.9, -2.9};
  auto with = [&](auto change) {
    JointVelocityLimit j = base;
    change(j);
    return j;
  };
  const struct { const char* label; JointVelocityLimit j; double q, upper, lower; } cases[] = {
      {"far", base, 0.0, 2.619, -2.619},
      {"at upper", base, 2.9, -0.001, -2.619},
      {"beyond upper", base, 3.5, -0.001, -2.619},
      {"at lower", base, -2.9, 2.619, 0.001},
      {"braking", base, 2.8, std::sqrt(0.7) - 0.2 - 0.001, -2.619},
      {"within the offset", base, 2.895, -0.001, -2.619},
      {"NaN q", base, kNaN, -0.001, 0.001},
      {"NaN offset", with([](auto& j) { j.velocity_offset = kNaN; }), 0.0, -0.001, 0.001},
      {"NaN deceleration", with([](auto& j) { j.deceleration_limit = kNaN; }), 0.0, -0.001, 0.001},
      {"NaN velocity", with([](auto& j) { j.velocity = kNaN; }), 0.0, kNaN, kNaN},
      {"infinite velocity", with([](auto& j) { j.velocity = kInf; }), 2.8, std::sqrt(0.7) - 0.2 - 0.001,
       -(std::sqrt(39.9) - 0.2) + 0.001},
      {"infinite deceleration", with([](auto& j) { j.deceleration_limit = kInf; }), 2.9, -0.001, -2.619},
      {"infinite upper", with([](auto& j) { j.upper = kInf; }), 1e9, 2.619, -2.619},
      {"negative deceleration", with([](auto& j) { j.deceleration_limit = -3.5; }), 0.0, -0.001, 0.001},
      {"lower above upper", with([](auto& j) { j.lower = 3.0; j.upper = -3.0; }), 0.0, -0.001, 0.001},
  };
  for (const auto& c : cases) {
    JointVelocityLimits limits;
    limits.joints.fill(base);
    limits.joints[2] = c.j;
    Q q{};
    q[2] = c.q;
    const Q upper = upper_velocity_limits(10, limits, q);
    const Q lower = lower_velocity_limits(10, limits, q);
    const auto check = [&](double got, double want, const char* side) {
      if (std::isnan(want))
        EXPECT_TRUE(std::isnan(got)) << c.label << ' ' << side << ' ' << got;
      else if (std::isinf(want))
        EXPECT_EQ(got, want) << c.label << ' ' << side;
      else
        EXPECT_NEAR(got, want, 1e-12) << c.label << ' ' << side;
    };
    check(upper[2], c.upper, "upper");
    check(lower[2], c.lower, "lower");
    EXPECT_NEAR(upper[0], 2.619, 1e-12) << c.label << ": other joints change";
    EXPECT_NEAR(lower[6], -2.619, 1e-12) << c.label << ": other joints change";
  }
}

TEST(VelocityLimits, Zk1TableIgnoresQ) {
  const Q table = {2.129003, 2.151503, 2.144003, 2.136503, 2.564003, 2.549003, 2.549003};
  JointVelocityLimits urdf;
  urdf.joints.fill({1.0, 0.0, 1.0, 0.0, 0.0});  // would give -0.001 everywhere at q = 0
  for (const Q& q : {Q{}, Q{2.9, -2.9, 1, 1, 1, 1, 1}, Q{kNaN, kNaN, kNaN, kNaN, kNaN, kNaN, kNaN}}) {
    for (const std::optional<JointVelocityLimits>& limits : {std::optional<JointVelocityLimits>{}, std::optional{urdf}}) {
      const Q upper = upper_velocity_limits(5, limits, q);
      const Q lower = lower_velocity_limits(5, limits, q);
      for (std::size_t i = 0; i < 7; ++i) {
        EXPECT_EQ(upper[i], table[i]);
        EXPECT_EQ(lower[i], -table[i]);
      }
    }
  }
}

}  // namespace
}  // namespace korvex
