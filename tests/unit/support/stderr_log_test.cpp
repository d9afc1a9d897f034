#include "support/stderr_log.hpp"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "tests/support/captured_stderr.hpp"

namespace kestrune::support {
namespace {

using test_support::CapturedStderr;

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
