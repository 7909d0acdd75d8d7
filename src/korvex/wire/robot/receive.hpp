#pragma once
// Reception of the newest state and the shared bookkeeping it feeds.
#include <cstdint>
#include <mutex>

#include "korvex/error.hpp"
#include "korvex/network/tcp.hpp"
#include "korvex/network/udp.hpp"
#include "korvex/wire/robot/codec.hpp"
#include "korvex/wire/robot/state.hpp"

namespace korvex {

//! Last accepted state's id and modes, shared by state reception, command senders and reply handlers.
//! Every field is guarded by `mutex`; hold it briefly and never together with another lock.
struct StateBookkeeping {
  std::mutex mutex;
  std::uint64_t last_message_id = 0;
  RobotMode robot_mode = RobotMode::Other;
  std::uint8_t motion_generator_mode = 0;  //!< 0-5; 1-4: a motion generator runs
  std::uint8_t controller_mode = 3;        //!< 0-3; 2: the external controller runs
  //! Modes the states show while the motion in progress runs: the Move's generator mode + 1 and its
  //! controller mode; 0 and 3 when no motion runs.
  std::uint8_t expected_motion_generator_mode = 0;
  std::uint8_t expected_controller_mode = 3;

  //! Stores a state's id and its modes, clamped to their known ranges.
  void record(std::uint64_t message_id, const StateModes& modes);
  RobotMode last_robot_mode();
};

//! Drains the socket and returns the newest state with an id above the last accepted one, blocking
//! (up to the UDP timeout) when none is waiting. A UDP network failure shuts the TCP channel down.
Result<RobotState> receive_newest_state(net::UdpChannel& udp, net::TcpChannel& tcp, StateBookkeeping& bookkeeping,
                                        std::uint16_t version);

}  // namespace korvex
