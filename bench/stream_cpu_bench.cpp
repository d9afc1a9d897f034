// CPU of the whole kestrune process while it streams a WAV file to the loopback test receiver (in
// this process), beyond the pacing spin. Each run starts a fresh process, waits until it plays and
// 2 s more, and then reads the CPU time every thread of the process spent (the scheduler's own
// per-thread runtime, /proc/<pid>/task/<tid>/schedstat) over a window of steady streaming.
//
// The baseline, measured in the same window: a thread of this process that does nothing but the
// sender's precise sleep (native sleep to 0.7 ms before each 7,981,859 ns deadline, then the
// pause-hinted spin), at the priority "rt-sender" gets. Its CPU is what the spin costs; the
// process's CPU minus it is the figure the stream's own work costs.
//
// Usage: stream_cpu_bench [runs] [window seconds]   (3 runs of 10 s by default)

#include <benchmark/benchmark.h>
#include <dirent.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "engine/orchestration/pacing_schedule.hpp"
#include "engine/orchestration/precise_sleep.hpp"
#include "host_session.hpp"
#include "platform/thread_priority.hpp"
#include "test-receiver/test_receiver.hpp"
#include "tests/support/kestrune_process.hpp"
#include "tests/support/temp_wav_file.hpp"

namespace {

using namespace kestrune;
using Clock = std::chrono::steady_clock;

// Per thread of a process: its name and its CPU time so far in nanoseconds.
struct ThreadTime {
  std::string name;
  std::uint64_t cpu_ns = 0;
};

std::map<int, ThreadTime> thread_times(pid_t pid) {
  std::map<int, ThreadTime> times;
  const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
  DIR* directory = ::opendir(tasks.c_str());
  if (directory == nullptr) return times;
  // Bounded by the process's thread count.
  while (const dirent* entry = ::readdir(directory)) {
    if (entry->d_name[0] == '.') continue;
    const std::string base = tasks + "/" + entry->d_name;
    ThreadTime time;
    std::ifstream(base + "/comm") >> time.name;
    std::ifstream(base + "/schedstat") >> time.cpu_ns;
    times[std::atoi(entry->d_name)] = time;
  }
  ::closedir(directory);
  return times;
}

std::uint64_t thread_cpu_ns() {
  timespec t{};
  ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<std::uint64_t>(t.tv_sec) * 1'000'000'000 +
         static_cast<std::uint64_t>(t.tv_nsec);
}

// The pacing spin alone for `window`: its CPU in nanoseconds.
std::uint64_t spin_baseline(std::chrono::nanoseconds window) {
  std::uint64_t used = 0;
  std::thread spinning([&] {
    (void)platform::raise_current_thread_priority_quietly();
    const auto margin = engine::thread_sleep_margin();
    const auto start = Clock::now();
    const std::uint64_t before = thread_cpu_ns();
    auto deadline = start;
    // Bounded by the window.
    while (deadline < start + window) {
      deadline += engine::kPacketInterval;
      engine::precise_sleep_until(margin, deadline);
    }
    used = thread_cpu_ns() - before;
  });
  spinning.join();
  return used;
}

struct RunFigures {
  double process_pct = 0;   // CPU of every thread, % of one core
  double baseline_pct = 0;  // the spin alone, same window
  std::map<std::string, double> by_thread_pct;
};

std::optional<RunFigures> run_once(std::uint16_t port, const std::string& wav_path,
                                   std::chrono::seconds window) {
  testing::KestruneProcess process;
  if (!bench::read_until(process, "\"event\":\"ready\"")) return std::nullopt;
  if (!process.write_line(bench::file_session_start_line(port, wav_path))) return std::nullopt;
  if (!bench::read_until(process, "\"state\":\"playing\"")) return std::nullopt;
  std::this_thread::sleep_for(std::chrono::seconds(2));

  const auto before = thread_times(process.pid());
  const auto started = Clock::now();
  const std::uint64_t baseline_ns = spin_baseline(window);
  const auto after = thread_times(process.pid());
  const double elapsed_ns =
      static_cast<double>(std::chrono::nanoseconds(Clock::now() - started).count());
  process.close_stdin();
  (void)process.wait_exit();

  RunFigures figures;
  std::uint64_t total = 0;
  for (const auto& [tid, time] : after) {
    const auto earlier = before.find(tid);
    const std::uint64_t used = time.cpu_ns - (earlier != before.end() ? earlier->second.cpu_ns : 0);
    total += used;
    figures.by_thread_pct[time.name.empty() ? "(unnamed)" : time.name] +=
        100.0 * static_cast<double>(used) / elapsed_ns;
  }
  figures.process_pct = 100.0 * static_cast<double>(total) / elapsed_ns;
  figures.baseline_pct = 100.0 * static_cast<double>(baseline_ns) / elapsed_ns;
  return figures;
}

double median(std::vector<double> values) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  const std::size_t mid = values.size() / 2;
  return values.size() % 2 ? values[mid] : (values[mid - 1] + values[mid]) / 2;
}

}  // namespace

int main(int argc, char** argv) {
  const long runs = argc > 1 ? std::clamp(std::strtol(argv[1], nullptr, 10), 1L, 50L) : 3;
  const long window = argc > 2 ? std::clamp(std::strtol(argv[2], nullptr, 10), 1L, 300L) : 10;
  auto receiver = test_receiver::TestReceiver::start();
  if (!receiver) {
    std::fprintf(stderr, "the test receiver did not start\n");
    return 1;
  }
  // A tone long enough for the wait before the window, the window and some to spare.
  const std::size_t frames = static_cast<std::size_t>(44'100 * (window + 8));
  std::vector<std::int16_t> tone(2 * frames);
  for (std::size_t i = 0; i < frames; ++i) {
    const auto v = static_cast<std::int16_t>(8000 * std::sin(0.0627 * static_cast<double>(i)));
    tone[2 * i] = tone[2 * i + 1] = v;
  }
  testing::TempWavFile wav(tone);

  std::vector<double> process, baseline, beyond;
  std::map<std::string, std::vector<double>> by_thread;
  for (long run = 0; run < runs; ++run) {
    const auto figures = run_once((*receiver)->port(), wav.path(), std::chrono::seconds(window));
    if (!figures) continue;
    process.push_back(figures->process_pct);
    baseline.push_back(figures->baseline_pct);
    beyond.push_back(figures->process_pct - figures->baseline_pct);
    for (const auto& [name, pct] : figures->by_thread_pct) by_thread[name].push_back(pct);
  }
  std::printf("CPU streaming a file, %zu of %ld runs, %ld s windows (medians, %% of one core)\n",
              process.size(), runs, window);
  for (const auto& [name, values] : by_thread) {
    std::printf("  thread %-18s %7.3f %%\n", name.c_str(), median(values));
  }
  std::printf("  whole process            %7.3f %%\n", median(process));
  std::printf("  baseline: the spin alone %7.3f %% (same window, this process)\n",
              median(baseline));
  std::printf("  process beyond the spin  %7.3f %% (goal <= 1 %%)\n", median(beyond));
  return process.size() == static_cast<std::size_t>(runs) ? 0 : 1;
}
