// The session commands through the shell's command layer, with sessions whose runner follows a
// script: what the host sees of a session's life, the busy slot, getState, setVolume, shutdown
// and the starts that cannot go ahead.

#include <atomic>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "engine/core/session_report_merge.hpp"
#include "shell/envelopes.hpp"
#include "shell/json_line.hpp"
#include "shell/protocol_error.hpp"
#include "support/thread.hpp"
#include "support/thread_testing.hpp"
#include "tests/unit/shell/shell_harness.hpp"

namespace kestrune::shell {
namespace {

using namespace testing;
using engine::SessionError;
using engine::SessionErrorKind;
using engine::SessionShared;
using engine::SessionStage;
using engine::TransitionReason;
using engine::testing::wait_for_stop;
using kestrune::testing::session_result_of;

using StateStep = std::pair<std::string, std::string>;
using GatedScript = std::function<SessionError(SessionShared&, Gate&)>;

SessionStarter gated_starter(GatedScript script, std::shared_ptr<Gate> gate) {
  return scripted_starter(
      [script = std::move(script), gate](SessionShared& shared) { return script(shared, *gate); });
}

json error_object(const std::string& code, const std::string& stage, bool retryable,
                  const std::string& message) {
  return {{"code", code}, {"stage", stage}, {"retryable", retryable}, {"safeMessage", message}};
}

const json kCancelled = error_object("cancelled", "shutdown", false, "The session was cancelled.");
const json kBusy =
    error_object("session_busy", "acquire_lease", false, "Another AirPlay session is active.");

std::vector<json> events_of(const std::vector<json>& lines) {
  std::vector<json> events;
  for (const auto& line : lines) {
    if (line.value("type", "") == "event") events.push_back(line);
  }
  return events;
}

std::vector<StateStep> state_steps(const std::vector<json>& lines) {
  std::vector<StateStep> steps;
  for (const auto& line : lines) {
    if (is_event(line, "sessionState")) {
      steps.emplace_back(line["payload"]["state"], line["payload"]["reason"]);
    }
  }
  return steps;
}

std::ptrdiff_t index_of(const std::vector<json>& lines,
                        const std::function<bool(const json&)>& is) {
  for (std::size_t i = 0; i < lines.size(); ++i) {
    if (is(lines[i])) return static_cast<std::ptrdiff_t>(i);
  }
  return -1;
}

// The response with this request id, or null.
json find_response(const std::vector<json>& lines, const std::string& id) {
  const std::ptrdiff_t at = index_of(lines, [&](const json& l) { return is_response(l, id); });
  return at < 0 ? json() : lines[static_cast<std::size_t>(at)];
}

// Playing, then the end the test lets happen (the gate) or a stop request.
SessionError play_until_gate(SessionShared& shared, Gate& gate, TransitionReason end,
                             SessionError result) {
  if (const engine::SessionStatus started = engine::mark_startup_complete(shared); !started) {
    return started.error();
  }
  engine::merge_stream_summary(shared, {.packetsPrepared = 12, .packetsSent = 10});
  if (end == TransitionReason::stop_requested) {
    wait_for_stop(shared);
  } else {
    (void)gate.wait(kPatience);
  }
  if (end == TransitionReason::duration_elapsed) engine::begin_draining(shared, end);
  engine::record_end_reason(shared, end);
  return result;
}

enum class Ending { by_itself, stop_while_starting, stop_while_playing, drop_last_owner };

struct LifeCase {
  const char* name;
  GatedScript script;
  Ending ending;
  std::vector<StateStep> states;
  json terminal;  // the members besides sessionId, metrics and shutdownEvidence
};

std::vector<LifeCase> life_cases() {
  using enum TransitionReason;
  const SessionError ok = SessionError::success();
  return {
      {"ends by itself",
       [=](SessionShared& s, Gate& g) { return play_until_gate(s, g, end_of_stream, ok); },
       Ending::by_itself,
       {{"starting", "start_requested"},
        {"playing", "startup_complete"},
        {"stopping", "end_of_stream"},
        {"stopped", "cleanup_complete"}},
       {{"outcome", "completed"}, {"reason", "end_of_stream"}}},
      {"drains when its duration elapses",
       [=](SessionShared& s, Gate& g) { return play_until_gate(s, g, duration_elapsed, ok); },
       Ending::by_itself,
       {{"starting", "start_requested"},
        {"playing", "startup_complete"},
        {"draining", "duration_elapsed"},
        {"stopping", "duration_elapsed"},
        {"stopped", "cleanup_complete"}},
       {{"outcome", "completed"}, {"reason", "duration_elapsed"}}},
      {"stopped while starting",
       [](SessionShared& s, Gate&) {
         wait_for_stop(s);
         return session_result_of(
             engine::mark_startup_complete(s));  // cancelled: the stop came first
       },
       Ending::stop_while_starting,
       {{"starting", "start_requested"},
        {"stopping", "stop_requested"},
        {"stopped", "cleanup_complete"}},
       {{"outcome", "failed"}, {"error", kCancelled}}},
      {"stopped while playing",
       [=](SessionShared& s, Gate& g) { return play_until_gate(s, g, stop_requested, ok); },
       Ending::stop_while_playing,
       {{"starting", "start_requested"},
        {"playing", "startup_complete"},
        {"stopping", "stop_requested"},
        {"stopped", "cleanup_complete"}},
       {{"outcome", "completed"}, {"reason", "stop_requested"}}},
      {"last owner dropped while playing",
       [=](SessionShared& s, Gate& g) { return play_until_gate(s, g, stop_requested, ok); },
       Ending::drop_last_owner,
       {{"starting", "start_requested"},
        {"playing", "startup_complete"},
        {"stopping", "last_owner_dropped"},
        {"stopped", "cleanup_complete"}},
       {{"outcome", "completed"}, {"reason", "stop_requested"}}},
      {"fails while playing",
       [=](SessionShared& s, Gate& g) {
         return play_until_gate(
             s, g, end_of_stream,
             {SessionErrorKind::stream_failed, SessionStage::stream_worker, true});
       },
       Ending::by_itself,
       {{"starting", "start_requested"},
        {"playing", "startup_complete"},
        {"failed", "failure"},
        {"stopping", "failure"},
        {"stopped", "cleanup_complete"}},
       {{"outcome", "failed"},
        {"error",
         error_object("stream_failed", "stream_worker", true, "Audio streaming failed.")}}},
      {"fails while starting",
       [](SessionShared&, Gate&) {
         return SessionError{SessionErrorKind::pairing_failed, SessionStage::pairing, true};
       },
       Ending::by_itself,
       {{"starting", "start_requested"},
        {"failed", "failure"},
        {"stopping", "failure"},
        {"stopped", "cleanup_complete"}},
       {{"outcome", "failed"},
        {"error",
         error_object("pairing_failed", "pairing", false, "Pairing with the receiver failed.")}}},
  };
}

bool has_state(const std::vector<StateStep>& steps, const std::string& state) {
  for (const auto& step : steps) {
    if (step.first == state) return true;
  }
  return false;
}

// Ends the session as the case says; the request id of the stop response, if there is one.
std::optional<std::string> end_session(ShellHarness& shell, const LifeCase& c, Gate& gate) {
  switch (c.ending) {
    case Ending::by_itself:
      if (has_state(c.states, "playing")) shell.wait_for_state("playing");
      gate.open();
      shell.wait_for_event("terminal");
      shell.reap_when_acknowledged();
      return std::nullopt;
    case Ending::stop_while_starting:
      EXPECT_EQ(shell.run(command("stopSession", "{}", "stop")), DispatchOutcome::keep_running);
      return "stop";
    case Ending::stop_while_playing:
      shell.wait_for_state("playing");
      EXPECT_EQ(shell.run(command("stopSession", "{}", "stop")), DispatchOutcome::keep_running);
      return "stop";
    case Ending::drop_last_owner: {
      shell.wait_for_state("playing");
      // The pump handle is kept out of the drop (which would release it) so the test can join it.
      auto pump = std::move(shell.slot()->pump);
      shell.slot()->pump.reset();
      drop_active_session(std::move(*shell.slot()));
      shell.slot().reset();
      shell.wait_for_event("terminal");
      if (pump) {
        EXPECT_TRUE(pump->join());
      }
      return std::nullopt;
    }
  }
  return std::nullopt;
}

TEST(SessionCommands, WhatTheHostSeesOfASessionsLife) {
  for (const LifeCase& c : life_cases()) {
    SCOPED_TRACE(c.name);
    auto gate = std::make_shared<Gate>();
    ShellHarness shell(gated_starter(c.script, gate));
    ASSERT_EQ(shell.run(start_command("start")), DispatchOutcome::keep_running);
    const std::optional<std::string> stop_id = end_session(shell, c, *gate);
    EXPECT_FALSE(shell.slot().has_value());

    const std::vector<json> lines =
        stop_id ? shell.wait_for_response(*stop_id) : shell.wait_for_event("terminal");
    ASSERT_FALSE(lines.empty());
    // "accepted" comes before any line of the session.
    EXPECT_EQ(lines[0], build_success_response("start", {{"accepted", true}}));
    EXPECT_EQ(state_steps(lines), c.states);

    const std::vector<json> events = events_of(lines);
    ASSERT_FALSE(events.empty());
    const json session_id = events[0]["payload"]["sessionId"];
    ASSERT_TRUE(session_id.is_string());
    EXPECT_EQ(session_id.get<std::string>().size(), 36U);
    for (const auto& event : events) {
      EXPECT_EQ(event["payload"]["sessionId"], session_id);
    }

    const std::ptrdiff_t terminal_at =
        index_of(lines, [](const json& l) { return is_event(l, "terminal"); });
    ASSERT_GE(terminal_at, 0);
    json terminal = lines[terminal_at]["payload"];
    const json metrics = terminal["metrics"];
    EXPECT_EQ(metrics.size(), 29U);
    EXPECT_EQ(terminal["shutdownEvidence"].size(), 4U);
    for (const char* key : {"sessionId", "metrics", "shutdownEvidence"}) terminal.erase(key);
    EXPECT_EQ(terminal, c.terminal);
    if (has_state(c.states, "playing")) {
      EXPECT_EQ(metrics["packetsSent"], 10);
    }

    // A failed session's "error" comes right before its "terminal", with the same object.
    const std::ptrdiff_t error_at =
        index_of(lines, [](const json& l) { return is_event(l, "error"); });
    if (c.terminal["outcome"] == "failed") {
      EXPECT_EQ(error_at, terminal_at - 1);
      if (error_at >= 0) {
        EXPECT_EQ(lines[error_at]["payload"]["error"], c.terminal["error"]);
      }
    } else {
      EXPECT_EQ(error_at, -1);
    }
    // No "metrics" line after the terminal that supersedes it.
    for (std::size_t i = static_cast<std::size_t>(terminal_at) + 1; i < lines.size(); ++i) {
      EXPECT_FALSE(is_event(lines[i], "metrics"));
    }

    if (stop_id) {
      // The stop response is the last line, after "terminal".
      const std::ptrdiff_t response_at =
          index_of(lines, [&](const json& l) { return is_response(l, *stop_id); });
      EXPECT_EQ(response_at, static_cast<std::ptrdiff_t>(lines.size()) - 1);
      EXPECT_GT(response_at, terminal_at);
      if (response_at >= 0) {
        json response = lines[response_at];
        if (c.terminal["outcome"] == "completed") {
          EXPECT_EQ(response["result"], (json{{"stopped", true}, {"metrics", metrics}}));
        } else {
          EXPECT_EQ(response["error"], c.terminal["error"]);
        }
      }
    } else {
      EXPECT_EQ(static_cast<std::size_t>(terminal_at), lines.size() - 1);
    }
  }
}

TEST(SessionCommands, SecondStartIsBusyUntilTheFirstIsReaped) {
  auto gate = std::make_shared<Gate>();
  ShellHarness shell(gated_starter(
      [](SessionShared& s, Gate& g) {
        return play_until_gate(s, g, TransitionReason::end_of_stream, SessionError::success());
      },
      gate));
  ASSERT_EQ(shell.run(start_command("a")), DispatchOutcome::keep_running);
  shell.wait_for_state("playing");

  const std::string bad_address = R"({"device":{"stableId":"s","displayName":"d",)"
                                  R"("addresses":["1.2.3.001"],"port":1},)"
                                  R"("audioSource":["windowsDefaultOutput"],"initialVolume":0})";
  shell.run(start_command("b"));
  shell.run(command("startSession", bad_address, "c"));        // busy comes before the conversion
  shell.run(command("startSession", R"({"device":7})", "d"));  // decoding comes first of all
  gate->open();
  shell.wait_for_event("terminal");
  shell.run(start_command("e"));  // stopped, but still in the slot
  shell.reap_when_acknowledged();
  shell.run(start_command("f"));

  const auto lines = shell.wait_for_response("f");
  const auto response = [&](const std::string& id) { return find_response(lines, id); };
  EXPECT_EQ(response("b")["error"], kBusy);
  EXPECT_EQ(response("c")["error"], kBusy);
  EXPECT_EQ(response("d")["error"], protocol_error_to_json(protocol_errors::kInvalidPayload));
  EXPECT_EQ(response("e")["error"], kBusy);
  EXPECT_EQ(response("f")["result"], (json{{"accepted", true}}));
}

TEST(SessionCommands, StartRefusedByTheLeaseIsBusyToo) {
  ShellHarness shell;
  auto other = engine::start_session_with_runner(
      engine::testing::valid_config(), engine::testing::scripted([](SessionShared& s) {
        wait_for_stop(s);
        return session_result_of(engine::mark_startup_complete(s));
      }));
  ASSERT_TRUE(other);
  shell.run(start_command("busy"));
  (void)engine::stop_and_wait_session(other->handle);
  const auto lines = shell.wait_for_response("busy");
  ASSERT_EQ(lines.size(), 1U);
  EXPECT_EQ(member_of(lines[0], "error"), kBusy);
  EXPECT_FALSE(shell.slot().has_value());
}

TEST(SessionCommands, GetStateShowsTheIdOnceThePumpHandledTheFirstState) {
  ShellHarness shell;
  auto gate = std::make_shared<Gate>();
  auto started = engine::start_session_with_runner(
      engine::testing::valid_config(), engine::testing::scripted([gate](SessionShared& s) {
        (void)gate->wait(kPatience);
        return play_until_gate(s, *gate, TransitionReason::stop_requested, SessionError::success());
      }));
  ASSERT_TRUE(started);
  // What startSession does, with the start signal held back.
  auto snapshot = std::make_shared<SessionSnapshot>();
  auto [start_sender, start_receiver] = support::unbounded_channel<PumpStartSignal>();
  auto [ack_sender, ack_receiver] = support::unbounded_channel<TerminalAcknowledged>();
  auto pump = spawn_event_pump(std::move(start_receiver), std::move(started->events),
                               shell.context().queue, snapshot, std::move(ack_sender));
  ASSERT_TRUE(pump);
  shell.slot().emplace(ActiveSession{std::move(ack_receiver), std::move(started->handle), snapshot,
                                     std::move(*pump)});

  const auto session_of = [&](const std::string& id) {
    shell.run(command("getState", "{}", id));
    json response = find_response(shell.wait_for_response(id), id);
    EXPECT_EQ(response["result"]["state"], "active");
    return response["result"]["session"];
  };

  const json before = session_of("before");
  EXPECT_EQ(before["sessionId"], nullptr);
  EXPECT_EQ(before["state"], "starting");
  EXPECT_EQ(before["metrics"].size(), 29U);
  EXPECT_EQ(events_of(shell.lines()).size(), 0U);

  ASSERT_TRUE(start_sender.send({}));
  const auto lines = shell.wait_for_event("sessionState");
  const json first_state = events_of(lines).at(0);
  const json after = session_of("after");
  EXPECT_EQ(after["sessionId"], first_state["payload"]["sessionId"]);
  EXPECT_EQ(after["state"], "starting");

  // State and metrics are read live from the session.
  gate->open();
  shell.wait_for_event("metrics");
  const json live = session_of("live");
  EXPECT_EQ(live["state"], "playing");
  EXPECT_EQ(live["metrics"]["packetsSent"], 10);
  EXPECT_EQ(live["sessionId"], first_state["payload"]["sessionId"]);
}

TEST(SessionCommands, SetVolume) {
  auto gate = std::make_shared<Gate>();
  ShellHarness shell(gated_starter(
      [](SessionShared& s, Gate& g) {
        return play_until_gate(s, g, TransitionReason::end_of_stream, SessionError::success());
      },
      gate));
  shell.run(start_command());
  shell.wait_for_state("playing");
  const std::shared_ptr<SessionShared> kept = shell.slot()->handle.shared();
  SessionShared& shared = *kept;

  struct Case {
    const char* payload;
    const char* answer;  // the response's result or error, as JSON text
    float volume_after;
  };
  const std::string config_error =
      R"({"code":"config_error","retryable":false,"safeMessage":"The session configuration is invalid.","stage":"set_volume"})";
  const Case cases[] = {
      {R"({"volume":0.3})", R"({"volume":0.30000001192092896})", 0.3F},
      {R"({"volume":1.5})", config_error.c_str(), 0.3F},
      {R"({"volume":1e39})", config_error.c_str(), 0.3F},
      {R"({"volume":-0.01})", config_error.c_str(), 0.3F},
      {R"({"volume":1})", R"({"volume":1.0})", 1.0F},
      {R"({"volume":0})", R"({"volume":0.0})", 0.0F},
  };
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.payload);
    const std::string id = "v" + std::to_string(n++);
    const std::uint64_t generation = shared.volume_generation.load();
    shell.run(command("setVolume", c.payload, id));
    json response = find_response(shell.wait_for_response(id), id);
    EXPECT_EQ(
        serialize_json_line(response.value("ok", false) ? response["result"] : response["error"]),
        c.answer);
    EXPECT_EQ(shared.volume.load(), c.volume_after);
    EXPECT_EQ(shared.volume_generation.load(), generation + (response["ok"] == true ? 1 : 0));
  }

