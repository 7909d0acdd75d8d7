#pragma once
// First-order low-pass filters for commands: scalar, and pose (translation blended, orientation slerped).
#include "korvex/error.hpp"
#include "korvex/wire/robot/state.hpp"

namespace korvex {

//! Commands are filtered only below this cutoff [Hz].
constexpr double kMaxCutoffFrequency = 1000.0;

//! gain * y + (1 - gain) * y_prev with gain = dt / (dt + 1 / (2 pi cutoff)).
Result<double> lowpass(double sample_time, double y, double y_prev, double cutoff_frequency);

//! Pose filter with the same gain; the orientation moves from y_prev towards y by the fraction gain
//! along the shortest arc. Elements 3, 7, 11 and 15 are copied from y.
Result<Pose> cartesian_lowpass(const Pose& y, const Pose& y_prev, double sample_time, double cutoff_frequency);

}  // namespace korvex
