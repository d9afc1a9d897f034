// Sessions through the real binary. Until the managed session is built, a session's run ends at
// once with internal_error, so each started session ends by itself right after "accepted".

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/integration/shell/process_harness.hpp"

namespace kestrune::testing {
namespace {

const std::string kStart =
    R"({"device":{"stableId":"dev_1","displayName":"Kitchen","addresses":["127.0.0.1"],"port":7000},)"
    R"("audioSource":{"kind":"windowsDefaultOutput"},"initialVolume":0.5})";

const std::string kIdleResult = R"("result":{"session":null,"state":"idle"})";

TEST(SessionProcess, StartedSessionEndsAndIsReapedBeforeTheNextLine) {
  auto process = start_ready();
  std::vector<std::string> ids;
  for (const char* request : {"first", "second"}) {
    SCOPED_TRACE(request);
    ASSERT_TRUE(process->write_line(command_line(request, "startSession", kStart)));
    EXPECT_EQ(process->read_line(), accepted_line(request));
    ids.push_back(expect_session_ends_by_itself(*process));
    // The line waits until the session is reaped: the slot is empty again.
    ASSERT_TRUE(process->write_line(command_line("state", "getState")));
    EXPECT_EQ(process->read_line(),
              R"({"ok":true,"requestId":"state",)" + kIdleResult + R"(,"type":"response","version":1})");
  }
  EXPECT_NE(ids[0], ids[1]);
  ASSERT_TRUE(process->write_line(command_line("stop", "stopSession")));
  EXPECT_EQ(process->read_line(), error_line("\"stop\"", "no_active_session", "session",
                                             "There is no active AirPlay session."));
  expect_orderly_end(*process, {shutdown_complete_line("stdin_eof", true)});
}

TEST(SessionProcess, ShutdownAfterASessionEndedIsClean) {
  auto process = start_ready();
  ASSERT_TRUE(process->write_line(command_line("s", "startSession", kStart)));
  EXPECT_EQ(process->read_line(), accepted_line("s"));
  (void)expect_session_ends_by_itself(*process);
  ASSERT_TRUE(process->write_line(command_line("down", "shutdown")));
  EXPECT_EQ(process->read_line(),
            R"({"ok":true,"requestId":"down","result":{"shuttingDown":true},"type":"response","version":1})");
  EXPECT_EQ(process->read_line(), shutdown_complete_line("command", true));
  EXPECT_EQ(process->wait_exit(), 0);
  EXPECT_EQ(process->stderr_text(), "");
}

}  // namespace
}  // namespace kestrune::testing
