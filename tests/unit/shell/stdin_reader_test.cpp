#include "shell/stdin_reader.hpp"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <chrono>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

namespace kestrune::shell {
namespace {

// One InputLine written compactly, for comparing whole sequences.
std::string describe(const InputLine& line) {
  if (const auto* text = std::get_if<Line>(&line)) {
    if (text->bytes.size() > 40) {
      return "Line(" + std::to_string(text->bytes.size()) + " bytes, first '" +
             text->bytes.substr(0, 1) + "')";
    }
    return "Line(" + text->bytes + ")";
  }
  if (std::holds_alternative<TooLarge>(line)) return "TooLarge";
  if (std::holds_alternative<EndOfInput>(line)) return "EndOfInput";
  return "ReadError";
}

// A file descriptor holding `bytes`, read from the start.
int memory_file(const std::string& bytes) {
  const int fd = ::memfd_create("stdin", MFD_CLOEXEC);
  EXPECT_GE(fd, 0);
  EXPECT_EQ(::write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  EXPECT_EQ(::lseek(fd, 0, SEEK_SET), 0);
  return fd;
}

// Every InputLine until (and including) the first EndOfInput or ReadError, and one more call.
std::vector<std::string> read_all(int fd) {
  BoundedLineReader reader(fd);
  std::vector<std::string> lines;
  for (int i = 0; i < 100; ++i) {
    lines.push_back(describe(reader.read_bounded_line()));
    if (lines.back() == "EndOfInput" || lines.back() == "ReadError") {
      lines.push_back(describe(reader.read_bounded_line()));
      return lines;
    }
  }
  ADD_FAILURE() << "input never ended";
  return lines;
}

struct ReaderCase {
  const char* name;
  std::string input;
  std::vector<std::string> lines;
};

// Test names and failure messages show the case, not its bytes.
void PrintTo(const ReaderCase& c, std::ostream* os) { *os << c.name; }

class ReadBoundedLine : public ::testing::TestWithParam<ReaderCase> {};

TEST_P(ReadBoundedLine, CutsInputIntoBoundedLines) {
  const int fd = memory_file(GetParam().input);
  EXPECT_EQ(read_all(fd), GetParam().lines);
  ::close(fd);
}

const std::string kMax(kMaxInputLineBytes, 'm');

INSTANTIATE_TEST_SUITE_P(
    Table, ReadBoundedLine,
    ::testing::Values(
        ReaderCase{"no_input", "", {"EndOfInput", "EndOfInput"}},
        ReaderCase{
            "lines_then_end", "a\nbc\n", {"Line(a)", "Line(bc)", "EndOfInput", "EndOfInput"}},
        ReaderCase{"final_line_without_feed",
                   "a\nlast",
                   {"Line(a)", "Line(last)", "EndOfInput", "EndOfInput"}},
        ReaderCase{"empty_lines", "\n\n", {"Line()", "Line()", "EndOfInput", "EndOfInput"}},
        ReaderCase{"carriage_return_kept", "x\r\n", {"Line(x\r)", "EndOfInput", "EndOfInput"}},
        ReaderCase{"exactly_the_bound",
                   kMax + "\nnext\n",
                   {"Line(65536 bytes, first 'm')", "Line(next)", "EndOfInput", "EndOfInput"}},
        ReaderCase{"one_byte_over",
                   kMax + "m\nnext\n",
                   {"TooLarge", "Line(next)", "EndOfInput", "EndOfInput"}},
        ReaderCase{"bound_reached_by_carriage_return",
                   kMax + "\r\nnext\n",
                   {"TooLarge", "Line(next)", "EndOfInput", "EndOfInput"}},
        ReaderCase{"far_over_then_good",
                   std::string(1'000'000, 'x') + "\nok\n",
                   {"TooLarge", "Line(ok)", "EndOfInput", "EndOfInput"}},
        ReaderCase{
            "over_long_at_end_of_input", kMax + "mm", {"TooLarge", "EndOfInput", "EndOfInput"}},
        ReaderCase{"exactly_the_bound_at_end_of_input",
                   kMax,
                   {"Line(65536 bytes, first 'm')", "EndOfInput", "EndOfInput"}}),
    [](const auto& row) { return std::string(row.param.name); });

TEST(ReadBoundedLine, LineSpanningManyReadsArrivesWhole) {
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  std::string line;
  for (int i = 0; i < 30000; ++i) line.push_back(static_cast<char>('a' + i % 26));
  // Dribbled in uneven pieces so lines and reads never line up.
  std::thread writer([&] {
    const std::string input = "first\n" + line + "\n" + "tail";
    for (std::size_t at = 0; at < input.size();) {
      const std::size_t piece = std::min<std::size_t>(input.size() - at, 1 + at % 5000);
      ASSERT_EQ(::write(fds[1], input.data() + at, piece), static_cast<ssize_t>(piece));
      at += piece;
    }
    ::close(fds[1]);
  });
  BoundedLineReader reader(fds[0]);
  EXPECT_EQ(describe(reader.read_bounded_line()), "Line(first)");
  const InputLine long_line = reader.read_bounded_line();
  ASSERT_TRUE(std::holds_alternative<Line>(long_line));
  EXPECT_EQ(std::get<Line>(long_line).bytes, line);
  EXPECT_EQ(describe(reader.read_bounded_line()), "Line(tail)");
  EXPECT_EQ(describe(reader.read_bounded_line()), "EndOfInput");
  writer.join();
  ::close(fds[0]);
}

TEST(ReadBoundedLine, FailedReadIsReadErrorAndMissingInputIsTheEnd) {
  const int directory = ::open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  ASSERT_GE(directory, 0);
  EXPECT_EQ(describe(BoundedLineReader(directory).read_bounded_line()), "ReadError");
  ::close(directory);

  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  ::close(fds[0]);
  ::close(fds[1]);  // no longer an open descriptor
  EXPECT_EQ(describe(BoundedLineReader(fds[0]).read_bounded_line()), "EndOfInput");
}

// A host may hand over a non-blocking pipe: with nothing to read yet the reader waits for input
// instead of reporting a read error.
TEST(ReadBoundedLine, EmptyNonBlockingPipeIsWaitedFor) {
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  ASSERT_EQ(::fcntl(fds[0], F_SETFL, ::fcntl(fds[0], F_GETFL) | O_NONBLOCK), 0);
  BoundedLineReader reader(fds[0]);
  auto first = std::async(std::launch::async, [&] { return describe(reader.read_bounded_line()); });
  std::this_thread::sleep_for(std::chrono::milliseconds(200));  // the reader finds nothing
  ASSERT_EQ(::write(fds[1], "a\n", 2), 2);
  ::close(fds[1]);
  ASSERT_EQ(first.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  EXPECT_EQ(first.get(), "Line(a)");
  EXPECT_EQ(describe(reader.read_bounded_line()), "EndOfInput");
  ::close(fds[0]);
}

TEST(RunStdinReader, SendsEveryLineThenEndsAfterTheEnd) {
  const int fd = memory_file("one\ntwo\n");
  auto [sender, receiver] = support::channel<InputLine>(32);
  std::thread reader(
      [fd, sender = std::move(sender)]() mutable { run_stdin_reader(std::move(sender), fd); });
  std::vector<std::string> got;
  for (int i = 0; i < 10; ++i) {
    auto line = receiver.recv_timeout(std::chrono::seconds(10));
    if (!line) break;
    got.push_back(describe(*line));
  }
  reader.join();
  EXPECT_EQ(got, (std::vector<std::string>{"Line(one)", "Line(two)", "EndOfInput"}));
  ::close(fd);
}

TEST(RunStdinReader, EndsWhenTheMainThreadHasGone) {
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  auto [sender, receiver] = support::channel<InputLine>(1);
  std::thread reader([fd = fds[0], sender = std::move(sender)]() mutable {
    run_stdin_reader(std::move(sender), fd);
  });
  ASSERT_EQ(::write(fds[1], "a\nb\nc\n", 6), 6);
  ASSERT_TRUE(receiver.recv_timeout(std::chrono::seconds(10)));
  receiver.close();  // the reader's next send fails and it ends, though input stays open
  reader.join();
  ::close(fds[0]);
  ::close(fds[1]);
}

}  // namespace
}  // namespace kestrune::shell
