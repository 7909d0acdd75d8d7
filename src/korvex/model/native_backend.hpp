#pragma once
// The immutable model of one arm: seven revolute joints in series, built from URDF text.
#include <Eigen/Core>
#include <array>
#include <cstddef>
#include <string_view>

#include "korvex/error.hpp"
#include "korvex/wire/robot/state.hpp"

namespace korvex::model {

inline constexpr std::size_t kJointCount = 7;
//! The chain ends at the link of this name.
inline constexpr std::string_view kFlangeLink = "link8";
//! Axes shorter than this [Euclidean norm] are rejected.
inline constexpr double kDegenerateAxis = 1e-12;

using Jacobian = std::array<double, 42>;  // 6x7 column-major, linear rows first
using Mat7 = std::array<double, 49>;      // column-major

//! x' = R x + p.
struct RigidTransform {
  Eigen::Matrix3d R = Eigen::Matrix3d::Identity();
  Eigen::Vector3d p = Eigen::Vector3d::Zero();

  RigidTransform operator*(const RigidTransform& b) const { return {R * b.R, R * b.p + p}; }
};

//! Rotation of roll, pitch, yaw about the fixed x, y, z axes: Rz(yaw) Ry(pitch) Rx(roll).
Eigen::Matrix3d rpy_rotation(double roll, double pitch, double yaw);

//! Rigid-body inertia about a frame's origin, expressed in that frame.
struct LinkInertia {
  double mass = 0.0;                                 //!< [kg]
  Eigen::Vector3d h = Eigen::Vector3d::Zero();       //!< first moment m c [kg m]
  Eigen::Matrix3d I = Eigen::Matrix3d::Zero();       //!< about the frame origin [kg m^2]

  LinkInertia operator+(const LinkInertia& b) const { return {mass + b.mass, h + b.h, I + b.I}; }
  //! The same body expressed in the frame in which this frame has pose X.
  LinkInertia moved(const RigidTransform& X) const;
};

//! The model operations the library uses, in their slot order.
class ModelBackend {
 public:
  virtual ~ModelBackend() = default;

  virtual Vec7 coriolis(const Vec7& q, const Vec7& dq, const Mat3& I_total, const Vec3& F_x_Ctotal,
                        const Vec3& gravity_earth, double m_total) const = 0;
  virtual Vec7 gravity(const Vec7& q, const Vec3& gravity_earth, const Vec3& F_x_Ctotal, double m_total) const = 0;
  virtual Mat7 mass(const Vec7& q, const Mat3& I_total, const Vec3& F_x_Ctotal, double m_total) const = 0;

  //! Joint number clamped to 1..7.
  virtual Pose joint_pose(const Vec7& q, int joint) const = 0;
  virtual Pose flange_pose(const Vec7& q) const = 0;
  virtual Pose ee_pose(const Vec7& q, const Pose& F_T_EE) const = 0;
  virtual Pose stiffness_pose(const Vec7& q, const Pose& F_T_EE, const Pose& EE_T_K) const = 0;

  virtual Jacobian joint_body_jacobian(const Vec7& q, int joint) const = 0;
  virtual Jacobian flange_body_jacobian(const Vec7& q) const = 0;
  virtual Jacobian ee_body_jacobian(const Vec7& q, const Pose& F_T_EE) const = 0;
  virtual Jacobian stiffness_body_jacobian(const Vec7& q, const Pose& F_T_EE, const Pose& EE_T_K) const = 0;

  virtual Jacobian joint_zero_jacobian(const Vec7& q, int joint) const = 0;
  virtual Jacobian flange_zero_jacobian(const Vec7& q) const = 0;
  virtual Jacobian ee_zero_jacobian(const Vec7& q, const Pose& F_T_EE) const = 0;
  virtual Jacobian stiffness_zero_jacobian(const Vec7& q, const Pose& F_T_EE, const Pose& EE_T_K) const = 0;
};

class NativeBackend final : public ModelBackend {
 public:
  //! Builds the chain that ends at `link8`; faults are Model errors naming the first one found.
  static Result<NativeBackend> from_urdf(std::string_view urdf);
  //! The model of the built-in ZK1 document; that it builds is an invariant of the library.
  static NativeBackend builtin_zk1();

  //! Joint k's frame before its rotation, in joint k-1's rotated frame (the root link's for k = 1).
  const std::array<RigidTransform, kJointCount>& joint_origins() const { return origins_; }
  //! The flange link's frame in joint 7's rotated frame.
  const RigidTransform& flange() const { return flange_; }
  //! Unit rotation axes, each in its joint's frame.
  const std::array<Eigen::Vector3d, kJointCount>& axes() const { return axes_; }
  //! What moves with each joint, in its rotated frame.
  const std::array<LinkInertia, kJointCount>& inertias() const { return inertias_; }

  Vec7 coriolis(const Vec7& q, const Vec7& dq, const Mat3& I_total, const Vec3& F_x_Ctotal,
                const Vec3& gravity_earth, double m_total) const override;
  Vec7 gravity(const Vec7& q, const Vec3& gravity_earth, const Vec3& F_x_Ctotal, double m_total) const override;
  Mat7 mass(const Vec7& q, const Mat3& I_total, const Vec3& F_x_Ctotal, double m_total) const override;

  Pose joint_pose(const Vec7& q, int joint) const override;
  Pose flange_pose(const Vec7& q) const override;
  Pose ee_pose(const Vec7& q, const Pose& F_T_EE) const override;
  Pose stiffness_pose(const Vec7& q, const Pose& F_T_EE, const Pose& EE_T_K) const override;

  Jacobian joint_body_jacobian(const Vec7& q, int joint) const override;
  Jacobian flange_body_jacobian(const Vec7& q) const override;
  Jacobian ee_body_jacobian(const Vec7& q, const Pose& F_T_EE) const override;
  Jacobian stiffness_body_jacobian(const Vec7& q, const Pose& F_T_EE, const Pose& EE_T_K) const override;

  Jacobian joint_zero_jacobian(const Vec7& q, int joint) const override;
  Jacobian flange_zero_jacobian(const Vec7& q) const override;
  Jacobian ee_zero_jacobian(const Vec7& q, const Pose& F_T_EE) const override;
  Jacobian stiffness_zero_jacobian(const Vec7& q, const Pose& F_T_EE, const Pose& EE_T_K) const override;

 private:
  NativeBackend() = default;

  std::array<RigidTransform, kJointCount> origins_{};
  RigidTransform flange_{};
  std::array<Eigen::Vector3d, kJointCount> axes_{};
  std::array<LinkInertia, kJointCount> inertias_{};
};

}  // namespace korvex::model
