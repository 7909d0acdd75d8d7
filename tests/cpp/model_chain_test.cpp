#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "korvex/model/builtin_zk1.hpp"
#include "korvex/model/native_backend.hpp"
#include "korvex/model/urdf.hpp"

namespace korvex::model {
namespace {

std::string link(const std::string& name, const std::string& inertial = "") {
  return "<link name=\"" + name + "\">" + inertial + "</link>";
}

std::string point_mass(const std::string& mass, const std::string& xyz) {
  return "<inertial><origin xyz=\"" + xyz + "\"/><mass value=\"" + mass +
         "\"/><inertia ixx=\"0\" ixy=\"0\" ixz=\"0\" iyy=\"0\" iyz=\"0\" izz=\"0\"/></inertial>";
}

std::string joint(const std::string& name, const std::string& type, const std::string& parent, const std::string& child,
                  const std::string& xyz = "0 0 0.1", const std::string& rpy = "0 0 0",
                  const std::string& axis = "0 0 1") {
  return "<joint name=\"" + name + "\" type=\"" + type + "\"><origin xyz=\"" + xyz + "\" rpy=\"" + rpy +
         "\"/><parent link=\"" + parent + "\"/><child link=\"" + child + "\"/><axis xyz=\"" + axis + "\"/></joint>";
}

std::string robot(const std::string& body) { return "<?xml version=\"1.0\"?><robot name=\"t\">" + body + "</robot>"; }

// link0 -j1- link1 ... -j7- link7 -j8 (fixed)- link8, with `types[k]` / `axes[k]` for joint k+1.
std::string arm_body(std::vector<std::string> types = {}, std::vector<std::string> axes = {}) {
  types.resize(7, "revolute");
  axes.resize(7, "0 0 1");
  std::string body = link("link0");
  for (int k = 1; k <= 7; ++k) {
    body += link("link" + std::to_string(k), point_mass("1", "0.01 0.02 0.03"));
    body += joint("j" + std::to_string(k), types[k - 1], "link" + std::to_string(k - 1), "link" + std::to_string(k),
                  "0.1 0 0.2", "0.3 -0.2 0.1", axes[k - 1]);
  }
  return body + link("link8") + joint("j8", "fixed", "link7", "link8", "0 0 0.107");
}

std::string build_error(const std::string& urdf) {
  const auto model = NativeBackend::from_urdf(urdf);
  if (model) return "(built)";
  EXPECT_EQ(model.error().kind(), ErrorKind::Model);
  return model.error().message();
}

TEST(ModelChain, ConstructionFailuresInCheckOrder) {
  std::string eighth = arm_body();
  const std::string j8 = joint("j8", "fixed", "link7", "link8", "0 0 0.107");
  eighth.replace(eighth.find(j8), j8.size(), joint("j8", "revolute", "link7", "link8", "0 0 0.107", "0 0 0", "0 0 0"));
  const struct {
    const char* what;
    std::string urdf;
    std::string message;
  } cases[] = {
      {"duplicate child before missing link8",
       robot(link("a") + link("b") + joint("x", "fixed", "a", "b") + joint("y", "fixed", "a", "b")),
       "libkorvex model: link 'b' is the child of more than one joint"},
      {"no flange link", robot(link("link0") + link("link1") + joint("j1", "revolute", "link0", "link1")),
       "libkorvex model: URDF has no 'link8' link"},
      {"cycle on the path",
       robot(link("link8") + link("a") + joint("x", "revolute", "link8", "a") + joint("y", "revolute", "a", "link8")),
       "libkorvex model: URDF joint tree contains a cycle"},
      {"eighth movable joint with a degenerate axis",
       robot(eighth),
       "libkorvex model: URDF chain to 'link8' has more than 7 movable joints"},
      {"degenerate axis", robot(arm_body({}, {"0 0 1", "0 0 1", "0 0 1e-13"})),
       "libkorvex model: joint 'j3' has a degenerate axis"},
      {"prismatic", robot(arm_body({"revolute", "prismatic"})),
       "libkorvex model: joint 'j2' has unsupported type Prismatic"},
      {"floating", robot(arm_body({"floating"})), "libkorvex model: joint 'j1' has unsupported type Floating"},
      {"planar", robot(arm_body({"revolute", "revolute", "planar"})),
       "libkorvex model: joint 'j3' has unsupported type Planar"},
      {"spherical", robot(arm_body({"spherical"})), "libkorvex model: joint 'j1' has unsupported type Spherical"},
      {"flange link is the root", robot(link("link8") + link("tool") + joint("t", "fixed", "link8", "tool")),
       "libkorvex model: URDF chain to 'link8' has 0 movable joints, expected 7"},
      {"six movable joints", robot(arm_body({"revolute", "revolute", "revolute", "fixed"})),
       "libkorvex model: URDF chain to 'link8' has 6 movable joints, expected 7"},
      {"massive link behind a branch joint",
       robot(arm_body() + link("side", point_mass("0.5", "0 0 0")) + joint("b", "continuous", "link3", "side")),
       "libkorvex model: link 'side' is behind movable joint 'b', which is not part of the arm chain"},
      {"cycle on a massive link's path only",
       robot(arm_body() + link("p", point_mass("0.5", "0 0 0")) + link("r") + joint("x", "fixed", "r", "p") +
             joint("y", "fixed", "p", "r")),
       "libkorvex model: URDF joint tree contains a cycle"},
  };
  for (const auto& c : cases) EXPECT_EQ(build_error(c.urdf), c.message) << c.what;
  // Movable joints after link8 are not on the path.
  EXPECT_EQ(build_error(robot(arm_body() + link("link9") + joint("j9", "revolute", "link8", "link9"))), "(built)");
}

TEST(ModelChain, ReaderFaults) {
  const std::string prefix = "libkorvex model: cannot parse URDF: ";
  const struct {
    std::string urdf;
    std::string error;  // after the prefix; empty: any reader description
  } cases[] = {
      {"<robot name=\"t\"><link name=\"a\"></robot>", ""},
      {"", ""},
      {"<model/>", "root element is \"model\", expected \"robot\""},
      {"<robot/><robot/>", "more than one root element"},
      {robot("<link/>"), "link without a name"},
      {robot("<joint type=\"fixed\"/>"), "joint without a name"},
      {robot(link("a") + link("a")), "link name \"a\" is not unique"},
      {robot(link("a") + link("b") + link("c") + joint("x", "fixed", "a", "b") + joint("x", "fixed", "b", "c")),
       "joint name \"x\" is not unique"},
      {robot("<joint name=\"x\"><parent link=\"a\"/><child link=\"b\"/></joint>"), "joint \"x\": no type"},
      {robot(joint("x", "screw", "a", "b")), "joint \"x\": unknown type \"screw\""},
      {robot("<joint name=\"x\" type=\"fixed\"><child link=\"b\"/></joint>"), "joint \"x\": no parent link"},
      {robot("<joint name=\"x\" type=\"fixed\"><parent link=\"a\"/></joint>"), "joint \"x\": no child link"},
      {robot(joint("x", "fixed", "a", "b", "0 0")), "joint \"x\": origin xyz \"0 0\" is not three numbers"},
      {robot(joint("x", "fixed", "a", "b", "0 0 0 0")), "joint \"x\": origin xyz \"0 0 0 0\" is not three numbers"},
      {robot(joint("x", "fixed", "a", "b", "0 0 0", "0 nan 0")),
       "joint \"x\": origin rpy \"0 nan 0\" is not three numbers"},
      {robot(joint("x", "revolute", "a", "b", "0 0 0", "0 0 0", "1 0 z")),
       "joint \"x\": axis xyz \"1 0 z\" is not three numbers"},
      {robot(link("a", "<inertial><inertia ixx=\"1\"/></inertial>")), "link \"a\": inertial has no mass"},
      {robot(link("a", "<inertial><mass value=\"1\"/></inertial>")), "link \"a\": inertial has no inertia"},
      {robot(link("a", "<inertial><mass value=\"inf\"/><inertia/></inertial>")),
       "link \"a\": mass value \"inf\" is not a number"},
      {robot(link("a", "<inertial><mass value=\"1\"/><inertia ixx=\"1\" ixy=\"0\"/></inertial>")),
       "link \"a\": inertia ixz is missing"},
  };
  for (const auto& c : cases) {
    const auto parsed = urdf::parse(c.urdf);
    ASSERT_FALSE(parsed) << c.urdf;
    const std::string& message = parsed.error().message();
    EXPECT_EQ(parsed.error().kind(), ErrorKind::Model);
    if (c.error.empty()) {
      EXPECT_TRUE(message.starts_with(prefix) && message.size() > prefix.size()) << message;
    } else {
      EXPECT_EQ(message, prefix + c.error);
    }
  }
}

TEST(ModelChain, ReaderDefaultsAndEntities) {
  // An undeclared entity stays text; no DOCTYPE is acted on.
  const auto parsed = urdf::parse(
      "<!DOCTYPE robot [<!ENTITY e SYSTEM \"file:///etc/passwd\">]><robot name=\"&e;\">"
      "<link name=\"a\"><visual/></link><joint name=\"x\" type=\"revolute\"><parent link=\"a\"/>"
      "<child link=\"b\"/></joint><material name=\"m\"/></robot>");
  ASSERT_TRUE(parsed) << parsed.error().message();
  EXPECT_EQ(parsed->name, "&e;");
  ASSERT_EQ(parsed->links.size(), 1u);
  EXPECT_FALSE(parsed->links[0].inertial);
  ASSERT_EQ(parsed->joints.size(), 1u);
  const urdf::Joint& j = parsed->joints[0];
  EXPECT_EQ(j.axis, (std::array<double, 3>{1, 0, 0}));
  EXPECT_EQ(j.origin.xyz, (std::array<double, 3>{}));
  EXPECT_EQ(j.origin.rpy, (std::array<double, 3>{}));
}

void expect_transform_eq(const RigidTransform& a, const RigidTransform& b, double tol) {
  EXPECT_LE((a.R - b.R).cwiseAbs().maxCoeff(), tol);
  EXPECT_LE((a.p - b.p).cwiseAbs().maxCoeff(), tol);
}

TEST(ModelChain, BuiltinZk1) {
  const auto parsed = urdf::parse(builtin_zk1_urdf());
  ASSERT_TRUE(parsed);
  EXPECT_EQ(parsed->name, "zk1");
  const NativeBackend model = NativeBackend::builtin_zk1();
  for (std::size_t k = 0; k < kJointCount; ++k) {
    const urdf::Joint& j = parsed->joints[k];
    EXPECT_EQ(j.name, "joint" + std::to_string(k + 1));
    const RigidTransform origin{rpy_rotation(j.origin.rpy[0], j.origin.rpy[1], j.origin.rpy[2]),
                                Eigen::Vector3d(j.origin.xyz.data())};
    expect_transform_eq(model.joint_origins()[k], origin, 0.0);
    EXPECT_EQ(model.axes()[k], Eigen::Vector3d::UnitZ());
  }
  expect_transform_eq(model.flange(), RigidTransform{Eigen::Matrix3d::Identity(), {0, 0, 0.107}}, 0.0);
  // Negative moments are taken as they are: link2's ixx about its centre of mass.
  const urdf::Inertial& link2 = *parsed->links[2].inertial;
  EXPECT_LT(link2.ixx, 0.0);
  const Eigen::Vector3d c(link2.origin.xyz.data());
  EXPECT_DOUBLE_EQ(model.inertias()[1].I(0, 0), link2.ixx + link2.mass * (c.y() * c.y() + c.z() * c.z()));
}

TEST(ModelChain, ContinuousIsRevolute) {
  const auto revolute = NativeBackend::from_urdf(robot(arm_body()));
  const auto continuous = NativeBackend::from_urdf(robot(arm_body(std::vector<std::string>(7, "continuous"))));
  ASSERT_TRUE(revolute && continuous);
  for (std::size_t k = 0; k < kJointCount; ++k) {
    expect_transform_eq(revolute->joint_origins()[k], continuous->joint_origins()[k], 0.0);
    EXPECT_EQ(revolute->inertias()[k].I, continuous->inertias()[k].I);
    EXPECT_EQ(revolute->inertias()[k].h, continuous->inertias()[k].h);
  }
}

TEST(ModelChain, FixedJointsComposeIntoTheNextOrigin) {
  // link2 -f1- m1 -f2- m2 -j3- link3 instead of link2 -j3- link3.
  std::string body = arm_body();
  const std::string j3 = joint("j3", "revolute", "link2", "link3", "0.1 0 0.2", "0.3 -0.2 0.1");
  body.replace(body.find(j3), j3.size(),
               link("m1") + link("m2") + joint("f1", "fixed", "link2", "m1", "0.1 0.2 0.3", "0.5 0 0") +
                   joint("f2", "fixed", "m1", "m2", "0 0.4 0", "0 0 0.7") +
                   joint("j3", "revolute", "m2", "link3", "0.1 0 0.2", "0.3 -0.2 0.1", "0 0 2"));
  const auto model = NativeBackend::from_urdf(robot(body));
  ASSERT_TRUE(model) << model.error().message();
  const RigidTransform f1{rpy_rotation(0.5, 0, 0), {0.1, 0.2, 0.3}};
  const RigidTransform f2{rpy_rotation(0, 0, 0.7), {0, 0.4, 0}};
  const RigidTransform o3{rpy_rotation(0.3, -0.2, 0.1), {0.1, 0, 0.2}};
  expect_transform_eq(model->joint_origins()[2], f1 * f2 * o3, 1e-16);
  EXPECT_EQ(model->axes()[2], Eigen::Vector3d::UnitZ());  // (0, 0, 2) normalised
}

TEST(ModelChain, InertiaPlacement) {
  const auto base = NativeBackend::from_urdf(robot(arm_body()));
  ASSERT_TRUE(base);
  // A point mass fixed to link8 joins joint 7 through joint8's origin; a massless link on a branch joint,
  // a massive link fixed to the root and a massive root are ignored.
  const auto model = NativeBackend::from_urdf(robot(
      link("world", point_mass("3", "1 1 1")) + joint("mount", "fixed", "world", "link0") +
      arm_body() + link("tool", point_mass("0.5", "0.01 -0.02 0.03")) +
      joint("t", "fixed", "link8", "tool", "0 0 0.1", "0 0 1.5707963267948966") + link("side") +
      joint("b", "revolute", "link3", "side") + link("plate", point_mass("2", "0 0 0")) +
      joint("p", "fixed", "link0", "plate")));
  ASSERT_TRUE(model) << model.error().message();
  for (std::size_t k = 0; k + 1 < kJointCount; ++k) {
    EXPECT_EQ(model->inertias()[k].mass, base->inertias()[k].mass);
    EXPECT_EQ(model->inertias()[k].h, base->inertias()[k].h);
  }
  // The tool's point in joint 7's frame: joint8 (0, 0, 0.107), then t: 0.1 up and a quarter turn about z.
  const Eigen::Vector3d r(0.02, 0.01, 0.107 + 0.1 + 0.03);
  const LinkInertia& j7 = model->inertias()[6];
  const LinkInertia& b7 = base->inertias()[6];
  EXPECT_DOUBLE_EQ(j7.mass - b7.mass, 0.5);
  EXPECT_LT((j7.h - b7.h - 0.5 * r).norm(), 1e-15);
  const Eigen::Matrix3d point = 0.5 * (r.squaredNorm() * Eigen::Matrix3d::Identity() - r * r.transpose());
  EXPECT_LT((j7.I - b7.I - point).cwiseAbs().maxCoeff(), 1e-15);
}

TEST(ModelChain, MovedInertiaMatchesPointMasses) {
  // Two point masses moved as one body equal the point masses placed directly.
  const RigidTransform X{rpy_rotation(0.4, -1.1, 2.0), {0.3, -0.2, 0.5}};
  const Eigen::Vector3d r1(0.1, 0.2, -0.3), r2(-0.4, 0.0, 0.25);
  auto point = [](double m, const Eigen::Vector3d& r) {
    return LinkInertia{m, m * r, m * (r.squaredNorm() * Eigen::Matrix3d::Identity() - r * r.transpose())};
  };
  const LinkInertia moved = (point(1.5, r1) + point(0.7, r2)).moved(X);
  const LinkInertia direct = point(1.5, X.R * r1 + X.p) + point(0.7, X.R * r2 + X.p);
  EXPECT_DOUBLE_EQ(moved.mass, direct.mass);
  EXPECT_LT((moved.h - direct.h).norm(), 1e-15);
  EXPECT_LT((moved.I - direct.I).cwiseAbs().maxCoeff(), 1e-15);
}

}  // namespace
}  // namespace korvex::model
