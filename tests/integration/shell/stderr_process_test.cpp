// Hosts that do not keep up with standard error, through the real binary: a pipe that is full and
// never read, one read slowly, one whose reader has gone, none at all. In each a 30 s file plays
// to the loopback receiver, is stopped after 5 s of audio, and the process shuts down in order.

#include <functional>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "test-receiver/test_receiver.hpp"
#include "tests/integration/shell/process_harness.hpp"
#include "tests/support/audio_packets.hpp"
#include "tests/support/temp_wav_file.hpp"

namespace kestrune::testing {
namespace {

using nlohmann::json;
using Output = KestruneProcess::Output;

constexpr int kFrameRate = 44'100;
constexpr int kPacketsPerSecond = 44'100 / 352;  // 125.3: frames per packet

struct StderrCase {
  const char* name;
  Output stderr_kind;
};

void PrintTo(const StderrCase& c, std::ostream* out) { *out << c.name; }

class StderrHostTest : public ::testing::TestWithParam<StderrCase> {};

// Every line of standard error is whole: the filler the host left in the pipe, or a line of one
// of the forms kestrune writes.
void expect_whole_lines(const std::string& text) {
  static const std::regex kForms(
      "(stage=[a-z0-9_]+( [a-z0-9_]+=[^ ]*)*"
      "|rtsp method=[A-Z_]+ cseq=[0-9]+ status=[0-9]+ elapsed_ms=[0-9]+"
      "|session uuid=[0-9A-F-]{36}"
      "|warning\\[stderr\\]: dropped_lines=[1-9][0-9]*"
      "|(warning|diagnostic)\\[[a-z0-9_]+\\]: .+)");
  std::istringstream lines(text);
  std::string line;
  int count = 0;
  while (std::getline(lines, line) && count++ < 10'000) {
    if (line == KestruneProcess::kFillerLine) continue;
    EXPECT_TRUE(std::regex_match(line, kForms)) << "a torn or unknown line: " << line;
  }
  EXPECT_TRUE(text.empty() || text.back() == '\n') << "standard error ends inside a line";
}

TEST_P(StderrHostTest, AStoppedFileSessionStreamsAndTheProcessShutsDownInOrder) {
  const StderrCase& c = GetParam();
  auto receiver = test_receiver::TestReceiver::start();
  ASSERT_TRUE(receiver);
  TempWavFile file(test_signal(30 * kFrameRate));
  const std::string start =
      R"({"device":{"stableId":"dev_1","displayName":"Kitchen","addresses":["127.0.0.1"],)"
      R"("port":)" +
      std::to_string((*receiver)->port()) + R"(},"audioSource":{"kind":"file","path":")" +
      file.path() + R"("},"initialVolume":0.5})";

  auto process =
      start_ready(KestruneProcess::Stdin::pipe, KestruneProcess::Network::inherited, c.stderr_kind);
  ASSERT_TRUE(process->write_line(command_line("s", "startSession", start)));
  EXPECT_EQ(process->read_line(std::chrono::seconds(30)), accepted_line("s"));
  (void)read_through(*process, [](const json& l) {
    return l.value("event", "") == "sessionState" && l["payload"]["state"] == "playing";
  });
  // 5 s of audio at the receiver; the file goes on for 25 s more, so the stop comes first.
  const std::size_t five_seconds = 5 * kPacketsPerSecond;
  ASSERT_TRUE((*receiver)->endpoints().wait_for_datagrams(test_receiver::UdpEndpoint::data,
                                                          five_seconds, std::chrono::seconds(20)));

  ASSERT_TRUE(process->write_line(command_line("stop", "stopSession")));
  const auto lines =
      read_through(*process, [](const json& l) { return l.value("requestId", "") == "stop"; });
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.back()["ok"], true) << lines.back();
  json terminal;
  for (const json& line : lines) {
    if (line.value("event", "") == "terminal") terminal = line["payload"];
  }
  ASSERT_TRUE(terminal.is_object()) << "no terminal before the stop's answer";
  EXPECT_EQ(terminal["outcome"], "completed") << terminal;
  // Each teardown step ended by itself, inside the shutdown deadline.
  EXPECT_EQ(terminal["shutdownEvidence"], (json{{"flushOutcome", "succeeded"},
                                                {"teardownOutcome", "succeeded"},
                                                {"workerCleanup", "completed"},
                                                {"socketCleanup", "completed"}}));
  EXPECT_EQ(terminal["metrics"]["shutdownForcedStages"], 0);
  EXPECT_GE(terminal["metrics"]["packetsSent"].get<std::size_t>(), five_seconds);

  // What arrived is the file's audio, sealed with the session's key, in order.
  const auto key = (*receiver)->session_keys().value().events_key;
  const auto data = (*receiver)->endpoints().datagrams(test_receiver::UdpEndpoint::data);
  ASSERT_GE(data.size(), five_seconds);
  for (std::size_t i = 0; i < five_seconds; i += kPacketsPerSecond) {
    const auto packet = open_audio_packet(data[i].bytes, key);
    ASSERT_TRUE(packet) << "packet " << i;
    EXPECT_EQ(packet->sequence_number, i);
  }

  ASSERT_TRUE(process->write_line(command_line("down", "shutdown")));
  EXPECT_EQ(
      process->read_line(std::chrono::seconds(30)),
      R"({"ok":true,"requestId":"down","result":{"shuttingDown":true},"type":"response","version":1})");
  EXPECT_EQ(process->read_line(std::chrono::seconds(30)), shutdown_complete_line("command", true));
  EXPECT_EQ(process->wait_exit(std::chrono::seconds(30)), 0);

  const std::string stderr_text = process->stderr_text(std::chrono::seconds(30));
  expect_whole_lines(stderr_text);
  if (c.stderr_kind == Output::slow_reader) {
    // The start's lines found the pipe full; a later line said how many went.
    EXPECT_NE(stderr_text.find("warning[stderr]: dropped_lines="), std::string::npos)
        << stderr_text;
  }
}

INSTANTIATE_TEST_SUITE_P(Hosts, StderrHostTest,
                         ::testing::Values(StderrCase{"FullPipeNeverRead", Output::full_unread},
                                           StderrCase{"PipeReadSlowly", Output::slow_reader},
                                           StderrCase{"PipeWhoseReaderHasGone",
                                                      Output::reader_gone},
                                           StderrCase{"NoStandardError", Output::closed}),
                         [](const auto& param_info) { return std::string(param_info.param.name); });

}  // namespace
}  // namespace kestrune::testing
