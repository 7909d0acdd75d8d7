#include <gtest/gtest.h>

#include <Eigen/Geometry>
#include <Eigen/LU>
#include <cmath>
#include <limits>
#include <numbers>

#include "korvex/model/rotation.hpp"

namespace korvex::model {
namespace {

using Eigen::Matrix3d;
using Eigen::Vector3d;
using Eigen::Vector4d;

constexpr double kPi = std::numbers::pi;

const Vector3d kVectors[] = {
    {0.3, -0.2, 0.1}, {1.0, 0.0, 0.0}, {0.0, -2.5, 0.0}, {0.0, 0.0, 3.1}, {-1.2, 1.7, 0.4}, {1e-9, 0, 0},
};

TEST(Rotation, ExpMatchesAngleAxis) {
  EXPECT_EQ(exp_rotation(Vector3d::Zero()), Matrix3d::Identity());
  for (const auto& v : kVectors) {
    const Matrix3d expected = Eigen::AngleAxisd(v.norm(), v.normalized()).toRotationMatrix();
    EXPECT_LT((exp_rotation(v) - expected).cwiseAbs().maxCoeff(), 1e-15) << v.transpose();
  }
}

TEST(Rotation, LogInvertsExp) {
  for (const auto& v : kVectors) {
    EXPECT_LT((log_rotation(exp_rotation(v)) - v).norm(), 1e-14) << v.transpose();
  }
  EXPECT_EQ(log_rotation(Matrix3d::Identity()), Vector3d::Zero());
  // Half turn: angle pi, axis up to sign.
  const Vector3d half = log_rotation(Eigen::Vector3d(1, -1, -1).asDiagonal());
  EXPECT_NEAR(half.norm(), kPi, 1e-15);
  EXPECT_NEAR(std::abs(half.x()), kPi, 1e-15);
}

TEST(Rotation, QuaternionHasNonNegativeW) {
  // Rotations of every branch of the conversion, including those that come out with w < 0.
  const Vector3d axes[] = {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}, {1, 1, 1}, {-1, 2, 0.5}};
  for (const auto& axis : axes) {
    for (double angle : {0.1, 1.5, 2.9, 3.1, -3.1, 4.0}) {
      const Matrix3d R = Eigen::AngleAxisd(angle, axis.normalized()).toRotationMatrix();
      const Vector4d q = quaternion_of(R);
      EXPECT_GE(q[3], 0.0);
      EXPECT_NEAR(q.norm(), 1.0, 1e-15);
      const Eigen::Quaterniond back(q[3], q[0], q[1], q[2]);
      EXPECT_LT((back.toRotationMatrix() - R).cwiseAbs().maxCoeff(), 1e-15);
    }
  }
}

TEST(Rotation, NearestRotation) {
  const Matrix3d R = exp_rotation({0.4, -0.7, 1.1});
  Matrix3d noisy = R;
  noisy(0, 1) += 1e-6;
  noisy(2, 0) -= 2e-6;
  const Matrix3d fixed = nearest_rotation(noisy);
  EXPECT_LT((fixed.transpose() * fixed - Matrix3d::Identity()).cwiseAbs().maxCoeff(), 1e-15);
  EXPECT_NEAR(fixed.determinant(), 1.0, 1e-15);
  EXPECT_LT((fixed - R).cwiseAbs().maxCoeff(), 3e-6);
  EXPECT_LT((nearest_rotation(R) - R).cwiseAbs().maxCoeff(), 1e-15);

  // A reflection becomes a proper rotation.
  EXPECT_NEAR(nearest_rotation(Eigen::Vector3d(1, 1, -1).asDiagonal()).determinant(), 1.0, 1e-15);

  // A matrix the decomposition rejects comes back unchanged.
  Matrix3d bad = R;
  bad(1, 1) = std::numeric_limits<double>::quiet_NaN();
  const Matrix3d out = nearest_rotation(bad);
  EXPECT_TRUE(std::isnan(out(1, 1)));
  EXPECT_EQ(out(0, 0), R(0, 0));
}

}  // namespace
}  // namespace korvex::model
