#include <gtest/gtest.h>

#include <Eigen/Geometry>
#include <random>
#include <span>
#include <vector>

#include "korvex/model/kinematics.hpp"
#include "korvex/model/rotation.hpp"

namespace korvex::model {
namespace {

const NativeBackend& zk1() {
  static const NativeBackend model = NativeBackend::builtin_zk1();
  return model;
}

std::vector<Vec7> configurations(int count) {
  std::mt19937 rng(7);
  std::uniform_real_distribution<double> angle(-2.8, 2.8);
  std::vector<Vec7> qs{Vec7{}};
  for (int i = 0; i < count; ++i) {
    Vec7 q;
    for (double& x : q) x = angle(rng);
    qs.push_back(q);
  }
  return qs;
}

// A tool and a stiffness frame with rotations and offsets in every axis.
Pose transform(const Eigen::Vector3d& rotation, const Eigen::Vector3d& translation) {
  return pose_of(RigidTransform{exp_rotation(rotation), translation});
}
const Pose kTool = transform({0.2, -0.4, 0.7}, {0.01, -0.02, 0.1034});
const Pose kStiffness = transform({-0.5, 0.1, 0.3}, {0.05, 0.03, -0.02});

Eigen::Matrix<double, 6, 7> matrix(const Jacobian& J) { return Eigen::Map<const Eigen::Matrix<double, 6, 7>>(J.data()); }

double max_difference(std::span<const double> a, std::span<const double> b) {
  double d = 0.0;
  for (std::size_t i = 0; i < a.size(); ++i) d = std::max(d, std::abs(a[i] - b[i]));
  return d;
}

TEST(ModelKinematics, FrameNames) {
  for (std::size_t i = 0; i < kFrameCount; ++i) EXPECT_EQ(frame_from_name(kFrameNames[i]), static_cast<Frame>(i));
  for (const char* name : {"Flange", "joint0", "joint8", "EE", "", "ee "}) EXPECT_FALSE(frame_from_name(name)) << name;
}

TEST(ModelKinematics, Zk1FlangeAtZero) {
  const RigidTransform F = transform_of(zk1().flange_pose(Vec7{}));
  EXPECT_LT((F.R - Eigen::Vector3d(1, -1, -1).asDiagonal().toDenseMatrix()).cwiseAbs().maxCoeff(), 1e-15);
  EXPECT_LT((F.p - Eigen::Vector3d(0.088, 0, 0.926)).cwiseAbs().maxCoeff(), 1e-15);
}

TEST(ModelKinematics, Zk1FirstJointJacobian) {
  for (const Vec7& q : configurations(5)) {
    const auto J = matrix(zk1().joint_zero_jacobian(q, 1));
    EXPECT_EQ(J.rightCols<6>(), (Eigen::Matrix<double, 6, 6>::Zero()));
    EXPECT_EQ(J.col(0).head<5>(), (Eigen::Matrix<double, 5, 1>::Zero()));
    EXPECT_NEAR(J(5, 0), 1.0, 1e-15);
  }
}

TEST(ModelKinematics, JointNumberIsClamped) {
  const NativeBackend& m = zk1();
  const Vec7 q = configurations(1)[1];
  const struct { int given, used; } cases[] = {{0, 1}, {-3, 1}, {8, 7}, {9, 7}};
  for (const auto& c : cases) {
    EXPECT_EQ(m.joint_pose(q, c.given), m.joint_pose(q, c.used)) << c.given;
    EXPECT_EQ(m.joint_zero_jacobian(q, c.given), m.joint_zero_jacobian(q, c.used)) << c.given;
    EXPECT_EQ(m.joint_body_jacobian(q, c.given), m.joint_body_jacobian(q, c.used)) << c.given;
  }
}

TEST(ModelKinematics, AbsentTransformsAndBottomRow) {
  const NativeBackend& m = zk1();
  for (const Vec7& q : configurations(3)) {
    EXPECT_EQ(m.ee_pose(q, kIdentityPose), m.flange_pose(q));
    EXPECT_EQ(m.stiffness_pose(q, kIdentityPose, kIdentityPose), m.flange_pose(q));
    EXPECT_EQ(m.ee_zero_jacobian(q, kIdentityPose), m.flange_zero_jacobian(q));

    Pose tool = kTool, stiffness = kStiffness;
    for (Pose* p : {&tool, &stiffness}) (*p)[3] = 5, (*p)[7] = -1, (*p)[11] = 2, (*p)[15] = 0;
    EXPECT_EQ(m.stiffness_pose(q, tool, stiffness), m.stiffness_pose(q, kTool, kStiffness));
    EXPECT_EQ(m.stiffness_body_jacobian(q, tool, stiffness), m.stiffness_body_jacobian(q, kTool, kStiffness));
    // ee = flange * F_T_EE, and the flange ignores both transforms.
    const RigidTransform ee = transform_of(m.flange_pose(q)) * transform_of(kTool);
    EXPECT_LT(max_difference(m.ee_pose(q, kTool), pose_of(ee)), 1e-15);
    EXPECT_EQ(pose(m, Frame::Flange, q, kTool, kStiffness), m.flange_pose(q));
  }
}

// Every column of the zero Jacobian against central differences of the pose; the body Jacobian
// is the zero Jacobian seen from the frame.
TEST(ModelKinematics, JacobiansMatchPoseDifferences) {
  const NativeBackend& m = zk1();
  constexpr double h = 1e-6;
  for (const Vec7& q : configurations(4)) {
    for (std::size_t f = 0; f < kFrameCount; ++f) {
      const Frame frame = static_cast<Frame>(f);
      const auto J0 = matrix(zero_jacobian(m, frame, q, kTool, kStiffness));
      Eigen::Matrix<double, 6, 7> numeric;
      for (std::size_t j = 0; j < kJointCount; ++j) {
        Vec7 plus = q, minus = q;
        plus[j] += h;
        minus[j] -= h;
        const RigidTransform a = transform_of(pose(m, frame, plus, kTool, kStiffness));
        const RigidTransform b = transform_of(pose(m, frame, minus, kTool, kStiffness));
        numeric.col(j) << (a.p - b.p) / (2 * h), log_rotation(a.R * b.R.transpose()) / (2 * h);
      }
      EXPECT_LT((J0 - numeric).cwiseAbs().maxCoeff(), 1e-8) << kFrameNames[f];

      const Eigen::Matrix3d Rt = transform_of(pose(m, frame, q, kTool, kStiffness)).R.transpose();
      Eigen::Matrix<double, 6, 7> body;
      body << Rt * J0.topRows<3>(), Rt * J0.bottomRows<3>();
      EXPECT_LT((matrix(body_jacobian(m, frame, q, kTool, kStiffness)) - body).cwiseAbs().maxCoeff(), 1e-15)
          << kFrameNames[f];
    }
  }
}

TEST(ModelKinematics, BodyEqualsZeroJacobianForUnrotatedFrame) {
  const NativeBackend& m = zk1();
  const Vec7 q = configurations(1)[1];
  // A tool that undoes the flange's rotation.
  RigidTransform undo;
  undo.R = transform_of(m.flange_pose(q)).R.transpose();
  undo.p = {0.0, 0.01, 0.2};
  const Pose tool = pose_of(undo);
  EXPECT_LT(max_difference(m.ee_body_jacobian(q, tool), m.ee_zero_jacobian(q, tool)), 1e-15);
}

TEST(ModelKinematics, LinkAndHandPoses) {
  const NativeBackend& m = zk1();
  for (const Vec7& q : configurations(3)) {
    const auto links = link_poses(m, q);
    EXPECT_EQ(links[0], kIdentityPose);
    for (int k = 1; k <= 7; ++k) EXPECT_EQ(links[k], m.joint_pose(q, k)) << k;

    const Pose hand = hand_pose(m, q);
    const Pose flange = m.flange_pose(q);
    for (int i : {12, 13, 14}) EXPECT_EQ(hand[i], flange[i]);
    const Eigen::Matrix3d turn = Eigen::AngleAxisd(-M_PI / 4, Eigen::Vector3d::UnitZ()).toRotationMatrix();
    EXPECT_LT((transform_of(hand).R - transform_of(flange).R * turn).cwiseAbs().maxCoeff(), 1e-15);
  }
}

}  // namespace
}  // namespace korvex::model
