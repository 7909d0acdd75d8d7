#pragma once
// The C++ side of a Python Model: an immutable model of one arm, no connection.
#include "korvex/model/native_backend.hpp"

namespace korvex::python {

struct ModelHandle {
  model::NativeBackend backend;
};

}  // namespace korvex::python
