#include "platform/thread_priority.hpp"

#include <sched.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "support/stderr_log.hpp"

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
  if (set_fifo(kRealtimePriority)) return ThreadPriority{ThreadPriorityKind::realtime, kRealtimePriority};
  const int allowed = std::min(rtprio_limit(), kRealtimePriority);
  if (allowed > 0 && set_fifo(allowed)) return ThreadPriority{ThreadPriorityKind::realtime, allowed};
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

std::string describe(std::string_view thread_name, const ThreadPriority& got) {
  const std::string name(thread_name);
  switch (got.kind) {
    case ThreadPriorityKind::realtime:
      return "stage=thread_priority thread=" + name + " policy=fifo priority=" +
             std::to_string(got.value);
    case ThreadPriorityKind::raised_nice:
      return "stage=thread_priority thread=" + name + " policy=nice nice=" +
             std::to_string(got.value);
    case ThreadPriorityKind::normal:
      break;
  }
  return "warning[thread_priority]: " + name + " runs at normal priority";
}

// Whether `thread_name` is asking for the first time in this process.
bool first_report(std::string_view thread_name) {
  static std::mutex mutex;
  static std::vector<std::string> reported;  // our own few thread names, never a peer's
  std::lock_guard<std::mutex> lock(mutex);
  if (std::find(reported.begin(), reported.end(), thread_name) != reported.end()) return false;
  reported.emplace_back(thread_name);
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
  if (first_report(thread_name)) support::write_stderr_line(describe(thread_name, got));
  return got;
}

void reset_current_thread_priority() {
  sched_param param{};
  (void)::sched_setscheduler(0, SCHED_OTHER, &param);
  (void)set_nice(::gettid(), 0);
}

}  // namespace kestrune::platform
