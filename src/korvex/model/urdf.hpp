#pragma once
// URDF reader: the links with their inertials and the joints, as the document states them.
#include <array>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "korvex/error.hpp"

namespace korvex::model::urdf {

//! Pose of a child frame: translation [m] and roll, pitch, yaw about the fixed x, y, z axes [rad].
struct Origin {
  std::array<double, 3> xyz{};
  std::array<double, 3> rpy{};
};

struct Inertial {
  Origin origin;  //!< centre of mass frame in the link frame
  double mass = 0.0;  //!< [kg]
  double ixx = 0.0, ixy = 0.0, ixz = 0.0, iyy = 0.0, iyz = 0.0, izz = 0.0;  //!< about the centre of mass [kg m^2]
};

struct Link {
  std::string name;
  std::optional<Inertial> inertial;
};

enum class JointType { Revolute, Continuous, Prismatic, Fixed, Floating, Planar, Spherical };

struct Joint {
  std::string name;
  JointType type = JointType::Fixed;
  Origin origin;  //!< joint frame in the parent link frame
  std::string parent;
  std::string child;
  std::array<double, 3> axis{1.0, 0.0, 0.0};  //!< as written, not normalised
};

//! Links and joints in document order.
struct Robot {
  std::string name;
  std::vector<Link> links;
  std::vector<Joint> joints;
};

//! Parses URDF text; faults give "libkorvex model: cannot parse URDF: {error}". Entities are not
//! expanded and nothing outside the text is read.
Result<Robot> parse(std::string_view text);

}  // namespace korvex::model::urdf
