#pragma once
// What the process-level tests of the host protocol share: the exact lines kestrune writes for
// the events and errors they expect, and a started process that has already said "ready".

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "tests/support/kestrune_process.hpp"

namespace kestrune::testing {

inline const std::string kReadyLine =
    R"({"event":"ready","payload":{"kestruneVersion":"0.1.0","maxInputLineBytes":65536,"name":"kestrune","protocolVersion":1},"type":"event","version":1})";

inline std::string shutdown_complete_line(const std::string& reason, bool clean) {
  return R"({"event":"shutdownComplete","payload":{"clean":)" +
         std::string(clean ? "true" : "false") + R"(,"reason":")" + reason +
         R"("},"type":"event","version":1})";
}

// The whole response line of a protocol error; request_id is JSON text ("null" or "\"r1\"").
inline std::string error_line(const std::string& request_id, const std::string& code,
                              const std::string& stage, const std::string& message,
                              bool retryable = false) {
  return R"({"error":{"code":")" + code + R"(","retryable":)" + (retryable ? "true" : "false") +
         R"(,"safeMessage":")" + message + R"(","stage":")" + stage +
         R"("},"ok":false,"requestId":)" + request_id + R"(,"type":"response","version":1})";
}

inline std::string command_line(const std::string& request_id, const std::string& command,
                                const std::string& payload = "{}") {
  return R"({"version":1,"type":"command","requestId":")" + request_id + R"(","command":")" +
         command + R"(","payload":)" + payload + "}";
}

// The startSession payload that plays the WAV file at `path` to the receiver on 127.0.0.1:`port`.
inline std::string file_session_payload(std::uint16_t port, const std::string& path) {
  return R"({"device":{"stableId":"dev_1","displayName":"Kitchen","addresses":["127.0.0.1"],)"
         R"("port":)" +
         std::to_string(port) + R"(},"audioSource":{"kind":"file","path":")" + path +
         R"("},"initialVolume":0.5})";
}

// A scan command that waits at most `timeout_ms`.
inline std::string scan_command(const std::string& request_id, int timeout_ms) {
  return command_line(request_id, "scan", R"({"timeoutMs":)" + std::to_string(timeout_ms) + "}");
}

// Reads lines until one satisfies `is_last` (at most 400 lines, each within 30 s); all of them.
inline std::vector<nlohmann::json> read_through(
    KestruneProcess& process, const std::function<bool(const nlohmann::json&)>& is_last) {
  std::vector<nlohmann::json> lines;
  for (int i = 0; i < 400; ++i) {
    const auto line = process.read_line(std::chrono::seconds(30));
    if (!line) {
      ADD_FAILURE() << "the process fell silent";
      return lines;
    }
    lines.push_back(nlohmann::json::parse(*line));
    if (is_last(lines.back())) return lines;
  }
  ADD_FAILURE() << "the awaited line never came";
  return lines;
}

inline std::string accepted_line(const std::string& request_id) {
  return R"({"ok":true,"requestId":")" + request_id +
         R"(","result":{"accepted":true},"type":"response","version":1})";
}

// What kestrune writes to standard error for one session start that gets as far as its TCP
// connect: the receiver's address never appears.
inline const std::string kConnectStderrLine = "stage=tcp_connect target=<redacted>\n";

// The lines of a session whose connect fails (the receiver's port is held by a
// RefusedLoopbackPort, or kestrune has no usable network): its four states, then "error" and
// "terminal" with network_error at pairing, and no teardown to report. Checks them as they are read
// and returns the session id they carry.
inline std::string expect_session_refused_at_connect(KestruneProcess& process) {
  using nlohmann::json;
  const std::vector<std::pair<std::string, std::string>> states = {{"starting", "start_requested"},
                                                                   {"failed", "failure"},
                                                                   {"stopping", "failure"},
                                                                   {"stopped", "cleanup_complete"}};
  const json error = {{"code", "network_error"},
                      {"stage", "pairing"},
                      {"retryable", true},
                      {"safeMessage", "The receiver could not be reached."}};
  std::string session_id;
  for (const auto& [state, reason] : states) {
    const auto line = process.read_line();
    if (!line) {
      ADD_FAILURE() << "no sessionState " << state;
      return session_id;
    }
    const json event = json::parse(*line);
    EXPECT_EQ(event["event"], "sessionState") << *line;
    if (session_id.empty()) session_id = event["payload"].value("sessionId", "");
    EXPECT_EQ(event["payload"],
              (json{{"sessionId", session_id}, {"state", state}, {"reason", reason}}));
  }
  EXPECT_EQ(session_id.size(), 36U);
  const auto error_event = process.read_line();
  const auto terminal_event = process.read_line();
  if (!error_event || !terminal_event) {
    ADD_FAILURE() << "no error and terminal";
    return session_id;
  }
  EXPECT_EQ(json::parse(*error_event),
            (json{{"version", 1},
                  {"type", "event"},
                  {"event", "error"},
                  {"payload", {{"sessionId", session_id}, {"error", error}}}}));
  const json terminal = json::parse(*terminal_event);
  EXPECT_EQ(terminal["event"], "terminal");
  EXPECT_EQ(terminal["payload"]["outcome"], "failed");
  EXPECT_EQ(terminal["payload"]["error"], error);
  EXPECT_EQ(terminal["payload"]["sessionId"], session_id);
  EXPECT_FALSE(terminal["payload"].contains("reason"));
  EXPECT_EQ(terminal["payload"]["metrics"].size(), 29U);
  EXPECT_EQ(terminal["payload"]["metrics"]["packetsSent"], 0);
  EXPECT_EQ(terminal["payload"]["shutdownEvidence"], (json{{"flushOutcome", "notApplicable"},
                                                           {"teardownOutcome", "notApplicable"},
                                                           {"workerCleanup", "notApplicable"},
                                                           {"socketCleanup", "notApplicable"}}));
  return session_id;
}

// Starts kestrune and checks that its first line is "ready".
inline std::unique_ptr<KestruneProcess> start_ready(
    KestruneProcess::Stdin stdin_kind = KestruneProcess::Stdin::pipe,
    KestruneProcess::Network network = KestruneProcess::Network::inherited,
    KestruneProcess::Output stderr_kind = KestruneProcess::Output::pipe) {
  auto process = std::make_unique<KestruneProcess>(stdin_kind, network,
                                                   KestruneProcess::Output::pipe, stderr_kind);
  EXPECT_EQ(process->read_line(), kReadyLine);
  return process;
}

// Ends the input, then expects every line still to come to be `tail`, exit code 0 and standard
// error to be `stderr_text` (silent unless said).
inline void expect_orderly_end(KestruneProcess& process, const std::vector<std::string>& tail,
                               const std::string& stderr_text = "") {
  process.close_stdin();
  EXPECT_EQ(process.wait_exit(), 0);
  EXPECT_EQ(process.remaining_lines(), tail);
  EXPECT_EQ(process.stderr_text(), stderr_text);
}

}  // namespace kestrune::testing
