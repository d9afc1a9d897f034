#include "platform/thread_priority.hpp"

#include <sched.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <mutex>
#include <optional>

#include "platform/stderr_log.hpp"

namespace kestrune::platform {

namespace {

constexpr int kStrongestNice = -20;
constexpr int kWeakestNice = 19;

bool set_fifo(int priority) {
  sched_param param{};
  param.sched_priority = priority;
  // 0 is the calling thread. A child process starts at normal priority again.
  return ::sched_setscheduler(0, SCHED_FIFO | SCHED_RESET_ON_FORK, &param) == 0;
}

// The highest SCHED_FIFO priority an unprivileged thread may take: RLIMIT_RTPRIO, 0 for none.
int rtprio_limit() {
  rlimit limit{};
  if (::getrlimit(RLIMIT_RTPRIO, &limit) != 0) return 0;
  return static_cast<int>(std::min<rlim_t>(limit.rlim_cur, 99));
}

// The strongest nice an unprivileged thread may take: 20 - RLIMIT_NICE (RLIMIT_NICE 0 or 1
// permits nothing below the present value).
int nice_floor() {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NICE, &limit) != 0) return kWeakestNice;
  const rlim_t ceiling = std::min<rlim_t>(limit.rlim_cur, 40);
  return 20 - static_cast<int>(ceiling);
}

// The calling thread's nice value (Linux keeps one per thread), or nothing when it cannot be read.
std::optional<int> current_nice(pid_t thread) {
  errno = 0;
  const int value = ::getpriority(PRIO_PROCESS, static_cast<id_t>(thread));
  if (value == -1 && errno != 0) return std::nullopt;
  return value;
}

bool set_nice(pid_t thread, int value) {
  return ::setpriority(PRIO_PROCESS, static_cast<id_t>(thread), value) == 0;
}

std::optional<ThreadPriority> try_realtime() {
  if (set_fifo(kRealtimePriority)) {
    return ThreadPriority{ThreadPriorityKind::realtime, kRealtimePriority};
  }
  const int allowed = std::min(rtprio_limit(), kRealtimePriority);
  if (allowed > 0 && set_fifo(allowed)) {
    return ThreadPriority{ThreadPriorityKind::realtime, allowed};
  }
  return std::nullopt;
}

std::optional<ThreadPriority> try_nice() {
  const pid_t thread = ::gettid();
  const std::optional<int> before = current_nice(thread);
  if (!before) return std::nullopt;
  for (const int wanted : {kStrongestNice, nice_floor()}) {
    if (wanted >= *before) continue;
    if (set_nice(thread, wanted)) return ThreadPriority{ThreadPriorityKind::raised_nice, wanted};
  }
  return std::nullopt;
}

// The line for what `thread_name` got, in `out`; its length. Formatted without allocating, as
// the real-time threads that call this allocate nothing once they run.
std::size_t describe(std::string_view thread_name, const ThreadPriority& got, char (&out)[160]) {
  const int name_length = static_cast<int>(std::min<std::size_t>(thread_name.size(), 64));
  int written = 0;
  switch (got.kind) {
    case ThreadPriorityKind::realtime:
      written = std::snprintf(out, sizeof out,
                              "stage=thread_priority thread=%.*s policy=fifo priority=%d",
                              name_length, thread_name.data(), got.value);
      break;
    case ThreadPriorityKind::raised_nice:
      written =
          std::snprintf(out, sizeof out, "stage=thread_priority thread=%.*s policy=nice nice=%d",
                        name_length, thread_name.data(), got.value);
      break;
    case ThreadPriorityKind::normal:
      written =
          std::snprintf(out, sizeof out, "warning[thread_priority]: %.*s runs at normal priority",
                        name_length, thread_name.data());
      break;
  }
  return written < 0 ? 0 : std::min<std::size_t>(static_cast<std::size_t>(written), sizeof out - 1);
}

// Whether `thread_name` is asking for the first time in this process. Our own few thread names
// are kept (never a peer's), in fixed room: past it, every call counts as a first.
bool first_report(std::string_view thread_name) {
  constexpr std::size_t kNames = 8;
  constexpr std::size_t kNameBytes = 32;
  static std::mutex mutex;
  static char reported[kNames][kNameBytes];
  static std::size_t count = 0;
  if (thread_name.size() >= kNameBytes) return true;
  std::lock_guard<std::mutex> lock(mutex);
  for (std::size_t i = 0; i < count; ++i) {
    if (thread_name == std::string_view(reported[i])) return false;
  }
  if (count == kNames) return true;
  thread_name.copy(reported[count], thread_name.size());
  reported[count][thread_name.size()] = '\0';
  ++count;
  return true;
}

}  // namespace

ThreadPriority raise_current_thread_priority_quietly() {
  if (auto realtime = try_realtime()) return *realtime;
  if (auto nice = try_nice()) return *nice;
  return {};
}

ThreadPriority raise_current_thread_priority(std::string_view thread_name) {
  const ThreadPriority got = raise_current_thread_priority_quietly();
  if (first_report(thread_name)) {
    char line[160];
    // Through the shared writer: a full standard error pipe must drop the line, not hold the
    // real-time thread that is about to start its schedule.
    write_stderr_line(std::string_view(line, describe(thread_name, got, line)));
  }
  return got;
}

void reset_current_thread_priority() {
  sched_param param{};
  (void)::sched_setscheduler(0, SCHED_OTHER, &param);
  (void)set_nice(::gettid(), 0);
}

}  // namespace kestrune::platform
