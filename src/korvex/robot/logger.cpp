#include "korvex/robot/logger.hpp"

namespace korvex {

Logger::Logger(std::size_t log_size) : states_(log_size), commands_(log_size) {}

void Logger::record(const RobotCommandLog& command, const RobotState& state) noexcept {
  const std::size_t capacity = states_.size();
  if (capacity == 0) return;
  std::unique_lock lock(mutex_, std::try_to_lock);
  if (!lock.owns_lock()) return;
  states_[next_] = state;
  commands_[next_] = command;
  next_ = (next_ + 1) % capacity;
  if (count_ < capacity) ++count_;
}

std::vector<Record> Logger::take() {
  std::vector<Record> out;
  // Allocated before locking so the recording thread is never kept out by an allocation.
  out.reserve(states_.size());
  std::lock_guard lock(mutex_);
  for (std::size_t i = 0; i < count_; ++i) {
    const std::size_t k = (next_ + i) % count_;
    out.push_back(Record{states_[k], commands_[k]});
  }
  next_ = 0;
  count_ = 0;
  return out;
}

}  // namespace korvex
