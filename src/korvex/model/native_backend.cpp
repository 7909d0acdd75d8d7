#include "korvex/model/native_backend.hpp"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unordered_map>
#include <vector>

#include "korvex/format.hpp"
#include "korvex/model/builtin_zk1.hpp"
#include "korvex/model/dynamics.hpp"
#include "korvex/model/kinematics.hpp"
#include "korvex/model/urdf.hpp"

namespace korvex::model {
namespace {

Eigen::Matrix3d skew_product_sum(const Eigen::Vector3d& a, const Eigen::Vector3d& b) {
  // [a]x [b]x + [b]x [a]x = a b^T + b a^T - 2 (a . b) I
  Eigen::Matrix3d S = a * b.transpose() + b * a.transpose();
  S.diagonal().array() -= 2.0 * a.dot(b);
  return S;
}

RigidTransform transform_of(const urdf::Origin& origin) {
  return {rpy_rotation(origin.rpy[0], origin.rpy[1], origin.rpy[2]),
          Eigen::Vector3d(origin.xyz[0], origin.xyz[1], origin.xyz[2])};
}

// The link's inertia about its own frame's origin.
LinkInertia link_inertia(const urdf::Inertial& in) {
  const Eigen::Matrix3d R = rpy_rotation(in.origin.rpy[0], in.origin.rpy[1], in.origin.rpy[2]);
  const Eigen::Vector3d c(in.origin.xyz[0], in.origin.xyz[1], in.origin.xyz[2]);
  Eigen::Matrix3d Ic;
  Ic << in.ixx, in.ixy, in.ixz, in.ixy, in.iyy, in.iyz, in.ixz, in.iyz, in.izz;
  // - m [c]x [c]x = m (|c|^2 I - c c^T)
  Eigen::Matrix3d shift = -in.mass * (c * c.transpose());
  shift.diagonal().array() += in.mass * c.squaredNorm();
  return {in.mass, in.mass * c, R * Ic * R.transpose() + shift};
}

std::string_view type_name(urdf::JointType type) {
  switch (type) {
    case urdf::JointType::Prismatic: return "Prismatic";
    case urdf::JointType::Floating: return "Floating";
    case urdf::JointType::Planar: return "Planar";
    case urdf::JointType::Spherical: return "Spherical";
    case urdf::JointType::Revolute: return "Revolute";
    case urdf::JointType::Continuous: return "Continuous";
    case urdf::JointType::Fixed: return "Fixed";
  }
  return "Unknown";
}

std::string quoted_name(std::string_view name) { return "'" + std::string(name) + "'"; }

Error model_error(const std::string& what) { return Error::model("libkorvex model: " + what); }

}  // namespace

Eigen::Matrix3d rpy_rotation(double roll, double pitch, double yaw) {
  const double cr = std::cos(roll), sr = std::sin(roll);
  const double cp = std::cos(pitch), sp = std::sin(pitch);
  const double cy = std::cos(yaw), sy = std::sin(yaw);
  Eigen::Matrix3d R;
  R.col(0) << cy * cp, sy * cp, -sp;
  R.col(1) << cy * sp * sr - sy * cr, sy * sp * sr + cy * cr, cp * sr;
  R.col(2) << cy * sp * cr + sy * sr, sy * sp * cr - cy * sr, cp * cr;
  return R;
}

LinkInertia LinkInertia::moved(const RigidTransform& X) const {
  const Eigen::Vector3d Rh = X.R * h;
  Eigen::Matrix3d pp = X.p * X.p.transpose();
  pp.diagonal().array() -= X.p.squaredNorm();  // [p]x [p]x
  return {mass, Rh + mass * X.p, X.R * I * X.R.transpose() - skew_product_sum(X.p, Rh) - mass * pp};
}

Result<NativeBackend> NativeBackend::from_urdf(std::string_view text) {
  auto parsed = urdf::parse(text);
  if (!parsed) return fail(std::move(parsed.error()));
  const urdf::Robot& robot = *parsed;
  const std::vector<urdf::Joint>& joints = robot.joints;

  std::unordered_map<std::string_view, std::size_t> by_child;
  for (std::size_t i = 0; i < joints.size(); ++i) {
    if (!by_child.emplace(joints[i].child, i).second) {
      return fail(model_error("link " + quoted_name(joints[i].child) + " is the child of more than one joint"));
    }
  }

  bool has_flange = false;
  for (const auto& link : robot.links) has_flange = has_flange || link.name == kFlangeLink;
  if (!has_flange) return fail(model_error("URDF has no " + quoted_name(kFlangeLink) + " link"));

  std::vector<std::size_t> path;
  for (std::string_view link = kFlangeLink;;) {
    const auto it = by_child.find(link);
    if (it == by_child.end()) break;
    if (path.size() == joints.size()) return fail(model_error("URDF joint tree contains a cycle"));
    path.push_back(it->second);
    link = joints[it->second].parent;
  }

  NativeBackend model;
  std::array<std::string_view, kJointCount> chain_names{};
  std::size_t count = 0;
  RigidTransform pending;
  for (auto step = path.rbegin(); step != path.rend(); ++step) {
    const urdf::Joint& joint = joints[*step];
    switch (joint.type) {
      case urdf::JointType::Revolute:
      case urdf::JointType::Continuous: {
        if (count == kJointCount) {
          return fail(model_error("URDF chain to " + quoted_name(kFlangeLink) + " has more than " +
                                  fmt::number(static_cast<double>(kJointCount)) + " movable joints"));
        }
        const Eigen::Vector3d axis(joint.axis[0], joint.axis[1], joint.axis[2]);
        const double norm = axis.norm();
        if (norm < kDegenerateAxis) {
          return fail(model_error("joint " + quoted_name(joint.name) + " has a degenerate axis"));
        }
        model.origins_[count] = pending * transform_of(joint.origin);
        model.axes_[count] = axis / norm;
        chain_names[count] = joint.name;
        ++count;
        pending = RigidTransform{};
        break;
      }
      case urdf::JointType::Fixed:
        pending = pending * transform_of(joint.origin);
        break;
      default:
        return fail(model_error("joint " + quoted_name(joint.name) + " has unsupported type " +
                                std::string(type_name(joint.type))));
    }
  }
  if (count < kJointCount) {
    return fail(model_error("URDF chain to " + quoted_name(kFlangeLink) + " has " +
                            fmt::number(static_cast<double>(count)) + " movable joints, expected " +
                            fmt::number(static_cast<double>(kJointCount))));
  }
  model.flange_ = pending;

  for (const auto& link : robot.links) {
    if (!link.inertial || link.inertial->mass == 0.0) continue;
    const LinkInertia inertia = link_inertia(*link.inertial);
    RigidTransform X;
    std::size_t steps = 0;
    for (std::string_view current = link.name;;) {
      const auto it = by_child.find(current);
      if (it == by_child.end()) break;  // at or behind the root: does not move with the arm
      if (++steps > joints.size() + 1) return fail(model_error("URDF joint tree contains a cycle"));
      const urdf::Joint& joint = joints[it->second];
      std::size_t k = 0;
      while (k < kJointCount && chain_names[k] != joint.name) ++k;
      if (k < kJointCount) {
        model.inertias_[k] = model.inertias_[k] + inertia.moved(X);
        break;
      }
      if (joint.type != urdf::JointType::Fixed) {
        return fail(model_error("link " + quoted_name(link.name) + " is behind movable joint " +
                                quoted_name(joint.name) + ", which is not part of the arm chain"));
      }
      X = transform_of(joint.origin) * X;
      current = joint.parent;
    }
  }
  return model;
}

NativeBackend NativeBackend::builtin_zk1() {
  auto model = from_urdf(builtin_zk1_urdf());
  if (!model) {
    std::fputs("the built-in ZK1 URDF parses\n", stderr);
    std::abort();
  }
  return std::move(*model);
}

Vec7 NativeBackend::coriolis(const Vec7& q, const Vec7& dq, const Mat3& I_total, const Vec3& F_x_Ctotal,
                             const Vec3& gravity_earth, double m_total) const {
  return model::coriolis(*this, q, dq, I_total, F_x_Ctotal, gravity_earth, m_total);
}
Vec7 NativeBackend::gravity(const Vec7& q, const Vec3& gravity_earth, const Vec3& F_x_Ctotal, double m_total) const {
  return model::gravity(*this, q, gravity_earth, F_x_Ctotal, m_total);
}
Mat7 NativeBackend::mass(const Vec7& q, const Mat3& I_total, const Vec3& F_x_Ctotal, double m_total) const {
  return mass_matrix(*this, q, I_total, F_x_Ctotal, m_total);
}

Pose NativeBackend::joint_pose(const Vec7& q, int joint) const { return pose(*this, joint_frame(joint), q); }
Pose NativeBackend::flange_pose(const Vec7& q) const { return pose(*this, Frame::Flange, q); }
Pose NativeBackend::ee_pose(const Vec7& q, const Pose& F_T_EE) const {
  return pose(*this, Frame::EndEffector, q, F_T_EE);
}
Pose NativeBackend::stiffness_pose(const Vec7& q, const Pose& F_T_EE, const Pose& EE_T_K) const {
  return pose(*this, Frame::Stiffness, q, F_T_EE, EE_T_K);
}

Jacobian NativeBackend::joint_body_jacobian(const Vec7& q, int joint) const {
  return body_jacobian(*this, joint_frame(joint), q);
}
Jacobian NativeBackend::flange_body_jacobian(const Vec7& q) const { return body_jacobian(*this, Frame::Flange, q); }
Jacobian NativeBackend::ee_body_jacobian(const Vec7& q, const Pose& F_T_EE) const {
  return body_jacobian(*this, Frame::EndEffector, q, F_T_EE);
}
Jacobian NativeBackend::stiffness_body_jacobian(const Vec7& q, const Pose& F_T_EE, const Pose& EE_T_K) const {
  return body_jacobian(*this, Frame::Stiffness, q, F_T_EE, EE_T_K);
}

Jacobian NativeBackend::joint_zero_jacobian(const Vec7& q, int joint) const {
  return zero_jacobian(*this, joint_frame(joint), q);
}
Jacobian NativeBackend::flange_zero_jacobian(const Vec7& q) const { return zero_jacobian(*this, Frame::Flange, q); }
Jacobian NativeBackend::ee_zero_jacobian(const Vec7& q, const Pose& F_T_EE) const {
  return zero_jacobian(*this, Frame::EndEffector, q, F_T_EE);
}
Jacobian NativeBackend::stiffness_zero_jacobian(const Vec7& q, const Pose& F_T_EE, const Pose& EE_T_K) const {
  return zero_jacobian(*this, Frame::Stiffness, q, F_T_EE, EE_T_K);
}

}  // namespace korvex::model