  // Once the session has stopped, even before it is reaped, the volume is refused as cancelled.
  gate->open();
  shell.wait_for_event("terminal");
  shell.run(command("setVolume", R"({"volume":0.5})", "late"));
  const auto lines = shell.wait_for_response("late");
  EXPECT_EQ(member_of(lines.back(), "error"), kCancelled);
  EXPECT_EQ(shared.volume.load(), 0.0F);
}

TEST(SessionCommands, ShutdownStopsTheSessionFirst) {
  struct Case {
    const char* name;
    bool playing;
    DispatchOutcome outcome;
  };
  for (const Case& c : {Case{"playing", true, DispatchOutcome::shutdown_clean},
                        Case{"still starting", false, DispatchOutcome::shutdown_not_clean}}) {
    SCOPED_TRACE(c.name);
    ShellHarness shell(stop_waiting_starter(c.playing));
    shell.run(start_command());
    if (c.playing) shell.wait_for_state("playing");
    EXPECT_EQ(shell.run(command("shutdown", "{}", "down")), c.outcome);
    EXPECT_FALSE(shell.slot().has_value());
    const auto lines = shell.wait_for_response("down");
    ASSERT_GE(lines.size(), 2U);
    EXPECT_TRUE(is_event(lines[lines.size() - 2], "terminal"));
    if (c.playing) {
      EXPECT_EQ(member_of(lines.back(), "result"), (json{{"shuttingDown", true}}));
    } else {
      EXPECT_EQ(member_of(lines.back(), "error"), kCancelled);
    }
  }
}

