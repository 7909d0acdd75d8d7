#pragma once
#include <string>

namespace korvex::sim {

//! The URDF document a simulated ZK2 arm returns for Get Robot Model: the ZK1 chain and inertials with
//! the ZK2 joint limits and position-based velocity limits.
std::string zk2_description();

}  // namespace korvex::sim
