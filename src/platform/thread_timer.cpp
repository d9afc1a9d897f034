#include "platform/thread_timer.hpp"
#include "platform/thread_timer_testing.hpp"

#include <sys/timerfd.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <utility>

namespace kestrune::platform {

namespace {

constexpr int kMaxInterruptedWaits = 8;
constexpr std::int64_t kNanosPerSecond = 1'000'000'000;
// Far beyond any pacing sleep, and small enough that "now + duration" cannot overflow.
constexpr std::int64_t kLongestSleepNanos = std::int64_t{1} << 62;

class ThreadTimer {
 public:
  ThreadTimer() : fd_(::timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC)) {}
  ThreadTimer(const ThreadTimer&) = delete;
  ThreadTimer& operator=(const ThreadTimer&) = delete;
  ~ThreadTimer() { disable(); }

  bool available() const { return fd_ >= 0; }
  void disable() {
    if (fd_ >= 0) ::close(std::exchange(fd_, -1));
  }

  // Arms the timer for the absolute monotonic instant and waits for it. False when the timer
  // refused the wait; the caller then sleeps the ordinary way towards the same instant.
  bool wait_until(const timespec& wake) const {
    itimerspec spec{};
    spec.it_value = wake;
    if (::timerfd_settime(fd_, TFD_TIMER_ABSTIME, &spec, nullptr) != 0) return false;
    for (int attempt = 0; attempt <= kMaxInterruptedWaits; ++attempt) {
      std::uint64_t expirations = 0;
      const ssize_t got = ::read(fd_, &expirations, sizeof(expirations));
      if (got == static_cast<ssize_t>(sizeof(expirations))) return true;
      if (got < 0 && errno != EINTR) return false;
    }
    return false;
  }

 private:
  int fd_;
};

ThreadTimer& this_thread_timer() {
  thread_local ThreadTimer timer;
  return timer;
}

timespec monotonic_after(std::int64_t nanos) {
  timespec now{};
  ::clock_gettime(CLOCK_MONOTONIC, &now);
  const std::int64_t total = static_cast<std::int64_t>(now.tv_nsec) + nanos % kNanosPerSecond;
  timespec wake{};
  wake.tv_sec = now.tv_sec + static_cast<time_t>(nanos / kNanosPerSecond + total / kNanosPerSecond);
  wake.tv_nsec = static_cast<long>(total % kNanosPerSecond);
  return wake;
}

void ordinary_sleep_until(const timespec& wake) {
  for (int attempt = 0; attempt <= kMaxInterruptedWaits; ++attempt) {
    if (::clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &wake, nullptr) != EINTR) return;
  }
}

std::uint32_t read_minimum_timer_period_ms() {
  timespec resolution{};
  if (::clock_getres(CLOCK_MONOTONIC, &resolution) != 0) return 1;
  const std::int64_t nanos =
      static_cast<std::int64_t>(resolution.tv_sec) * kNanosPerSecond + resolution.tv_nsec;
  const std::int64_t millis = (nanos + 999'999) / 1'000'000;
  return millis < 1 ? 1 : static_cast<std::uint32_t>(millis);
}

}  // namespace

bool thread_has_high_resolution_timer() { return this_thread_timer().available(); }

void native_sleep(std::chrono::nanoseconds duration) {
  if (duration.count() <= 0) return;
  const std::int64_t nanos =
      duration.count() > kLongestSleepNanos ? kLongestSleepNanos : duration.count();
  // Both paths wait for the same absolute instant, so an interrupted wait never oversleeps.
  const timespec wake = monotonic_after(nanos);
  const ThreadTimer& timer = this_thread_timer();
  if (timer.available() && timer.wait_until(wake)) return;
  ordinary_sleep_until(wake);
}

std::uint32_t minimum_timer_period_ms() {
  static const std::uint32_t period = read_minimum_timer_period_ms();
  return period;
}

void disable_thread_timer_for_testing() { this_thread_timer().disable(); }

}  // namespace kestrune::platform
