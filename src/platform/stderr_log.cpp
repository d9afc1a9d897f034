#include "platform/stderr_log.hpp"

#include <unistd.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "platform/line_writer.hpp"
#include "platform/stderr_log_testing.hpp"

namespace kestrune::platform {

namespace {

// Never destroyed: threads that are never joined may still write while the process exits.
LineWriter& stderr_writer() {
  static LineWriter* const writer = new LineWriter(STDERR_FILENO);
  return *writer;
}

std::mutex observer_mutex;
std::shared_ptr<const std::function<void(std::string_view)>> observer;  // guarded by observer_mutex

void write_now(std::string_view line) {
  std::shared_ptr<const std::function<void(std::string_view)>> current;
  {
    std::lock_guard<std::mutex> lock(observer_mutex);
    current = observer;
  }
  if (current) (*current)(line);
  stderr_writer().write_line(line);
}

struct Deferral {
  int depth = 0;
  std::vector<std::string> lines;
  std::uint64_t dropped = 0;
};

thread_local Deferral deferral;

}  // namespace

void write_stderr_line(std::string_view line) {
  if (deferral.depth == 0) {
    write_now(line);
  } else if (deferral.lines.size() < kMaxDeferredStderrLines) {
    deferral.lines.emplace_back(line);
  } else {
    // The newest line takes the last place: it is the one that says how things ended.
    deferral.lines.back() = line;
    ++deferral.dropped;
  }
}

DeferredStderr::DeferredStderr() { ++deferral.depth; }

DeferredStderr::~DeferredStderr() {
  if (--deferral.depth > 0) return;
  std::vector<std::string> lines = std::exchange(deferral.lines, {});
  const std::uint64_t dropped = std::exchange(deferral.dropped, 0);
  for (std::size_t i = 0; i < lines.size(); ++i) {
    // The count goes out with the last line, the one after the lines it stands for.
    if (i + 1 == lines.size() && dropped > 0) stderr_writer().count_dropped(dropped);
    write_now(lines[i]);
  }
}

void set_stderr_observer_for_testing(std::function<void(std::string_view)> next) {
  auto shared = next
                    ? std::make_shared<const std::function<void(std::string_view)>>(std::move(next))
                    : nullptr;
  std::lock_guard<std::mutex> lock(observer_mutex);
  observer = std::move(shared);
}

}  // namespace kestrune::platform
