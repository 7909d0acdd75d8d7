#pragma once
// Where a robot's gripper lives: the robot's host, on the gripper's own port.
#include <string>
#include <string_view>

namespace korvex {

//! The robot's address without a trailing ":port" (decimal digits, optional '+', at most 65535);
//! "[v6]:port" gives the bare v6 address, and a bare v6 address is kept whole.
std::string gripper_host_from_robot_address(std::string_view address);

}  // namespace korvex
