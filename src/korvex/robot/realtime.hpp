#pragma once
// Realtime scheduling (SCHED_FIFO) and CPU pinning of the calling thread.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include "korvex/error.hpp"

namespace korvex {

//! Flag file of a PREEMPT_RT kernel.
inline constexpr std::string_view kRealtimeKernelFlag = "/sys/kernel/realtime";

//! Placement of a control thread; absent values keep the defaults (highest priority, any CPU).
struct ThreadRealtimeOptions {
  std::optional<std::int32_t> priority;  //!< SCHED_FIFO priority, 1 to 99
  std::optional<std::size_t> cpu;        //!< CPU index, below 1024
};

//! True when the flag file reads "1" (surrounding white space ignored); false when unreadable.
bool has_realtime_kernel(std::string_view flag_path = kRealtimeKernelFlag);

//! Raises the calling thread to SCHED_FIFO at the system's maximum priority.
Status set_highest_priority();

//! Raises the calling thread to SCHED_FIFO at `priority`.
Status set_priority(int priority);

//! Restricts the calling thread to one CPU.
Status pin_to_cpu(std::size_t cpu);

//! Start-up step of a control thread: priority, then pinning (attempted even when the priority
//! failed). In ignore mode every failure is dropped; otherwise the first one is returned.
Status configure_realtime_thread(bool ignore, const ThreadRealtimeOptions& options);

//! Start-up step of a connection: highest priority in both modes; in enforce mode a failure, or a
//! kernel without the realtime flag, is written to standard error and returned.
Status configure_connection_thread(bool ignore, std::string_view flag_path = kRealtimeKernelFlag);

}  // namespace korvex