TEST(SessionCommands, EventPumpThatCannotStartLeavesNoSession) {
  std::atomic<bool> stop_seen{false};
  ShellHarness shell(scripted_starter([&stop_seen](SessionShared& s) {
    wait_for_stop(s);
    stop_seen = s.stop_requested.load();
    return session_result_of(engine::mark_startup_complete(s));
  }));
  support::inject_spawn_failure_for_testing(kCoreEventsThreadName);
  shell.run(start_command("fails"));
  support::inject_spawn_failure_for_testing("");
  EXPECT_FALSE(shell.slot().has_value());
  EXPECT_TRUE(stop_seen);
  EXPECT_FALSE(engine::SessionLease::is_taken());

  shell.run(command("getState", "{}", "idle"));
  const auto lines = shell.wait_for_response("idle");
  ASSERT_EQ(lines.size(), 2U);  // none of the session's events got out
  EXPECT_EQ(lines[0], build_protocol_error_response("fails", protocol_errors::kEventPumpFailed));
  EXPECT_EQ(member_of(lines[1], "result"), (json{{"state", "idle"}, {"session", nullptr}}));
}

TEST(SessionCommands, AcceptedResponseRefusedStopsTheSession) {
  std::atomic<bool> stop_seen{false};
  ShellHarness shell(scripted_starter([&stop_seen](SessionShared& s) {
    wait_for_stop(s);
    stop_seen = s.stop_requested.load();
    return session_result_of(engine::mark_startup_complete(s));
  }));
  shell.queue().finish();
  EXPECT_EQ(shell.run(start_command()), DispatchOutcome::keep_running);
  EXPECT_FALSE(shell.slot().has_value());
  EXPECT_TRUE(stop_seen);
  EXPECT_FALSE(engine::SessionLease::is_taken());
}

}  // namespace
}  // namespace kestrune::shell
