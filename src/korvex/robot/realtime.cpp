#include "korvex/robot/realtime.hpp"

#include <fcntl.h>
#include <pthread.h>
#include <sched.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

namespace korvex {
namespace {

constexpr std::size_t kCpuSetBits = 1024;
static_assert(sizeof(cpu_set_t) * 8 == kCpuSetBits);

// Length of the valid UTF-8 sequence at s[i], or 0 when it is not valid.
std::size_t utf8_sequence(std::string_view s, std::size_t i) {
  const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
  const unsigned char c = byte(i);
  if (c < 0x80) return 1;
  std::size_t n;
  unsigned char lo = 0x80, hi = 0xbf;
  if (c >= 0xc2 && c <= 0xdf) {
    n = 2;
  } else if (c >= 0xe0 && c <= 0xef) {
    n = 3;
    if (c == 0xe0) lo = 0xa0;
    if (c == 0xed) hi = 0x9f;
  } else if (c >= 0xf0 && c <= 0xf4) {
    n = 4;
    if (c == 0xf0) lo = 0x90;
    if (c == 0xf4) hi = 0x8f;
  } else {
    return 0;
  }
  if (i + n > s.size()) return 0;
  if (byte(i + 1) < lo || byte(i + 1) > hi) return 0;
  for (std::size_t k = 2; k < n; ++k)
    if (byte(i + k) < 0x80 || byte(i + k) > 0xbf) return 0;
  return n;
}

// strerror text; a locale could hand back bytes that are not UTF-8.
std::string reason(int error_number) {
  char buf[256];
  const std::string_view raw = strerror_r(error_number, buf, sizeof buf);
  std::string out;
  for (std::size_t i = 0; i < raw.size();) {
    const std::size_t n = utf8_sequence(raw, i);
    if (n == 0) {
      out += "\xef\xbf\xbd";
      ++i;
    } else {
      out.append(raw.substr(i, n));
      i += n;
    }
  }
  return out;
}

void write_line(const std::string& message) {
  const std::string line = message + '\n';
  std::fwrite(line.data(), 1, line.size(), stderr);
}

}  // namespace

bool has_realtime_kernel(std::string_view flag_path) {
  // Plain reads: an unreadable path (missing, a directory, no permission) means no realtime kernel.
  const int fd = ::open(std::string(flag_path).c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  std::string text;
  char buf[256];
  for (;;) {
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n == 0) break;
    if (n < 0) {
      if (errno == EINTR) continue;
      ::close(fd);
      return false;
    }
    text.append(buf, static_cast<std::size_t>(n));
  }
  ::close(fd);
  constexpr std::string_view kSpace = " \t\n\r\f\v";
  const auto first = text.find_first_not_of(kSpace);
  if (first == std::string::npos) return false;
  const auto last = text.find_last_not_of(kSpace);
  return std::string_view(text).substr(first, last - first + 1) == "1";
}

Status set_highest_priority() {
  errno = 0;
  const int max = sched_get_priority_max(SCHED_FIFO);
  if (max == -1)
    return fail(Error::realtime("libkorvex: unable to get maximum possible thread priority: " + reason(errno)));
  return set_priority(max);
}

Status set_priority(int priority) {
  sched_param param{};
  param.sched_priority = priority;
  // Cleared first so that a stale errno from earlier calls cannot name the wrong reason.
  errno = 0;
  const int rc = pthread_setschedparam(pthread_self(), SCHED_FIFO, &param);
  if (rc != 0) {
    const int error_number = errno != 0 ? errno : rc;
    return fail(Error::realtime("libkorvex: unable to set realtime scheduling: " + reason(error_number)));
  }
  return {};
}

Status pin_to_cpu(std::size_t cpu) {
  int error_number = EINVAL;
  if (cpu < kCpuSetBits) {
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(cpu, &set);
    if (sched_setaffinity(0, sizeof set, &set) == 0) return {};
    error_number = errno;
  }
  return fail(Error::realtime("korvex: unable to pin the thread to cpu " + std::to_string(cpu) + ": " +
                              reason(error_number)));
}

Status configure_realtime_thread(bool ignore, const ThreadRealtimeOptions& options) {
  Status scheduling = options.priority ? set_priority(*options.priority) : set_highest_priority();
  Status pinning = options.cpu ? pin_to_cpu(*options.cpu) : Status{};
  if (ignore) return {};
  if (!scheduling) return scheduling;
  return pinning;
}

Status configure_connection_thread(bool ignore, std::string_view flag_path) {
  if (Status raised = set_highest_priority(); !raised) {
    if (ignore) return {};
    write_line(raised.error().message());
    return raised;
  }
  if (!ignore && !has_realtime_kernel(flag_path)) {
    std::string message = "libkorvex: Running kernel does not have realtime capabilities.";
    write_line(message);
    return fail(Error::realtime(std::move(message)));
  }
  return {};
}

}  // namespace korvex
