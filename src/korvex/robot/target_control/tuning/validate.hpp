#pragma once
// Checks run before a target control starts; the first failure wins.
#include "korvex/error.hpp"
#include "korvex/robot/target_control/tuning/arm_limits.hpp"
#include "korvex/robot/target_control/tuning/options.hpp"

namespace korvex {

Status validate(const ImpedanceOptions& options);
//! Includes the posture check against `model`'s joint limits.
Status validate(const JointTargetOptions& options, ArmModel model);
Status validate(const CartesianTargetOptions& options, ArmModel model);

//! "otg: limits must be finite and positive and the position finite, got {limits} at {position}"
Error otg_limits_error(const OtgLimits& limits, double position);

}  // namespace korvex
