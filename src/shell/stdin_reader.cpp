#include "shell/stdin_reader.hpp"

#include <cstring>
#include <string>
#include <utility>

#include "platform/std_streams.hpp"

namespace kestrune::shell {

InputLine BoundedLineReader::read_bounded_line() {
  std::string gathered;
  bool seen = false;
  bool too_large = false;
  for (;;) {
    if (position_ == filled_) {
      const platform::StreamRead refill = platform::read_stream(fd_, buffer_);
      if (refill.outcome == platform::StreamRead::Outcome::error) return ReadError{};
      if (refill.outcome == platform::StreamRead::Outcome::end) {
        position_ = filled_ = 0;
        if (!seen) return EndOfInput{};
        if (too_large) return TooLarge{};
        return Line{std::move(gathered)};
      }
      position_ = 0;
      filled_ = refill.size;
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
