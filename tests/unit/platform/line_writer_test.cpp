#include "platform/line_writer.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <climits>
#include <cstdio>
#include <functional>
#include <future>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

namespace kestrune::platform {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// A descriptor pair standing in for standard error: the writer gets `write_fd`, the test reads
// `read_fd` (made non-blocking; it is its own open file description).
struct Channel {
  int read_fd = -1;
  int write_fd = -1;
  ~Channel() {
    if (read_fd >= 0) ::close(read_fd);
    if (write_fd >= 0) ::close(write_fd);
  }
};

enum class Kind { pipe, stream_socket };

void make_channel(Channel& channel, Kind kind, int pipe_size) {
  int fds[2] = {-1, -1};
  if (kind == Kind::pipe) {
    ASSERT_EQ(::pipe2(fds, O_CLOEXEC), 0);
    channel.read_fd = fds[0];
    channel.write_fd = fds[1];
    ASSERT_GE(::fcntl(channel.write_fd, F_SETPIPE_SZ, pipe_size), pipe_size);
  } else {
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
    channel.read_fd = fds[0];
    channel.write_fd = fds[1];
  }
  ASSERT_EQ(::fcntl(channel.read_fd, F_SETFL, O_NONBLOCK), 0);
}

// Fills the channel until it takes no more byte, then puts the write end's flags back, as the
// host's own descriptor would be.
void fill(const Channel& channel) {
  const int flags = ::fcntl(channel.write_fd, F_GETFL);
  ASSERT_EQ(::fcntl(channel.write_fd, F_SETFL, flags | O_NONBLOCK), 0);
  // Blocks while they fit, then single bytes into what is left; both loops are bounded in count.
  const std::string block(4096, '#');
  for (std::size_t size : {block.size(), std::size_t{1}}) {
    for (int i = 0; i < 100'000; ++i) {
      if (::write(channel.write_fd, block.data(), size) < 0) break;
    }
  }
  ASSERT_EQ(::fcntl(channel.write_fd, F_SETFL, flags), 0);
  pollfd ready{channel.write_fd, POLLOUT, 0};
  ASSERT_EQ(::poll(&ready, 1, 0), 0) << "the channel still has room";
}

// Everything readable now, without waiting.
std::string drain(const Channel& channel) {
  std::string text;
  char buffer[65536];
  for (int i = 0; i < 10'000; ++i) {  // bounded: the channel holds less than 640 MB
    const ssize_t got = ::read(channel.read_fd, buffer, sizeof buffer);
    if (got <= 0) break;
    text.append(buffer, static_cast<std::size_t>(got));
  }
  return text;
}

// Runs `writes` on a thread and gives it 60 s. A writer that waits for room is freed by
// draining the channel, so the test fails instead of hanging.
void expect_returns_without_waiting(const Channel& channel, const std::function<void()>& writes) {
  std::packaged_task<void()> task(writes);
  auto done = task.get_future();
  std::thread thread(std::move(task));
  const bool returned = done.wait_for(60s) == std::future_status::ready;
  for (int i = 0; !returned && i < 1000 && done.wait_for(10ms) != std::future_status::ready; ++i) {
    (void)drain(channel);
  }
  thread.join();
  EXPECT_TRUE(returned) << "a write waited for the reader";
}

std::string line_of(char fill, std::size_t size) { return std::string(size, fill); }

struct FullCase {
  const char* name;
  Kind kind;
  int pipe_size;
  std::size_t line_size;  // without the line feed
  int lines_while_full;
};

void PrintTo(const FullCase& c, std::ostream* out) { *out << c.name; }

class FullChannelTest : public ::testing::TestWithParam<FullCase> {};

TEST_P(FullChannelTest, LinesAreDroppedAndCountedUntilThereIsRoomAgain) {
  const FullCase& c = GetParam();
  Channel channel;
  ASSERT_NO_FATAL_FAILURE(make_channel(channel, c.kind, c.pipe_size));
  ASSERT_NO_FATAL_FAILURE(fill(channel));
  LineWriter writer(channel.write_fd);
  expect_returns_without_waiting(channel, [&] {
    for (int i = 0; i < c.lines_while_full; ++i) writer.write_line(line_of('a', c.line_size));
  });
  // The shared description keeps its flags: the host's end is never made non-blocking.
  EXPECT_EQ(::fcntl(channel.write_fd, F_GETFL) & O_NONBLOCK, 0);

  const std::string backlog = drain(channel);
  EXPECT_EQ(backlog.find('a'), std::string::npos) << "a dropped line was written in part";
  writer.write_line(line_of('b', c.line_size));
  writer.write_line("next");
  EXPECT_EQ(drain(channel), "warning[stderr]: dropped_lines=" + std::to_string(c.lines_while_full) +
                                "\n" + line_of('b', c.line_size) + "\nnext\n");
  // Once reported, the count starts again from nothing.
  writer.write_line("last");
  EXPECT_EQ(drain(channel), "last\n");
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, FullChannelTest,
    ::testing::Values(FullCase{"SmallPipe", Kind::pipe, 4096, 40, 3},
                      FullCase{"LineOfPipeBuf", Kind::pipe, 65536, PIPE_BUF - 1, 2},
                      FullCase{"LongerThanPipeBuf", Kind::pipe, 65536, 3 * PIPE_BUF, 2},
                      FullCase{"StreamSocket", Kind::stream_socket, 0, 100, 5}),
    [](const auto& param_info) { return std::string(param_info.param.name); });

TEST(LineWriter, ALongLineWaitsForAnEmptyPipeAndThenGoesOutWhole) {
  // A line longer than PIPE_BUF could be cut if written while anything is queued, even with
  // room to spare; it goes out only into an empty pipe.
  Channel channel;
  ASSERT_NO_FATAL_FAILURE(make_channel(channel, Kind::pipe, 65536));
  LineWriter writer(channel.write_fd);
  writer.write_line("queued");
  writer.write_line(line_of('x', 2 * PIPE_BUF));
  EXPECT_EQ(drain(channel), "queued\n");
  writer.write_line(line_of('y', 2 * PIPE_BUF));
  EXPECT_EQ(drain(channel),
            "warning[stderr]: dropped_lines=1\n" + line_of('y', 2 * PIPE_BUF) + "\n");
  // Larger than the pipe itself: never whole, so never written.
  expect_returns_without_waiting(channel, [&] { writer.write_line(line_of('z', 65536)); });
  writer.write_line("after");
  EXPECT_EQ(drain(channel), "warning[stderr]: dropped_lines=1\nafter\n");
}

TEST(LineWriter, DescriptorsThatTakeNoLineDropItWithoutASignal) {
  // The test keeps the default SIGPIPE action: a write into a pipe nobody reads ends the test.
  struct Case {
    const char* name;
    std::function<int()> open;  // the descriptor the writer gets, owned by the test
  };
  const std::vector<Case> cases = {
      {"PipeWithoutReader",
       [] {
         int fds[2];
         if (::pipe2(fds, O_CLOEXEC) != 0) return -1;
         ::close(fds[0]);
         return fds[1];
       }},
      {"SocketWithoutPeer",
       [] {
         int fds[2];
         if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) return -1;
         ::close(fds[0]);
         return fds[1];
       }},
      {"ReadOnlyDescriptor", [] { return ::open("/dev/null", O_RDONLY | O_CLOEXEC); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const int fd = c.open();
    ASSERT_GE(fd, 0);
    LineWriter writer(fd);
    for (int i = 0; i < 3; ++i) writer.write_line("nobody reads this");
    ::close(fd);
  }
}

TEST(LineWriter, ARegularFileGetsEveryLine) {
  std::FILE* file = std::tmpfile();
  ASSERT_NE(file, nullptr);
  const int fd = ::fileno(file);
  LineWriter writer(fd);
  writer.write_line("first");
  writer.write_line(line_of('r', 3 * PIPE_BUF));
  writer.write_line("");
  std::string text(3 * PIPE_BUF + 16, '\0');
  const ssize_t got = ::pread(fd, text.data(), text.size(), 0);
  std::fclose(file);
  ASSERT_GE(got, 0);
  text.resize(static_cast<std::size_t>(got));
  EXPECT_EQ(text, "first\n" + line_of('r', 3 * PIPE_BUF) + "\n\n");
}

struct SlowReaderCase {
  const char* name;
  int pipe_size;
  std::vector<std::size_t> line_sizes;  // writers take them in turn
};

void PrintTo(const SlowReaderCase& c, std::ostream* out) { *out << c.name; }

class SlowReaderTest : public ::testing::TestWithParam<SlowReaderCase> {};

// Four threads write while the reader takes small bites with pauses, so that some lines find
// room and some do not: every line that arrives is whole, and the lines that arrive plus the
// dropped ones reported add up to the lines written.
TEST_P(SlowReaderTest, EveryLineArrivesWholeOrIsCounted) {
  const SlowReaderCase& c = GetParam();
  Channel channel;
  ASSERT_NO_FATAL_FAILURE(make_channel(channel, Kind::pipe, c.pipe_size));
  LineWriter writer(channel.write_fd);
  constexpr int kWriters = 4;
  constexpr int kLinesEach = 300;

  std::string received;
  std::atomic<bool> writing{true};
  std::thread reader([&] {
    char bite[997];  // an odd size, so bites end in the middle of lines
    const auto give_up = Clock::now() + 120s;
    while (writing.load() && Clock::now() < give_up) {
      const ssize_t got = ::read(channel.read_fd, bite, sizeof bite);
      if (got > 0) received.append(bite, static_cast<std::size_t>(got));
      std::this_thread::sleep_for(200us);
    }
  });
  expect_returns_without_waiting(channel, [&] {
    std::vector<std::thread> writers;
    for (int w = 0; w < kWriters; ++w) {
      writers.emplace_back([&, w] {
        for (int i = 0; i < kLinesEach; ++i) {
          const std::size_t size = c.line_sizes[static_cast<std::size_t>(i) % c.line_sizes.size()];
          const std::string head = "w" + std::to_string(w) + " n" + std::to_string(i) + " ";
          writer.write_line(head + std::string(size - head.size(), static_cast<char>('a' + w)));
          std::this_thread::sleep_for(200us);  // about the pace of the reader
        }
      });
    }
    for (auto& t : writers) t.join();
  });
  writing.store(false);
  reader.join();
  received += drain(channel);
  writer.write_line("end");  // into an empty pipe: the count of the last drops, then this
  received += drain(channel);

  std::uint64_t whole = 0;
  std::uint64_t dropped = 0;
  bool ended = false;
  std::size_t start = 0;
  while (start < received.size()) {  // every turn moves past one line feed or ends
    const std::size_t feed = received.find('\n', start);
    ASSERT_NE(feed, std::string::npos) << "the text ends inside a line";
    const std::string line = received.substr(start, feed - start);
    start = feed + 1;
    ASSERT_FALSE(ended) << "a line after the last one: " << line.substr(0, 40);
    unsigned long long count = 0;
    int w = -1;
    std::size_t i = 0;
    if (line == "end") {
      ended = true;
    } else if (std::sscanf(line.c_str(), "warning[stderr]: dropped_lines=%llu", &count) == 1) {
      EXPECT_GT(count, 0u);
      dropped += count;
    } else if (std::sscanf(line.c_str(), "w%d n%zu ", &w, &i) == 2 && w >= 0 && w < kWriters) {
      const std::string head = "w" + std::to_string(w) + " n" + std::to_string(i) + " ";
      const std::size_t size = c.line_sizes[i % c.line_sizes.size()];
      ASSERT_EQ(line, head + std::string(size - head.size(), static_cast<char>('a' + w)))
          << "a torn line";
      ++whole;
    } else {
      FAIL() << "a torn line: " << line.substr(0, 40);
    }
  }
  EXPECT_TRUE(ended);

  EXPECT_EQ(whole + dropped, std::uint64_t{kWriters} * kLinesEach);
}

INSTANTIATE_TEST_SUITE_P(
    Lines, SlowReaderTest,
    ::testing::Values(SlowReaderCase{"ShortLinesSmallPipe", 4096, {30, 120, 700}},
                      SlowReaderCase{"UpToPipeBufSmallPipe", 4096, {PIPE_BUF - 1, 2000, 64}},
                      SlowReaderCase{"LongerThanPipeBuf", 65536, {80, 3 * PIPE_BUF, 10'000}}),
    [](const auto& param_info) { return std::string(param_info.param.name); });

}  // namespace
}  // namespace kestrune::platform
