#pragma once
// Rotation helpers shared by the model, the command shaping and target control.
#include <Eigen/Core>

namespace korvex::model {

//! Rotation matrix of a rotation vector (axis times angle) [rad].
Eigen::Matrix3d exp_rotation(const Eigen::Vector3d& v);
//! Rotation vector of a rotation matrix, angle in [0, pi].
Eigen::Vector3d log_rotation(const Eigen::Matrix3d& R);
//! Unit quaternion (x, y, z, w) of a rotation matrix with w >= 0.
Eigen::Vector4d quaternion_of(const Eigen::Matrix3d& R);
//! Nearest rotation of a 3x3 matrix by SVD; the matrix itself when the decomposition fails.
Eigen::Matrix3d nearest_rotation(const Eigen::Matrix3d& M);

}  // namespace korvex::model
