#include "support/stderr_log.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

namespace kestrune::support {
namespace {

// Redirects file descriptor 2 into a pipe for the life of the object.
class CapturedStderr {
 public:
  CapturedStderr() {
    EXPECT_EQ(::pipe(pipe_), 0);
    saved_ = ::dup(STDERR_FILENO);
    ::dup2(pipe_[1], STDERR_FILENO);
    ::close(pipe_[1]);
  }
  std::string finish() {
    ::dup2(saved_, STDERR_FILENO);
    ::close(saved_);
    std::string text;
    char buffer[4096];
    ssize_t n;
    while ((n = ::read(pipe_[0], buffer, sizeof buffer)) > 0) text.append(buffer, n);
    ::close(pipe_[0]);
    return text;
  }

 private:
  int pipe_[2] = {-1, -1};
  int saved_ = -1;
};

TEST(StderrLog, LinesFromManyThreadsNeverInterleave) {
  CapturedStderr captured;
  std::vector<std::thread> writers;
  for (int t = 0; t < 4; ++t) {
    writers.emplace_back([t] {
      const std::string line =
          "stage=test writer=" + std::to_string(t) + " " + std::string(200, static_cast<char>('a' + t));
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

}  // namespace
}  // namespace kestrune::support
