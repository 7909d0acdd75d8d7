#pragma once
// Forward kinematics of a NativeBackend: frame poses and Jacobians, recomputed from q every call.
#include <array>
#include <cstdint>
#include <optional>
#include <string_view>

#include "korvex/model/native_backend.hpp"

namespace korvex::model {

enum class Frame : std::uint8_t { Joint1, Joint2, Joint3, Joint4, Joint5, Joint6, Joint7, Flange, EndEffector, Stiffness };

inline constexpr std::size_t kFrameCount = 10;
//! Frame names in index order, as the Python layer spells them.
inline constexpr std::array<std::string_view, kFrameCount> kFrameNames = {
    "joint1", "joint2", "joint3", "joint4", "joint5", "joint6", "joint7", "flange", "ee", "stiffness",
};

//! Exact, case-sensitive lookup.
std::optional<Frame> frame_from_name(std::string_view name);
//! `joint`k with k clamped to 1..7.
Frame joint_frame(int joint);

inline constexpr Pose kIdentityPose = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1};

//! Rotation from elements 0-2, 4-6, 8-10 (as given, not re-orthonormalised), translation from 12-14.
RigidTransform transform_of(const Pose& pose);
Pose pose_of(const RigidTransform& X);

//! X_k = O_k (R(a_k, q_k), 0) for every joint.
std::array<RigidTransform, kJointCount> local_transforms(const NativeBackend& model, const Vec7& q);

//! Pose of `frame` in the base frame; F_T_EE and EE_T_K are read only by the frames that use them.
Pose pose(const NativeBackend& model, Frame frame, const Vec7& q, const Pose& F_T_EE = kIdentityPose,
          const Pose& EE_T_K = kIdentityPose);
//! Jacobian of `frame` expressed in the base frame.
Jacobian zero_jacobian(const NativeBackend& model, Frame frame, const Vec7& q, const Pose& F_T_EE = kIdentityPose,
                       const Pose& EE_T_K = kIdentityPose);
//! Jacobian of `frame` expressed in `frame` itself.
Jacobian body_jacobian(const NativeBackend& model, Frame frame, const Vec7& q, const Pose& F_T_EE = kIdentityPose,
                       const Pose& EE_T_K = kIdentityPose);

//! The identity followed by the poses of joint1..joint7 (where link0..link7 hang).
std::array<Pose, 8> link_poses(const NativeBackend& model, const Vec7& q);
//! The flange pose turned by -45 deg about its z (where a hand hangs).
Pose hand_pose(const NativeBackend& model, const Vec7& q);

}  // namespace korvex::model
