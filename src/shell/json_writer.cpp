#include "shell/json_writer.hpp"

#include <cstddef>
#include <string>

#include "platform/std_streams.hpp"
#include "platform/stderr_log.hpp"
#include "shell/json_line.hpp"

namespace kestrune::shell {
namespace {

constexpr std::size_t kWriterBufferBytes = 8192;

}  // namespace

void run_json_writer(OutputQueue& queue, int fd) {
  std::string line;
  line.reserve(kWriterBufferBytes);
  while (auto value = queue.pop()) {
    line.clear();
    serialize_json_line(*value, line);
    line.push_back('\n');
    if (!platform::write_stream(fd, line)) {
      queue.close();
      platform::write_stderr_line(kWriterUnavailableLine);
      return;
    }
    // Lines go out unbuffered, one write each, so every line reaches the host as soon as it is
    // taken and there is nothing left to flush when the queue ends.
  }
}

}  // namespace kestrune::shell
