#include "shell/stdin_reader.hpp"

#include <cerrno>
#include <cstring>
#include <string>
#include <poll.h>
#include <unistd.h>

namespace kestrune::shell {
namespace {

// A read interrupted by a signal, or one that found a non-blocking input empty, has not failed;
// it is tried again a bounded number of times.
constexpr int kInterruptedReadRetries = 1000;

enum class Refill { data, end, error };

}  // namespace

InputLine BoundedLineReader::read_bounded_line() {
  std::string gathered;
  bool seen = false;
  bool too_large = false;
  for (;;) {
    if (position_ == filled_) {
      Refill refill = Refill::error;
      for (int attempt = 0; attempt <= kInterruptedReadRetries; ++attempt) {
        const ssize_t got = ::read(fd_, buffer_.data(), buffer_.size());
        if (got > 0) {
          position_ = 0;
          filled_ = static_cast<std::size_t>(got);
          refill = Refill::data;
        } else if (got == 0 || errno == EBADF) {
          refill = Refill::end;  // EBADF: no standard input at all
        } else if (errno == EINTR) {
          continue;
        } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
          // A non-blocking standard input with nothing in it yet has not failed: wait for input
          // as a blocking read would.
          pollfd readable{fd_, POLLIN, 0};
          if (::poll(&readable, 1, -1) >= 0 || errno == EINTR) continue;
        }
        break;
      }
      if (refill == Refill::error) return ReadError{};
      if (refill == Refill::end) {
        position_ = filled_ = 0;
        if (!seen) return EndOfInput{};
        if (too_large) return TooLarge{};
        return Line{std::move(gathered)};
      }
    }
    const char* unread = buffer_.data() + position_;
    const std::size_t available = filled_ - position_;
    const void* feed = std::memchr(unread, '\n', available);
    const std::size_t chunk =
        feed ? static_cast<std::size_t>(static_cast<const char*>(feed) - unread) : available;
    seen = true;
    if (!too_large) {
      if (chunk > kMaxInputLineBytes - gathered.size()) {
        too_large = true;
        std::string().swap(gathered);
      } else {
        gathered.append(unread, chunk);
      }
    }
    position_ += chunk + (feed ? 1 : 0);
    if (feed) {
      if (too_large) return TooLarge{};
      return Line{std::move(gathered)};
    }
  }
}

void run_stdin_reader(support::Sender<InputLine> lines, int fd) {
  BoundedLineReader reader(fd);
  for (;;) {
    InputLine line = reader.read_bounded_line();
    const bool last =
        std::holds_alternative<EndOfInput>(line) || std::holds_alternative<ReadError>(line);
    if (!lines.send(std::move(line)) || last) return;
  }
}

}  // namespace kestrune::shell
