#include "korvex/model/kinematics.hpp"

#include <Eigen/Geometry>
#include <algorithm>
#include <cmath>

namespace korvex::model {
namespace {

// Axis-angle matrix cos(q) I + (1 - cos(q)) a a^T + sin(q) [a]x.
Eigen::Matrix3d joint_rotation(const Eigen::Vector3d& a, double q) {
  const double c = std::cos(q);
  const double s = std::sin(q);
  const double t = 1.0 - c;
  Eigen::Matrix3d R;
  R.col(0) << c + a.x() * a.x() * t, a.x() * a.y() * t + a.z() * s, a.x() * a.z() * t - a.y() * s;
  R.col(1) << a.x() * a.y() * t - a.z() * s, c + a.y() * a.y() * t, a.y() * a.z() * t + a.x() * s;
  R.col(2) << a.x() * a.z() * t + a.y() * s, a.y() * a.z() * t - a.x() * s, c + a.z() * a.z() * t;
  return R;
}

// Number of joints whose motion moves the frame.
std::size_t joints_of(Frame frame) {
  const auto index = static_cast<std::size_t>(frame);
  return index < kJointCount ? index + 1 : kJointCount;
}

// T_1 ... T_n, the rotated joint frames in the base frame.
std::size_t joint_frames(const NativeBackend& model, const Vec7& q, std::size_t n,
                         std::array<RigidTransform, kJointCount>& T) {
  const auto& origins = model.joint_origins();
  const auto& axes = model.axes();
  for (std::size_t k = 0; k < n; ++k) {
    const RigidTransform X{origins[k].R * joint_rotation(axes[k], q[k]), origins[k].p};
    T[k] = k == 0 ? X : T[k - 1] * X;
  }
  return n;
}

RigidTransform frame_pose(const NativeBackend& model, Frame frame, const std::array<RigidTransform, kJointCount>& T,
                          const Pose& F_T_EE, const Pose& EE_T_K) {
  switch (frame) {
    case Frame::Flange: return T[kJointCount - 1] * model.flange();
    case Frame::EndEffector: return T[kJointCount - 1] * model.flange() * transform_of(F_T_EE);
    case Frame::Stiffness:
      return T[kJointCount - 1] * model.flange() * transform_of(F_T_EE) * transform_of(EE_T_K);
    default: return T[static_cast<std::size_t>(frame)];
  }
}

}  // namespace

std::optional<Frame> frame_from_name(std::string_view name) {
  for (std::size_t i = 0; i < kFrameCount; ++i) {
    if (kFrameNames[i] == name) return static_cast<Frame>(i);
  }
  return std::nullopt;
}

Frame joint_frame(int joint) { return static_cast<Frame>(std::clamp(joint, 1, 7) - 1); }

RigidTransform transform_of(const Pose& pose) {
  RigidTransform X;
  X.R << pose[0], pose[4], pose[8], pose[1], pose[5], pose[9], pose[2], pose[6], pose[10];
  X.p << pose[12], pose[13], pose[14];
  return X;
}

Pose pose_of(const RigidTransform& X) {
  return {X.R(0, 0), X.R(1, 0), X.R(2, 0), 0.0, X.R(0, 1), X.R(1, 1), X.R(2, 1), 0.0,
          X.R(0, 2), X.R(1, 2), X.R(2, 2), 0.0, X.p.x(),   X.p.y(),   X.p.z(),   1.0};
}

std::array<RigidTransform, kJointCount> local_transforms(const NativeBackend& model, const Vec7& q) {
  std::array<RigidTransform, kJointCount> X;
  const auto& origins = model.joint_origins();
  const auto& axes = model.axes();
  for (std::size_t k = 0; k < kJointCount; ++k) X[k] = {origins[k].R * joint_rotation(axes[k], q[k]), origins[k].p};
  return X;
}

Pose pose(const NativeBackend& model, Frame frame, const Vec7& q, const Pose& F_T_EE, const Pose& EE_T_K) {
  std::array<RigidTransform, kJointCount> T;
  joint_frames(model, q, joints_of(frame), T);
  return pose_of(frame_pose(model, frame, T, F_T_EE, EE_T_K));
}

Jacobian zero_jacobian(const NativeBackend& model, Frame frame, const Vec7& q, const Pose& F_T_EE,
                       const Pose& EE_T_K) {
  std::array<RigidTransform, kJointCount> T;
  const std::size_t n = joint_frames(model, q, joints_of(frame), T);
  const Eigen::Vector3d p_E = frame_pose(model, frame, T, F_T_EE, EE_T_K).p;
  Jacobian J{};
  for (std::size_t j = 0; j < n; ++j) {
    const Eigen::Vector3d z = T[j].R * model.axes()[j];
    const Eigen::Vector3d v = z.cross(p_E - T[j].p);
    std::copy_n(v.data(), 3, J.data() + 6 * j);
    std::copy_n(z.data(), 3, J.data() + 6 * j + 3);
  }
  return J;
}

Jacobian body_jacobian(const NativeBackend& model, Frame frame, const Vec7& q, const Pose& F_T_EE,
                       const Pose& EE_T_K) {
  std::array<RigidTransform, kJointCount> T;
  const std::size_t n = joint_frames(model, q, joints_of(frame), T);
  const RigidTransform E = frame_pose(model, frame, T, F_T_EE, EE_T_K);
  const Eigen::Matrix3d Rt = E.R.transpose();
  Jacobian J{};
  for (std::size_t j = 0; j < n; ++j) {
    const Eigen::Vector3d z = T[j].R * model.axes()[j];
    const Eigen::Vector3d v = Rt * z.cross(E.p - T[j].p);
    const Eigen::Vector3d w = Rt * z;
    std::copy_n(v.data(), 3, J.data() + 6 * j);
    std::copy_n(w.data(), 3, J.data() + 6 * j + 3);
  }
  return J;
}

std::array<Pose, 8> link_poses(const NativeBackend& model, const Vec7& q) {
  std::array<RigidTransform, kJointCount> T;
  joint_frames(model, q, kJointCount, T);
  std::array<Pose, 8> poses;
  poses[0] = kIdentityPose;
  for (std::size_t k = 0; k < kJointCount; ++k) poses[k + 1] = pose_of(T[k]);
  return poses;
}

Pose hand_pose(const NativeBackend& model, const Vec7& q) {
  constexpr double c = 0.7071067811865476;  // cos(pi/4)
  constexpr double s = 0.7071067811865475;  // sin(pi/4)
  Eigen::Matrix3d turn;
  turn << c, s, 0.0, -s, c, 0.0, 0.0, 0.0, 1.0;  // columns (c, -s, 0), (s, c, 0), (0, 0, 1)
  std::array<RigidTransform, kJointCount> T;
  joint_frames(model, q, kJointCount, T);
  RigidTransform hand = frame_pose(model, Frame::Flange, T, kIdentityPose, kIdentityPose);
  hand.R = hand.R * turn;  // the translation stays as it is
  return pose_of(hand);
}

}  // namespace korvex::model
