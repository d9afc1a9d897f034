#include "platform/line_writer.hpp"

#include <charconv>
#include <string>

#include "platform/write_without_waiting.hpp"

namespace kestrune::platform {

void LineWriter::write_line(std::string_view line) {
  constexpr std::string_view kNotice = "warning[stderr]: dropped_lines=";
  constexpr std::size_t kCountRoom = 21;  // 20 digits and a line feed
  // A line that fits goes out from the stack, so a real-time thread may write one without
  // allocating; a longer one is put together on the heap.
  char room[1024];
  std::string heap;
  const std::size_t most = kNotice.size() + kCountRoom + line.size() + 1;
  char* text = room;
  if (most > sizeof room) {
    heap.resize(most);
    text = heap.data();
  }
  std::size_t size = 0;
  const auto append = [&](std::string_view part) {
    part.copy(text + size, part.size());
    size += part.size();
  };
  std::lock_guard<std::mutex> lock(mutex_);
  // The count of dropped lines goes out in the same write as the line: both or neither, and
  // nothing between them.
  if (dropped_ > 0) {
    append(kNotice);
    size = static_cast<std::size_t>(std::to_chars(text + size, text + most, dropped_).ptr - text);
    append("\n");
  }
  append(line);
  append("\n");
  if (write_without_waiting(fd_, std::string_view(text, size))) {
    dropped_ = 0;
  } else {
    ++dropped_;
  }
}

void LineWriter::count_dropped(std::uint64_t lines) {
  std::lock_guard<std::mutex> lock(mutex_);
  dropped_ += lines;
}

}  // namespace kestrune::platform
