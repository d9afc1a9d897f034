// Sessions through the real binary whose receiver refuses the connection: each started session
// fails at its connect and ends by itself right after "accepted".

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/integration/shell/process_harness.hpp"
#include "tests/support/refused_port.hpp"

namespace kestrune::testing {
namespace {

std::string start_payload(std::uint16_t port) {
  return R"({"device":{"stableId":"dev_1","displayName":"Kitchen","addresses":["127.0.0.1"],)"
         R"("port":)" + std::to_string(port) +
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
    EXPECT_EQ(process->read_line(),
              R"({"ok":true,"requestId":"state",)" + kIdleResult + R"(,"type":"response","version":1})");
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
  ASSERT_TRUE(process->write_line(command_line("s", "startSession", start_payload(receiver.port()))));
  EXPECT_EQ(process->read_line(), accepted_line("s"));
  (void)expect_session_refused_at_connect(*process);
  ASSERT_TRUE(process->write_line(command_line("down", "shutdown")));
  EXPECT_EQ(process->read_line(),
            R"({"ok":true,"requestId":"down","result":{"shuttingDown":true},"type":"response","version":1})");
  EXPECT_EQ(process->read_line(), shutdown_complete_line("command", true));
  EXPECT_EQ(process->wait_exit(), 0);
  EXPECT_EQ(process->stderr_text(), kConnectStderrLine);
}

}  // namespace
}  // namespace kestrune::testing
