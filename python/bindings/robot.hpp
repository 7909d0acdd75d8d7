#pragma once
// The C++ side of a Python Robot; other binding files add their methods to this class.
#include <memory>
#include <string>

#include "korvex/robot/connection.hpp"

namespace korvex::python {

struct RobotHandle {
  std::string address;  //!< exactly as passed to the constructor
  std::shared_ptr<Connection> connection;
};

}  // namespace korvex::python
