#pragma once
// Redirects file descriptor 2 into a pipe for the life of the object. A thread drains the pipe as
// it fills, so a test that writes a lot cannot block on a full pipe. One per process at a time.

#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

namespace kestrune::test_support {

class CapturedStderr {
 public:
  CapturedStderr() {
    if (::pipe(pipe_) != 0) return;
    saved_ = ::dup(STDERR_FILENO);
    ::dup2(pipe_[1], STDERR_FILENO);
    ::close(pipe_[1]);
    reader_ = std::thread([this] {
      char buffer[4096];
      ssize_t n = 0;
      // Ends when every write end is closed, which finish() brings about.
      while ((n = ::read(pipe_[0], buffer, sizeof buffer)) > 0) {
        text_.append(buffer, static_cast<std::size_t>(n));
      }
    });
  }
  CapturedStderr(const CapturedStderr&) = delete;
  CapturedStderr& operator=(const CapturedStderr&) = delete;
  ~CapturedStderr() { (void)finish(); }

  // Puts standard error back and returns everything written meanwhile.
  const std::string& finish() {
    if (saved_ >= 0) {
      ::dup2(saved_, STDERR_FILENO);
      ::close(saved_);
      saved_ = -1;
      if (reader_.joinable()) reader_.join();
      ::close(pipe_[0]);
    }
    return text_;
  }

  // finish(), cut into lines without their line feeds.
  std::vector<std::string> finish_lines() {
    std::vector<std::string> lines;
    const std::string& text = finish();
    std::size_t start = 0;
    while (start < text.size()) {  // every turn moves past one line feed or ends
      const std::size_t end = text.find('\n', start);
      if (end == std::string::npos) {
        lines.push_back(text.substr(start));
        break;
      }
      lines.push_back(text.substr(start, end - start));
      start = end + 1;
    }
    return lines;
  }

 private:
  int pipe_[2] = {-1, -1};
  int saved_ = -1;
  std::string text_;
  std::thread reader_;
};

}  // namespace kestrune::test_support
