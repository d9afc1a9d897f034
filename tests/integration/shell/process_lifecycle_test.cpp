// The process as the host sees it: the order of lines, the ends of input and output, the line
// bound, bad input, and the names of its threads.

#include <dirent.h>

#include <chrono>
#include <fstream>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "tests/integration/shell/process_harness.hpp"
#include "tests/support/wait_until.hpp"

namespace kestrune::testing {
namespace {

using nlohmann::json;

const std::string kIdle = R"("result":{"session":null,"state":"idle"})";

std::string idle_response(const std::string& request_id) {
  return R"({"ok":true,"requestId":")" + request_id + R"(",)" + kIdle +
         R"(,"type":"response","version":1})";
}

// A getState line padded with spaces inside the JSON to exactly `size` bytes.
std::string padded_get_state(const std::string& request_id, std::size_t size) {
  std::string line = command_line(request_id, "getState");
  line.insert(line.size() - 1, std::string(size - line.size(), ' '));
  return line;
}

TEST(ProcessLifecycle, EndOfInputWithoutCommands) {
  auto process = start_ready();
  expect_orderly_end(*process, {shutdown_complete_line("stdin_eof", true)});
}

TEST(ProcessLifecycle, ShutdownCommandEndsWhileInputStaysOpen) {
  auto process = start_ready();
  ASSERT_TRUE(process->write(command_line("a", "getState") + "\n" + command_line("b", "shutdown") +
                             "\n" + command_line("c", "getState") + "\n"));
  EXPECT_EQ(process->read_line(), idle_response("a"));
  EXPECT_EQ(
      process->read_line(),
      R"({"ok":true,"requestId":"b","result":{"shuttingDown":true},"type":"response","version":1})");
  EXPECT_EQ(process->read_line(), shutdown_complete_line("command", true));
  // The line after shutdown is never answered, and the process ends though its input is open.
  EXPECT_EQ(process->wait_exit(), 0);
  EXPECT_EQ(process->remaining_lines(), std::vector<std::string>{});
  EXPECT_EQ(process->stderr_text(), "");
}

TEST(ProcessLifecycle, ShutdownWithAMemberDoesNotShutDown) {
  auto process = start_ready();
  ASSERT_TRUE(process->write_line(command_line("s", "shutdown", R"({"now":true})")));
  EXPECT_EQ(process->read_line(),
            error_line("\"s\"", "invalid_request", "protocol", "The command payload is invalid."));
  expect_orderly_end(*process, {shutdown_complete_line("stdin_eof", true)});
}

TEST(ProcessLifecycle, LastLineWithoutLineFeedIsHandledBeforeTheEnd) {
  for (const bool final_feed : {true, false}) {
    SCOPED_TRACE(final_feed ? "with final line feed" : "without final line feed");
    auto process = start_ready();
    ASSERT_TRUE(process->write(command_line("a", "getState") + "\n" +
                               command_line("last", "getState") + (final_feed ? "\n" : "")));
    expect_orderly_end(*process, {idle_response("a"), idle_response("last"),
                                  shutdown_complete_line("stdin_eof", true)});
  }
}

// Many lines, good and bad, written at once: one response each, in line order, between "ready"
// and "shutdownComplete".
TEST(ProcessLifecycle, OneResponsePerLineInLineOrder) {
  auto process = start_ready();
  std::string input;
  std::vector<std::string> expected;
  for (int i = 0; i < 300; ++i) {
    const std::string id = "q" + std::to_string(i);
    switch (i % 4) {
      case 0:
        input += command_line(id, "getState") + "\n";
        expected.push_back(idle_response(id));
        break;
      case 1:
        input += command_line(id, "stopSession") + "\n";
        expected.push_back(error_line("\"" + id + "\"", "no_active_session", "session",
                                      "There is no active AirPlay session."));
        break;
      case 2:
        input += "garbage " + id + "\n";
        expected.push_back(
            error_line("null", "malformed_json", "protocol", "The input line is not valid JSON."));
        break;
      default:
        input += command_line(id, "scan", R"({"timeoutMs":99})") + "\n";
        expected.push_back(error_line("\"" + id + "\"", "invalid_request", "discovery",
                                      "The discovery timeout is invalid."));
    }
  }
  ASSERT_TRUE(process->write(input));
  expected.push_back(shutdown_complete_line("stdin_eof", true));
  expect_orderly_end(*process, expected);
}

TEST(ProcessLifecycle, LineBoundIsExactlyTheLimit) {
  auto process = start_ready();
  const std::string too_large = error_line("null", "input_too_large", "protocol",
                                           "The input line exceeds the protocol limit.");
  std::string cr_at_limit = padded_get_state("cr", 65535) + "\r";
  std::string cr_over_limit = padded_get_state("crx", 65536) + "\r";
  ASSERT_TRUE(process->write(padded_get_state("at", 65536) + "\n" +
                             padded_get_state("over", 65537) + "\n" + cr_at_limit + "\n" +
                             cr_over_limit + "\n" + command_line("after", "getState") + "\n"));
  expect_orderly_end(*process, {idle_response("at"), too_large, idle_response("cr"), too_large,
                                idle_response("after"), shutdown_complete_line("stdin_eof", true)});
}

TEST(ProcessLifecycle, OverLongLineAtEndOfInputIsTooLarge) {
  auto process = start_ready();
  ASSERT_TRUE(process->write(std::string(70000, 'x')));
  expect_orderly_end(*process, {error_line("null", "input_too_large", "protocol",
                                           "The input line exceeds the protocol limit."),
                                shutdown_complete_line("stdin_eof", true)});
}

// A line far beyond the bound costs no memory beyond it: it is thrown away as it is read.
TEST(ProcessLifecycle, HugeLineDoesNotGrowTheProcess) {
  auto process = start_ready();
  ASSERT_TRUE(process->write_line(command_line("warm", "getState")));
  ASSERT_EQ(process->read_line(), idle_response("warm"));
  const auto before = process->peak_resident_kib();
  ASSERT_TRUE(before);
  const std::string chunk(1 << 20, 'y');
  for (int i = 0; i < 64; ++i) ASSERT_TRUE(process->write(chunk));
  ASSERT_TRUE(process->write("\n" + command_line("next", "getState") + "\n"));
  EXPECT_EQ(process->read_line(), error_line("null", "input_too_large", "protocol",
                                             "The input line exceeds the protocol limit."));
  EXPECT_EQ(process->read_line(), idle_response("next"));
  const auto after = process->peak_resident_kib();
  ASSERT_TRUE(after);
  EXPECT_LT(*after - *before, 16 * 1024)
      << "peak memory grew by " << (*after - *before) << " KiB while 64 MiB of one line were read";
  expect_orderly_end(*process, {shutdown_complete_line("stdin_eof", true)});
}

TEST(ProcessLifecycle, ReadErrorShutsDownNotClean) {
  auto process = start_ready(KestruneProcess::Stdin::directory);
  EXPECT_EQ(process->wait_exit(), 0);
  EXPECT_EQ(process->remaining_lines(),
            std::vector<std::string>{shutdown_complete_line("stdin_eof", false)});
  EXPECT_EQ(process->stderr_text(), "");
}

const std::string kWriterUnavailable = "error[kestrune_stdout]: protocol writer unavailable\n";

TEST(ProcessLifecycle, OutputClosedBeforeAnythingWasRead) {
  KestruneProcess process;
  process.close_stdout();
  // "ready" may still have fitted into the pipe before it closed; the response to the command
  // cannot. The process then ends by itself though its input stays open.
  for (int i = 0; i < 5; ++i) (void)process.write_line(command_line("a", "getState"));
  EXPECT_EQ(process.wait_exit(), 0);
  EXPECT_EQ(process.stderr_text(), kWriterUnavailable);
}

TEST(ProcessLifecycle, OutputClosedByTheHostMidway) {
  auto process = start_ready();
  ASSERT_TRUE(process->write_line(command_line("a", "getState")));
  ASSERT_EQ(process->read_line(), idle_response("a"));
  process->close_stdout();
  // The next response meets the closed pipe; the process shuts down without "shutdownComplete"
  // and without waiting for the end of its input. Later lines may find it gone.
  for (int i = 0; i < 5; ++i) (void)process->write_line(command_line("b", "getState"));
  EXPECT_EQ(process->wait_exit(), 0);
  EXPECT_EQ(process->stderr_text(), kWriterUnavailable);
}

// A host may start kestrune with a standard stream closed. A missing standard input is the end
// of input; a missing standard output is a closed output, with the process ending by itself
// though its input stays open.
TEST(ProcessLifecycle, MissingStandardInputIsTheEndOfInput) {
  auto process = start_ready(KestruneProcess::Stdin::closed);
  EXPECT_EQ(process->wait_exit(), 0);
  EXPECT_EQ(process->remaining_lines(),
            std::vector<std::string>{shutdown_complete_line("stdin_eof", true)});
  EXPECT_EQ(process->stderr_text(), "");
}

TEST(ProcessLifecycle, MissingStandardOutputIsAClosedOutput) {
  KestruneProcess process(KestruneProcess::Stdin::pipe, KestruneProcess::Network::inherited,
                          KestruneProcess::Output::closed);
  EXPECT_EQ(process.wait_exit(), 0);
  EXPECT_EQ(process.stderr_text(), kWriterUnavailable);
}

// Hostile lines: each gets exactly one response and the process stays healthy.
TEST(ProcessLifecycle, BadInputAlwaysGetsExactlyOneResponse) {
  const std::vector<std::string> lines = {
      std::string("\0\0\0", 3),
      "\xFF\xFE\xFD",
      std::string(100000, '['),
      std::string(5000, '{'),
      R"({"version":1,"type":"command","requestId":"x","command":"startSession","payload":{"device":[[[[[]]]]]}})",
      R"({"version":18446744073709551616,"type":"command"})",
      R"({"version":1,"type":"command","requestId":"x","command":"scan","payload":{"timeoutMs":-0}})",
      R"({"version":1,"type":"command","requestId":"x","command":"setVolume","payload":{"volume":1e39}})",
      R"({"version":1,"type":"command","requestId":"x","command":"startSession","payload":{"device":{"stableId":"s","displayName":"d","addresses":["::ffff:1.2.3.4","fe80::1%1"],"port":1},"audioSource":["file"],"initialVolume":0}})",
      R"(["\ud800"])",
      "\"unterminated",
      "{\"a\":\"\x01\"}",
      std::string(65536, '"'),
  };
  auto process = start_ready();
  std::string input;
  for (const auto& line : lines) input += line + "\n";
  ASSERT_TRUE(process->write(input));
  process->close_stdin();
  ASSERT_EQ(process->wait_exit(), 0);
  const auto output = process->remaining_lines();
  ASSERT_EQ(output.size(), lines.size() + 1);
  for (std::size_t i = 0; i < lines.size(); ++i) {
    const json response = json::parse(output[i]);
    EXPECT_EQ(response["type"], "response") << i;
    EXPECT_EQ(response["ok"], false) << i;
  }
  EXPECT_EQ(output.back(), shutdown_complete_line("stdin_eof", true));
  EXPECT_EQ(process->stderr_text(), "");
}

std::set<std::string> thread_names(pid_t pid) {
  std::set<std::string> names;
  const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
  if (DIR* dir = ::opendir(tasks.c_str())) {
    for (int i = 0; i < 1000; ++i) {
      const dirent* entry = ::readdir(dir);
      if (entry == nullptr) break;
      std::ifstream comm(tasks + "/" + entry->d_name + "/comm");
      std::string name;
      if (std::getline(comm, name)) names.insert(name);
    }
    ::closedir(dir);
  }
  return names;
}

// The OS keeps 15 bytes of a thread name. A thread names itself as it starts, so the names are
// looked for until they show up.
TEST(ProcessLifecycle, ThreadsCarryTheirNames) {
  auto process = start_ready();
  const std::set<std::string> expected = {"kestrune-json-w", "kestrune-discov", "kestrune-stdin-"};
  std::set<std::string> missing = expected;
  (void)wait_until(
      [&] {
        const auto names = thread_names(process->pid());
        std::erase_if(missing, [&](const std::string& name) { return names.contains(name); });
        return missing.empty();
      },
      std::chrono::seconds(5));
  EXPECT_EQ(missing, std::set<std::string>{});
  expect_orderly_end(*process, {shutdown_complete_line("stdin_eof", true)});
}

}  // namespace
}  // namespace kestrune::testing
