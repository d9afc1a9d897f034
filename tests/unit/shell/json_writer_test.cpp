#include "shell/json_writer.hpp"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <string>
#include <thread>

#include <gtest/gtest.h>

namespace kestrune::shell {
namespace {

using nlohmann::json;

std::string read_to_end(int fd) {
  std::string text;
  char buffer[4096];
  for (int i = 0; i < 100000; ++i) {
    const ssize_t got = ::read(fd, buffer, sizeof buffer);
    if (got <= 0) break;
    text.append(buffer, static_cast<std::size_t>(got));
  }
  return text;
}

// Reads everything until the writer has ended and its end of the pipe is closed.
std::string read_until_closed(int read_fd, std::thread& writer, int write_fd) {
  std::string text;
  std::thread closer([&] {
    writer.join();
    ::close(write_fd);
  });
  text = read_to_end(read_fd);
  closer.join();
  return text;
}

TEST(RunJsonWriter, WritesEachValueAsOneLineThenTheLatestValue) {
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  OutputQueue queue;
  ASSERT_TRUE(queue.push(json::parse(R"({"type":"event","a":"x\ny"})")));
  ASSERT_TRUE(queue.replace_latest(json{{"metrics", 1}}));
  ASSERT_TRUE(queue.push(json::array({1.5, nullptr})));
  queue.finish();
  std::thread writer([&] { run_json_writer(queue, fds[1]); });
  writer.join();  // ends once the finished queue is drained
  ::close(fds[1]);
  EXPECT_EQ(read_to_end(fds[0]),
            "{\"a\":\"x\\ny\",\"type\":\"event\"}\n[1.5,null]\n{\"metrics\":1}\n");
  ::close(fds[0]);
}

TEST(RunJsonWriter, FailedWriteClosesTheQueueAndSaysSoOnce) {
  std::signal(SIGPIPE, SIG_IGN);
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  ::close(fds[0]);  // the host has gone

  // The writer's one diagnostic goes to standard error; catch it for the duration.
  const int saved_stderr = ::dup(2);
  const int captured = ::memfd_create("stderr", MFD_CLOEXEC);
  ASSERT_GE(captured, 0);
  ASSERT_EQ(::dup2(captured, 2), 2);

  OutputQueue queue;
  ASSERT_TRUE(queue.push(json("first")));
  ASSERT_TRUE(queue.push(json("second")));
  std::thread writer([&] { run_json_writer(queue, fds[1]); });
  writer.join();  // ends by itself after the failure, without finish()

  ::dup2(saved_stderr, 2);
  ::close(saved_stderr);
  EXPECT_TRUE(queue.closed());
  EXPECT_FALSE(queue.push(json("third")));
  ::lseek(captured, 0, SEEK_SET);
  EXPECT_EQ(read_to_end(captured), std::string(kWriterUnavailableLine) + "\n");
  ::close(captured);
  ::close(fds[1]);
}

// A host may hand over a non-blocking pipe: while it is full the writer waits instead of taking
// the output for closed.
TEST(RunJsonWriter, FullNonBlockingPipeIsWaitedFor) {
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  ASSERT_EQ(::fcntl(fds[1], F_SETFL, ::fcntl(fds[1], F_GETFL) | O_NONBLOCK), 0);
  OutputQueue queue;
  const std::string text(4000, 'v');
  constexpr int kLines = 100;  // far more than the pipe holds
  for (int i = 0; i < kLines; ++i) ASSERT_TRUE(queue.push(json(text)));
  queue.finish();
  std::thread writer([&] { run_json_writer(queue, fds[1]); });
  std::this_thread::sleep_for(std::chrono::milliseconds(200));  // the pipe fills meanwhile
  const std::string written = read_until_closed(fds[0], writer, fds[1]);
  EXPECT_FALSE(queue.closed());
  EXPECT_EQ(written.size(), kLines * (text.size() + 3));
  ::close(fds[0]);
}

}  // namespace
}  // namespace kestrune::shell
