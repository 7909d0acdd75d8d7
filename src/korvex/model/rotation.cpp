#include "korvex/model/rotation.hpp"

#include <Eigen/LU>
#include <Eigen/SVD>
#include <cmath>

namespace korvex::model {
namespace {

// Four-branch (Shepperd) conversion; the sign of the result is not normalised.
Eigen::Vector4d quaternion_any_sign(const Eigen::Matrix3d& R) {
  Eigen::Vector4d q;  // x, y, z, w
  const double trace = R(0, 0) + R(1, 1) + R(2, 2);
  if (trace > 0.0) {
    double t = std::sqrt(trace + 1.0);
    q[3] = 0.5 * t;
    t = 0.5 / t;
    q[0] = (R(2, 1) - R(1, 2)) * t;
    q[1] = (R(0, 2) - R(2, 0)) * t;
    q[2] = (R(1, 0) - R(0, 1)) * t;
  } else {
    int i = 0;
    if (R(1, 1) > R(0, 0)) i = 1;
    if (R(2, 2) > R(i, i)) i = 2;
    const int j = (i + 1) % 3;
    const int k = (j + 1) % 3;
    double t = std::sqrt(R(i, i) - R(j, j) - R(k, k) + 1.0);
    q[i] = 0.5 * t;
    t = 0.5 / t;
    q[3] = (R(k, j) - R(j, k)) * t;
    q[j] = (R(j, i) + R(i, j)) * t;
    q[k] = (R(k, i) + R(i, k)) * t;
  }
  return q;
}

}  // namespace

Eigen::Matrix3d exp_rotation(const Eigen::Vector3d& v) {
  const double theta2 = v.squaredNorm();
  if (theta2 == 0.0) return Eigen::Matrix3d::Identity();
  const double theta = std::sqrt(theta2);
  const Eigen::Vector3d a = v / theta;
  const double c = std::cos(theta);
  const double s = std::sin(theta);
  const double t = 1.0 - c;
  Eigen::Matrix3d R;
  R << c + a.x() * a.x() * t, a.x() * a.y() * t - a.z() * s, a.x() * a.z() * t + a.y() * s,
      a.x() * a.y() * t + a.z() * s, c + a.y() * a.y() * t, a.y() * a.z() * t - a.x() * s,
      a.x() * a.z() * t - a.y() * s, a.y() * a.z() * t + a.x() * s, c + a.z() * a.z() * t;
  return R;
}

Eigen::Vector3d log_rotation(const Eigen::Matrix3d& R) {
  const Eigen::Vector4d q = quaternion_any_sign(R);
  double s = q.head<3>().norm();
  if (s == 0.0) return Eigen::Vector3d::Zero();
  const double angle = 2.0 * std::atan2(s, std::abs(q[3]));
  if (q[3] < 0.0) s = -s;
  return q.head<3>() / s * angle;
}

Eigen::Vector4d quaternion_of(const Eigen::Matrix3d& R) {
  Eigen::Vector4d q = quaternion_any_sign(R);
  if (q[3] < 0.0) q = -q;
  return q;
}

Eigen::Matrix3d nearest_rotation(const Eigen::Matrix3d& M) {
  // Jacobi sweeps run until the off-diagonal part falls below the tolerance; there is no sweep limit.
  Eigen::JacobiSVD<Eigen::Matrix3d> svd(M, Eigen::ComputeFullU | Eigen::ComputeFullV);
  if (svd.info() != Eigen::Success) return M;
  Eigen::Matrix3d U = svd.matrixU();
  const Eigen::Matrix3d& V = svd.matrixV();
  if ((U * V.transpose()).determinant() < 0.0) U.col(2) = -U.col(2);
  return U * V.transpose();
}

}  // namespace korvex::model
