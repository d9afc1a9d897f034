#pragma once
// Scheduling for the threads that must wake on time while every core is busy (the paced sender,
// a capture thread). The calling thread asks for real-time scheduling (SCHED_FIFO, reset on fork)
// where the system permits it (privileges, or an RLIMIT_RTPRIO above 0); else for the strongest
// nice value it may take (privileges, or RLIMIT_NICE); else it goes on at normal priority. Nothing
// here allocates. Which
// of the three a thread got is said once per process and thread name on standard error:
//   "stage=thread_priority thread=<name> policy=fifo priority=<n>"
//   "stage=thread_priority thread=<name> policy=nice nice=<n>"
//   "warning[thread_priority]: <name> runs at normal priority"

#include <string_view>

namespace kestrune::platform {

enum class ThreadPriorityKind { realtime, raised_nice, normal };

struct ThreadPriority {
  ThreadPriorityKind kind = ThreadPriorityKind::normal;
  int value = 0;  // the SCHED_FIFO priority, or the nice value; 0 at normal priority
};

// The SCHED_FIFO priority asked for: low among real-time priorities (1 to 99), so the kernel's
// own real-time threads and a sound server's still come first.
inline constexpr int kRealtimePriority = 10;

// Raises the calling thread as far as allowed (see above) and returns what it got, writing the
// line the first time `thread_name` asks in this process.
ThreadPriority raise_current_thread_priority(std::string_view thread_name);

// The same without a line, for tests and benchmarks.
ThreadPriority raise_current_thread_priority_quietly();

// Puts the calling thread back to SCHED_OTHER at nice 0 (what a thread that was raised had
// before), for tests and benchmarks that compare both.
void reset_current_thread_priority();

}  // namespace kestrune::platform
