// Sessions through the real binary: a receiver that refuses the connection, where each started
// session fails at its connect and ends by itself right after "accepted", and a file played to
// the loopback receiver from start to finish.

#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "test-receiver/test_receiver.hpp"
#include "tests/integration/shell/process_harness.hpp"
#include "tests/support/audio_packets.hpp"
#include "tests/support/refused_port.hpp"
#include "tests/support/temp_wav_file.hpp"

namespace kestrune::testing {
namespace {

std::string start_payload(std::uint16_t port) {
  return R"({"device":{"stableId":"dev_1","displayName":"Kitchen","addresses":["127.0.0.1"],)"
         R"("port":)" +
         std::to_string(port) +
         R"(},"audioSource":{"kind":"windowsDefaultOutput"},"initialVolume":0.5})";
}

const std::string kIdleResult = R"("result":{"session":null,"state":"idle"})";

TEST(SessionProcess, StartedSessionEndsAndIsReapedBeforeTheNextLine) {
  RefusedLoopbackPort receiver;
  const std::string kStart = start_payload(receiver.port());
  auto process = start_ready();
  std::vector<std::string> ids;
  for (const char* request : {"first", "second"}) {
    SCOPED_TRACE(request);
    ASSERT_TRUE(process->write_line(command_line(request, "startSession", kStart)));
    EXPECT_EQ(process->read_line(), accepted_line(request));
    ids.push_back(expect_session_refused_at_connect(*process));
    // The line waits until the session is reaped: the slot is empty again.
    ASSERT_TRUE(process->write_line(command_line("state", "getState")));
    EXPECT_EQ(process->read_line(), R"({"ok":true,"requestId":"state",)" + kIdleResult +
                                        R"(,"type":"response","version":1})");
  }
  EXPECT_NE(ids[0], ids[1]);
  ASSERT_TRUE(process->write_line(command_line("stop", "stopSession")));
  EXPECT_EQ(process->read_line(), error_line("\"stop\"", "no_active_session", "session",
                                             "There is no active AirPlay session."));
  expect_orderly_end(*process, {shutdown_complete_line("stdin_eof", true)},
                     kConnectStderrLine + kConnectStderrLine);
}

TEST(SessionProcess, ShutdownAfterASessionEndedIsClean) {
  RefusedLoopbackPort receiver;
  auto process = start_ready();
  ASSERT_TRUE(
      process->write_line(command_line("s", "startSession", start_payload(receiver.port()))));
  EXPECT_EQ(process->read_line(), accepted_line("s"));
  (void)expect_session_refused_at_connect(*process);
  ASSERT_TRUE(process->write_line(command_line("down", "shutdown")));
  EXPECT_EQ(
      process->read_line(),
      R"({"ok":true,"requestId":"down","result":{"shuttingDown":true},"type":"response","version":1})");
  EXPECT_EQ(process->read_line(), shutdown_complete_line("command", true));
  EXPECT_EQ(process->wait_exit(), 0);
  EXPECT_EQ(process->stderr_text(), kConnectStderrLine);
}

bool is_state(const nlohmann::json& line, const std::string& state) {
  return line.value("event", "") == "sessionState" && line["payload"]["state"] == state;
}

TEST(SessionProcess, AFilePlaysToTheReceiverUntilItEnds) {
  using nlohmann::json;
  auto receiver = test_receiver::TestReceiver::start();
  ASSERT_TRUE(receiver);
  TempWavFile file(test_signal(44'100));  // 1 s: 126 packets, the last one padded
  const std::string start = file_session_payload((*receiver)->port(), file.path());

  auto process = start_ready();
  ASSERT_TRUE(process->write_line(command_line("s", "startSession", start)));
  EXPECT_EQ(process->read_line(), accepted_line("s"));
  auto lines = read_through(*process, [](const json& l) { return is_state(l, "playing"); });
  ASSERT_TRUE(process->write_line(command_line("v", "setVolume", R"({"volume":0.25})")));
  auto rest =
      read_through(*process, [](const json& l) { return l.value("event", "") == "terminal"; });
  lines.insert(lines.end(), rest.begin(), rest.end());

  std::vector<std::string> states;
  bool volume_answered = false;
  for (const json& line : lines) {
    if (line.value("event", "") == "sessionState") {
      states.push_back(line["payload"]["state"].get<std::string>() + "/" +
                       line["payload"]["reason"].get<std::string>());
    }
    if (line.value("requestId", "") == "v") {
      EXPECT_EQ(line["result"], (json{{"volume", 0.25}}));
      volume_answered = true;
    }
  }
  EXPECT_TRUE(volume_answered);
  EXPECT_EQ(states,
            (std::vector<std::string>{"starting/start_requested", "playing/startup_complete",
                                      "stopping/end_of_stream", "stopped/cleanup_complete"}));
  const json& terminal = lines.back()["payload"];
  EXPECT_EQ(terminal["outcome"], "completed");
  EXPECT_EQ(terminal["reason"], "end_of_stream");
  EXPECT_EQ(terminal["metrics"]["packetsSent"], 126);
  EXPECT_EQ(terminal["metrics"]["underrunSilencePackets"], 0);
  EXPECT_EQ(terminal["shutdownEvidence"], (json{{"flushOutcome", "succeeded"},
                                                {"teardownOutcome", "succeeded"},
                                                {"workerCleanup", "completed"},
                                                {"socketCleanup", "completed"}}));

  // The receiver got the whole file, sealed with the key of its pairing, and the new volume.
  ASSERT_TRUE((*receiver)->endpoints().wait_for_datagrams(test_receiver::UdpEndpoint::data, 126,
                                                          std::chrono::seconds(2)));
  const auto key = (*receiver)->session_keys().value().events_key;
  const auto data = (*receiver)->endpoints().datagrams(test_receiver::UdpEndpoint::data);
  ASSERT_EQ(data.size(), 126U);
  const auto last = open_audio_packet(data.back().bytes, key);
  ASSERT_TRUE(last);
  EXPECT_EQ(last->sequence_number, 125);
  const auto volumes = (*receiver)->requests_with("SET_PARAMETER");
  ASSERT_EQ(volumes.size(), 2U);
  EXPECT_EQ(std::string(volumes[1].body.begin(), volumes[1].body.end()), "volume: -12.04\r\n");

  ASSERT_TRUE(process->write_line(command_line("state", "getState")));
  EXPECT_EQ(process->read_line(), R"({"ok":true,"requestId":"state",)" + kIdleResult +
                                      R"(,"type":"response","version":1})");
  process->close_stdin();
  EXPECT_EQ(process->wait_exit(), 0);
  EXPECT_EQ(process->remaining_lines(),
            std::vector<std::string>{shutdown_complete_line("stdin_eof", true)});
  const std::string stderr_text = process->stderr_text();
  EXPECT_NE(stderr_text.find("stage=record status=200"), std::string::npos) << stderr_text;
  EXPECT_EQ(stderr_text.find("127.0.0.1"), std::string::npos) << stderr_text;
}

// A host may start kestrune with no standard error at all. The descriptor must not go to the
// first socket the session opens: its diagnostic lines would then land in the receiver's RTSP
// stream in the middle of the requests, and the session would fail.
TEST(SessionProcess, AFilePlaysWithStandardErrorClosed) {
  using nlohmann::json;
  auto receiver = test_receiver::TestReceiver::start();
  ASSERT_TRUE(receiver);
  TempWavFile file(test_signal(22'050));  // 0.5 s: 63 packets
  const std::string start = file_session_payload((*receiver)->port(), file.path());

  auto process = start_ready(KestruneProcess::Stdin::pipe, KestruneProcess::Network::inherited,
                             KestruneProcess::Output::closed);
  ASSERT_TRUE(process->write_line(command_line("s", "startSession", start)));
  EXPECT_EQ(process->read_line(), accepted_line("s"));
  const auto lines =
      read_through(*process, [](const json& l) { return l.value("event", "") == "terminal"; });
  ASSERT_FALSE(lines.empty());
  const json& terminal = lines.back()["payload"];
  EXPECT_EQ(terminal["outcome"], "completed") << lines.back();
  EXPECT_EQ(terminal["reason"], "end_of_stream");
  EXPECT_EQ(terminal["metrics"]["packetsSent"], 63);
  expect_orderly_end(*process, {shutdown_complete_line("stdin_eof", true)});
}

}  // namespace
}  // namespace kestrune::testing
