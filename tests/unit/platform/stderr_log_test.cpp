#include "platform/stderr_log.hpp"

#include <gtest/gtest.h>

#include <mutex>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "platform/stderr_log_testing.hpp"
#include "tests/support/captured_stderr.hpp"

namespace kestrune::platform {
namespace {

using test_support::CapturedStderr;

TEST(StderrLog, LinesFromManyThreadsNeverInterleave) {
  CapturedStderr captured;
  std::vector<std::thread> writers;
  for (int t = 0; t < 4; ++t) {
    writers.emplace_back([t] {
      const std::string line = "stage=test writer=" + std::to_string(t) + " " +
                               std::string(200, static_cast<char>('a' + t));
      for (int i = 0; i < 50; ++i) write_stderr_line(line);
    });
  }
  for (auto& w : writers) w.join();
  const std::string text = captured.finish();
  std::size_t start = 0;
  int lines = 0;
  while (start < text.size()) {
    const std::size_t end = text.find('\n', start);
    ASSERT_NE(end, std::string::npos);
    const std::string line = text.substr(start, end - start);
    ASSERT_EQ(line.size(), 200u + 20u) << line;
    const char fill = line.back();
    EXPECT_EQ(line.substr(20), std::string(200, fill));
    start = end + 1;
    ++lines;
  }
  EXPECT_EQ(lines, 200);
}

// The lines as they reach the writer, in that order, while it lives.
class WrittenLines {
 public:
  WrittenLines() {
    set_stderr_observer_for_testing([this](std::string_view line) {
      std::lock_guard<std::mutex> lock(mutex_);
      lines_.emplace_back(line);
    });
  }
  ~WrittenLines() { set_stderr_observer_for_testing({}); }
  std::vector<std::string> lines() {
    std::lock_guard<std::mutex> lock(mutex_);
    return lines_;
  }

 private:
  std::mutex mutex_;
  std::vector<std::string> lines_;
};

TEST(StderrLog, DeferredLinesGoOutInOrderWhenTheOutermostDeferralEnds) {
  CapturedStderr captured;
  WrittenLines written;
  write_stderr_line("before");
  {
    const DeferredStderr outer;
    write_stderr_line("one");
    {
      const DeferredStderr inner;
      write_stderr_line("two");
    }
    EXPECT_EQ(written.lines(), (std::vector<std::string>{"before"})) << "the inner end wrote";
    // Another thread's lines are not held back.
    std::thread other([] { write_stderr_line("other"); });
    other.join();
    write_stderr_line("three");
    EXPECT_EQ(written.lines(), (std::vector<std::string>{"before", "other"}));
  }
  write_stderr_line("after");
  const std::vector<std::string> expected = {"before", "other", "one", "two", "three", "after"};
  EXPECT_EQ(written.lines(), expected);
  EXPECT_EQ(captured.finish_lines(), expected);
}

TEST(StderrLog, LinesBeyondTheDeferralBoundAreCountedAndTheNewestIsKept) {
  CapturedStderr captured;
  constexpr std::size_t kExtra = 5;
  constexpr std::size_t kWritten = kMaxDeferredStderrLines + kExtra;
  std::vector<std::string> expected;
  {
    const DeferredStderr deferred;
    for (std::size_t i = 0; i < kWritten; ++i) {
      const std::string line = "deferred " + std::to_string(i);
      write_stderr_line(line);
      if (i + 1 < kMaxDeferredStderrLines) expected.push_back(line);
    }
  }
  write_stderr_line("after");
  expected.push_back("warning[stderr]: dropped_lines=" + std::to_string(kExtra));
  expected.push_back("deferred " + std::to_string(kWritten - 1));
  expected.push_back("after");
  EXPECT_EQ(captured.finish_lines(), expected);
}

TEST(StderrLog, ALineWrittenWhileAThreadEndsByAnExceptionStillGoesOut) {
  // A thread that unwinds out of its deferral (a poisoned lock ends it) writes what it kept.
  CapturedStderr captured;
  std::thread thread([] {
    try {
      const DeferredStderr deferred;
      write_stderr_line("kept");
      throw std::runtime_error("ended");
    } catch (const std::runtime_error&) {
      write_stderr_line("caught");
    }
  });
  thread.join();
  EXPECT_EQ(captured.finish_lines(), (std::vector<std::string>{"kept", "caught"}));
}

}  // namespace
}  // namespace kestrune::platform
