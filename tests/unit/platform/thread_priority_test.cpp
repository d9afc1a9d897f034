#include "platform/thread_priority.hpp"

#include <gtest/gtest.h>
#include <linux/capability.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <thread>

#include "tests/support/captured_stderr.hpp"

namespace kestrune::platform {
namespace {

// What a child process gets under the given limits, with its privileges or without CAP_SYS_NICE.
struct Case {
  const char* name;
  bool privileged;
  rlim_t rtprio;
  rlim_t nice;  // RLIMIT_NICE: the strongest nice allowed is 20 - this
  ThreadPriorityKind kind;
  int value;
};

constexpr int kSkipped = 250;  // the limits could not be set (their hard limits are lower)
constexpr int kFailed = 251;

// Drops CAP_SYS_NICE from the calling process, so only the resource limits decide.
bool drop_sys_nice() {
  __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct data[2]{};
  if (::syscall(SYS_capget, &header, data) != 0) return false;
  data[CAP_SYS_NICE / 32].effective &= ~(1u << (CAP_SYS_NICE % 32));
  data[CAP_SYS_NICE / 32].permitted &= ~(1u << (CAP_SYS_NICE % 32));
  return ::syscall(SYS_capset, &header, data) == 0;
}

// Runs the raise in a child process (limits and capabilities are per process) and returns the
// exit code: kind * 100 + the value's magnitude, or kSkipped / kFailed.
int raise_in_child(const Case& c) {
  const pid_t child = ::fork();
  if (child == 0) {
    if (::getpriority(PRIO_PROCESS, 0) != 0) ::_exit(kSkipped);  // the cases start from nice 0
    if (!c.privileged) {
      const rlimit rtprio{c.rtprio, c.rtprio};
      const rlimit nice{c.nice, c.nice};
      if (::setrlimit(RLIMIT_RTPRIO, &rtprio) != 0 || ::setrlimit(RLIMIT_NICE, &nice) != 0) {
        ::_exit(kSkipped);
      }
      if (!drop_sys_nice()) ::_exit(kFailed);
    }
    const ThreadPriority got = raise_current_thread_priority_quietly();
    // The policy the kernel reports must be the one claimed.
    const int policy = ::sched_getscheduler(0) & ~SCHED_RESET_ON_FORK;
    const bool fifo = got.kind == ThreadPriorityKind::realtime;
    if ((policy == SCHED_FIFO) != fifo) ::_exit(kFailed);
    if (!fifo && ::getpriority(PRIO_PROCESS, 0) != got.value) ::_exit(kFailed);
    ::_exit(static_cast<int>(got.kind) * 100 + (got.value < 0 ? -got.value : got.value));
  }
  int status = 0;
  if (child < 0 || ::waitpid(child, &status, 0) != child || !WIFEXITED(status)) return kFailed;
  return WEXITSTATUS(status);
}

// Whether this system gives real-time scheduling to anyone (a container may give it to no one).
bool realtime_available() {
  bool available = false;
  std::thread probe([&] {
    available = raise_current_thread_priority_quietly().kind == ThreadPriorityKind::realtime;
    reset_current_thread_priority();
  });
  probe.join();
  return available;
}

TEST(ThreadPriority, TakesTheStrongestSchedulingTheLimitsAllow) {
  const bool realtime = realtime_available();
  const Case cases[] = {
      {"privileged", true, 0, 0, ThreadPriorityKind::realtime, kRealtimePriority},
      {"real-time limit above the priority asked for", false, 50, 0, ThreadPriorityKind::realtime,
       kRealtimePriority},
      {"real-time limit below it", false, 3, 0, ThreadPriorityKind::realtime, 3},
      {"no real-time, nice down to -10", false, 0, 30, ThreadPriorityKind::raised_nice, -10},
      {"no real-time, nice down to -20", false, 0, 40, ThreadPriorityKind::raised_nice, -20},
      {"nothing allowed below nice 0", false, 0, 20, ThreadPriorityKind::normal, 0},
      {"no limits at all", false, 0, 0, ThreadPriorityKind::normal, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.kind == ThreadPriorityKind::realtime && !realtime) {  // also: not privileged
      GTEST_LOG_(INFO) << "skipped: no real-time scheduling here: " << c.name;
      continue;
    }
    const int got = raise_in_child(c);
    if (got == kSkipped) {
      GTEST_LOG_(INFO) << "skipped (hard limits lower, or not at nice 0): " << c.name;
      continue;
    }
    ASSERT_NE(got, kFailed);
    EXPECT_EQ(got, static_cast<int>(c.kind) * 100 + (c.value < 0 ? -c.value : c.value));
  }
}

TEST(ThreadPriority, SaysOncePerThreadNameWhatItGot) {
  test_support::CapturedStderr captured;
  std::thread raised([] {
    for (int i = 0; i < 3; ++i) {
      (void)raise_current_thread_priority("prio-test-a");
      (void)raise_current_thread_priority("prio-test-b");
    }
    reset_current_thread_priority();
  });
  raised.join();
  const std::string text = captured.finish();
  for (const char* name : {"prio-test-a", "prio-test-b"}) {
    SCOPED_TRACE(name);
    const std::string fifo = "stage=thread_priority thread=" + std::string(name) + " policy=";
    const std::string normal = "warning[thread_priority]: " + std::string(name) + " runs at";
    const auto first = text.find(fifo) != std::string::npos ? text.find(fifo) : text.find(normal);
    ASSERT_NE(first, std::string::npos) << text;
    const std::string& said = text.find(fifo) != std::string::npos ? fifo : normal;
    EXPECT_EQ(text.find(said, first + 1), std::string::npos) << text;
  }
}

TEST(ThreadPriority, ResetGoesBackToNormalScheduling) {
  std::thread raised([] {
    (void)raise_current_thread_priority_quietly();
    reset_current_thread_priority();
    EXPECT_EQ(::sched_getscheduler(0) & ~SCHED_RESET_ON_FORK, SCHED_OTHER);
    EXPECT_EQ(::getpriority(PRIO_PROCESS, 0), 0);
  });
  raised.join();
}

}  // namespace
}  // namespace kestrune::platform
