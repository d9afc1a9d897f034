#pragma once
// What the process-level tests of the host protocol share: the exact lines kestrune writes for
// the events and errors they expect, and a started process that has already said "ready".

#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "tests/support/kestrune_process.hpp"

namespace kestrune::testing {

inline const std::string kReadyLine =
    R"({"event":"ready","payload":{"kestruneVersion":"0.1.0","maxInputLineBytes":65536,"name":"kestrune","protocolVersion":1},"type":"event","version":1})";

inline std::string shutdown_complete_line(const std::string& reason, bool clean) {
  return R"({"event":"shutdownComplete","payload":{"clean":)" +
         std::string(clean ? "true" : "false") + R"(,"reason":")" + reason + R"("},"type":"event","version":1})";
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

// Starts kestrune and checks that its first line is "ready".
inline std::unique_ptr<KestruneProcess> start_ready(
    KestruneProcess::Stdin stdin_kind = KestruneProcess::Stdin::pipe) {
  auto process = std::make_unique<KestruneProcess>(stdin_kind);
  EXPECT_EQ(process->read_line(), kReadyLine);
  return process;
}

// Ends the input, then expects every line still to come to be `tail`, exit code 0 and a silent
// standard error.
inline void expect_orderly_end(KestruneProcess& process, const std::vector<std::string>& tail) {
  process.close_stdin();
  EXPECT_EQ(process.wait_exit(), 0);
  EXPECT_EQ(process.remaining_lines(), tail);
  EXPECT_EQ(process.stderr_text(), "");
}

}  // namespace kestrune::testing
