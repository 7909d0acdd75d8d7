#pragma once
// The motion log: the last log_size commands sent and states received, for a ControlException.
#include <cstddef>
#include <mutex>
#include <vector>

#include "korvex/robot/robot_impl/exception.hpp"

namespace korvex {

class Logger {
 public:
  //! Both rings are allocated here, at full capacity; `record` never allocates.
  explicit Logger(std::size_t log_size);

  Logger(const Logger&) = delete;
  Logger& operator=(const Logger&) = delete;

  std::size_t capacity() const { return states_.size(); }

  //! Called once per motion cycle. The lock is only tried: a cycle that meets a concurrent
  //! `take` (which empties the log anyway) is dropped rather than blocking the 1 kHz loop.
  void record(const RobotCommandLog& command, const RobotState& state) noexcept;

  //! The stored entries, oldest first; empties the log.
  std::vector<Record> take();

 private:
  std::mutex mutex_;
  std::vector<RobotState> states_;
  std::vector<RobotCommandLog> commands_;
  std::size_t next_ = 0;
  std::size_t count_ = 0;
};

}  // namespace korvex
