// The command loop with a session in the slot: how the ends of input and output stop it, and how
// a line that finds the session stopped waits for its reap.

#include <algorithm>
#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "engine/core/session_handle.hpp"
#include "tests/support/wait_until.hpp"
#include "tests/unit/shell/shell_harness.hpp"

namespace kestrune::shell {
namespace {

using namespace testing;
using engine::SessionError;
using engine::SessionShared;
using kestrune::testing::wait_until;

bool same_record(const ShutdownRecord& a, const ShutdownRecord& b) {
  return a.reason == b.reason && a.clean == b.clean;
}

TEST(CommandLoop, EndOfInputOrReadErrorStopsTheSession) {
  struct Case {
    const char* name;
    bool playing;
    bool read_error;
    ShutdownRecord expected;
  };
  const Case cases[] = {
      {"end of input while playing", true, false, {"stdin_eof", true}},
      {"end of input while starting", false, false, {"stdin_eof", false}},
      {"read error while playing", true, true, {"stdin_eof", false}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ShellHarness shell(stop_waiting_starter(c.playing));
    shell.start_loop();
    shell.send(start_command());
    shell.wait_for_state(c.playing ? "playing" : "starting");
    if (c.read_error) shell.send(InputLine{ReadError{}});
    const ShutdownRecord record = shell.end_loop();
    EXPECT_TRUE(same_record(record, c.expected)) << record.reason << " " << record.clean;
    EXPECT_FALSE(shell.slot().has_value());
    // The session's events end with its terminal, and nothing follows.
    const auto lines = shell.wait_for_event("terminal");
    EXPECT_TRUE(is_event(lines.back(), "terminal"));
  }
}

TEST(CommandLoop, ClosedOutputStopsTheSession) {
  ShellHarness shell(stop_waiting_starter(true));
  shell.start_loop();
  shell.send(start_command());
  shell.wait_for_state("playing");
  const std::shared_ptr<SessionShared> kept = shell.slot()->handle.shared();
  SessionShared& shared = *kept;
  shell.queue().close();
  const ShutdownRecord record = shell.end_loop(/*send_end_of_input=*/false);
  EXPECT_EQ(record.reason, "stdout_closed");
  EXPECT_FALSE(shell.slot().has_value());
  EXPECT_TRUE(shared.stop_requested.load());
}

// The pump cannot acknowledge the terminal event while the test holds the snapshot's lock, so a
// line sent meanwhile finds the session stopped and unreaped; it must wait for the reap, and a
// startSession is then accepted rather than refused as busy.
TEST(CommandLoop, LineThatFindsTheSessionStoppedWaitsForItsReap) {
  auto gate = std::make_shared<Gate>();
  ShellHarness shell(scripted_starter([gate](SessionShared& s) {
    const engine::SessionStatus started = engine::mark_startup_complete(s);
    if (!started) return started.error();
    (void)gate->wait(kPatience);
    engine::record_end_reason(s, engine::TransitionReason::end_of_stream);
    return SessionError::success();
  }));
  shell.start_loop();
  shell.send(start_command("first"));
  shell.wait_for_state("playing");
  std::shared_ptr<SessionShared> shared = shell.slot()->handle.shared();
  std::shared_ptr<SessionSnapshot> snapshot = shell.slot()->snapshot;
  {
    auto held = snapshot->content.lock();
    gate->open();
    (void)wait_until(
        [&] { return engine::current_session_state(*shared) == engine::SessionState::stopped; },
        20s);
    ASSERT_EQ(engine::current_session_state(*shared), engine::SessionState::stopped);
    shell.send(start_command("second"));
    std::this_thread::sleep_for(200ms);  // the loop takes the line and waits
  }
  const auto lines = shell.wait_for_response("second");
  const auto terminal = std::find_if(lines.begin(), lines.end(),
                                     [](const json& l) { return is_event(l, "terminal"); });
  const auto second = std::find_if(lines.begin(), lines.end(),
                                   [](const json& l) { return is_response(l, "second"); });
  EXPECT_LT(terminal, second);
  ASSERT_NE(second, lines.end());
  EXPECT_EQ(member_of(*second, "result"), (json{{"accepted", true}}));
  // The second session ends by itself too (its gate is open); the end of input then finds it
  // stopped and waits for its reap.
  shell.wait_for([](const std::vector<json>& seen) {
    return std::count_if(seen.begin(), seen.end(),
                         [](const json& l) { return is_event(l, "terminal"); }) == 2;
  });
  const ShutdownRecord record = shell.end_loop();
  EXPECT_TRUE(same_record(record, {"stdin_eof", true}));
}

// A pump that ends without acknowledging (here: its lines are refused by a finished queue) must
// not leave the stopped session in the slot, where it would make the loop discard every line,
// the end of input among them.
TEST(CommandLoop, PumpThatEndedWithoutAcknowledgingStillLetsTheSessionGo) {
  auto gate = std::make_shared<Gate>();
  ShellHarness shell(scripted_starter([gate](SessionShared& s) {
    const engine::SessionStatus started = engine::mark_startup_complete(s);
    if (!started) return started.error();
    (void)gate->wait(kPatience);
    return SessionError::success();
  }));
  shell.start_loop();
  shell.send(start_command());
  shell.wait_for_state("playing");
  std::shared_ptr<SessionShared> shared = shell.slot()->handle.shared();
  shell.queue().finish();
  gate->open();
  (void)wait_until(
      [&] { return engine::current_session_state(*shared) == engine::SessionState::stopped; }, 20s);
  shell.send(command("getState"));
  const ShutdownRecord record = shell.end_loop();
  EXPECT_TRUE(same_record(record, {"stdin_eof", true})) << record.reason << " " << record.clean;
  EXPECT_FALSE(shell.slot().has_value());
}

}  // namespace
}  // namespace kestrune::shell
