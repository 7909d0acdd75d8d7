#pragma once
// The URDF document of the legacy ZK1 arm, carried by the library (the arm cannot send one).
#include <string_view>

namespace korvex::model {

//! The built-in ZK1 URDF text (UTF-8, root element `robot` named "zk1").
std::string_view builtin_zk1_urdf();

}  // namespace korvex::model
