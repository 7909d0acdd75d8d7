#pragma once
// The simulator's side of the state datagram: record to bytes.
#include <cstdint>
#include <span>

#include "korvex/wire/robot/state.hpp"

namespace korvex::sim {

struct DatagramModes {
  std::uint8_t motion_generator_mode = 0;
  std::uint8_t controller_mode = 0;
};

//! Writes a state datagram of the version's size into `out` (at least 2373 bytes); returns its bytes.
std::span<const std::uint8_t> encode_state(const RobotState& state, DatagramModes modes, std::uint16_t version,
                                           std::span<std::uint8_t> out);

}  // namespace korvex::sim
