#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <limits>
#include <string>
#include <variant>

#include "engine/core/session_handle.hpp"
#include "engine/core/session_lease.hpp"
#include "engine/core/session_report_merge.hpp"
#include "engine/core/session_start.hpp"
#include "support/thread.hpp"
#include "support/thread_testing.hpp"
#include "tests/support/scripted_session.hpp"
#include "tests/support/session_result.hpp"
#include "tests/support/wait_until.hpp"

namespace kestrune::engine {
namespace {

using namespace std::chrono_literals;
using kestrune::testing::wait_until;
using testing::read_until_state;
using testing::read_until_terminal;
using testing::scripted;
using testing::SeenEvents;
using testing::valid_config;
using testing::wait_for_stop;

using StateStep = std::pair<SessionState, TransitionReason>;

enum class Ending { by_itself, stop_while_starting, stop_while_playing, drop_last_owner };

struct LifeCase {
  const char* name;
  testing::Script script;
  Ending ending;
  std::vector<StateStep> states;
  SessionError terminal_error;
  TransitionReason terminal_reason;  // when completed
};

SessionError playing_then(SessionShared& shared, TransitionReason end, SessionError result) {
  if (const SessionStatus started = mark_startup_complete(shared); !started) {
    return started.error();
  }
  if (end == TransitionReason::stop_requested) wait_for_stop(shared);
  record_end_reason(shared, end);
  merge_stream_summary(shared, {.packetsPrepared = 12, .packetsSent = 10});
  return result;
}

std::vector<LifeCase> life_cases() {
  using enum SessionState;
  using enum TransitionReason;
  const SessionError ok = SessionError::success();
  const SessionError cancelled =
      SessionError::of(SessionErrorKind::cancelled, SessionStage::shutdown);
  const SessionError internal =
      SessionError::of(SessionErrorKind::internal_error, SessionStage::internal);
  const SessionError stream_failed = {SessionErrorKind::stream_failed, SessionStage::stream_worker,
                                      true};
  const SessionError network =
      SessionError::of(SessionErrorKind::network_error, SessionStage::pairing);
  const SessionError setup =
      SessionError::of(SessionErrorKind::setup_failed, SessionStage::setup_phase1);
  return {
      {"ends by itself",
       [=](SessionShared& s) { return playing_then(s, end_of_stream, ok); },
       Ending::by_itself,
       {{starting, start_requested},
        {playing, startup_complete},
        {stopping, end_of_stream},
        {stopped, cleanup_complete}},
       ok,
       end_of_stream},
      {"drains when its duration elapses",
       [=](SessionShared& s) {
         if (!mark_startup_complete(s)) return internal;
         begin_draining(s, duration_elapsed);
         begin_draining(s, stop_requested);  // already draining: nothing
         record_end_reason(s, duration_elapsed);
         record_end_reason(s, end_of_stream);  // the first reason stays
         return ok;
       },
       Ending::by_itself,
       {{starting, start_requested},
        {playing, startup_complete},
        {draining, duration_elapsed},
        {stopping, duration_elapsed},
        {stopped, cleanup_complete}},
       ok,
       duration_elapsed},
      {"stopped while starting",
       [=](SessionShared& s) {
         wait_for_stop(s);
         begin_draining(s, stop_requested);  // not playing: nothing
         if (!mark_startup_complete(s)) return cancelled;
         return internal;
       },
       Ending::stop_while_starting,
       {{starting, start_requested}, {stopping, stop_requested}, {stopped, cleanup_complete}},
       cancelled,
       stop_requested},
      {"stopped while playing",
       [=](SessionShared& s) { return playing_then(s, stop_requested, ok); },
       Ending::stop_while_playing,
       {{starting, start_requested},
        {playing, startup_complete},
        {stopping, stop_requested},
        {stopped, cleanup_complete}},
       ok,
       stop_requested},
      {"last owner dropped while playing",
       [=](SessionShared& s) { return playing_then(s, stop_requested, ok); },
       Ending::drop_last_owner,
       {{starting, start_requested},
        {playing, startup_complete},
        {stopping, last_owner_dropped},
        {stopped, cleanup_complete}},
       ok,
       stop_requested},
      {"fails while playing",
       [=](SessionShared& s) { return playing_then(s, end_of_stream, stream_failed); },
       Ending::by_itself,
       {{starting, start_requested},
        {playing, startup_complete},
        {failed, failure},
        {stopping, failure},
        {stopped, cleanup_complete}},
       stream_failed,
       stop_requested},
      {"fails while starting",
       [=](SessionShared&) { return network; },
       Ending::by_itself,
       {{starting, start_requested},
        {failed, failure},
        {stopping, failure},
        {stopped, cleanup_complete}},
       network,
       stop_requested},
      {"fails while starting after a stop request",
       [=](SessionShared& s) {
         wait_for_stop(s);
         return setup;
       },
       Ending::stop_while_starting,
       {{starting, start_requested}, {stopping, failure}, {stopped, cleanup_complete}},
       setup,
       stop_requested},
      {"cancelled after playing",
       [=](SessionShared& s) { return playing_then(s, stop_requested, cancelled); },
       Ending::stop_while_playing,
       {{starting, start_requested},
        {playing, startup_complete},
        {failed, failure},
        {stopping, stop_requested},
        {stopped, cleanup_complete}},
       cancelled,
       stop_requested},
      {"success without startup",
       [=](SessionShared&) { return ok; },
       Ending::by_itself,
       {{starting, start_requested},
        {failed, failure},
        {stopping, failure},
        {stopped, cleanup_complete}},
       internal,
       stop_requested},
      {"runner ends its thread",
       [=](SessionShared& s) -> SessionError {
         (void)mark_startup_complete(s);
         support::end_thread("RTSP lock poisoned");
       },
       Ending::by_itself,
       {{starting, start_requested},
        {playing, startup_complete},
        {failed, failure},
        {stopping, failure},
        {stopped, cleanup_complete}},
       internal,
       stop_requested},
  };
}

TEST(SessionLifecycle, StateSequencesOutcomesAndTerminalRecords) {
  for (LifeCase& c : life_cases()) {
    SCOPED_TRACE(c.name);
    auto started = start_session_with_runner(valid_config(), scripted(c.script));
    ASSERT_TRUE(started) << wire_name(started.error().code);
    SessionHandle handle = std::move(started->handle);
    SessionEventSource events = std::move(started->events);
    std::shared_ptr<SessionShared> shared = handle.shared();

    SeenEvents seen;
    SessionOutcome outcome = std::unexpected(SessionError::success());
    switch (c.ending) {
      case Ending::by_itself:
        outcome = wait_and_join_session(handle);
        break;
      case Ending::stop_while_starting:
        outcome = stop_and_wait_session(handle);
        break;
      case Ending::stop_while_playing:
        read_until_state(events, seen, SessionState::playing);
        outcome = stop_and_wait_session(handle);
        break;
      case Ending::drop_last_owner:
        read_until_state(events, seen, SessionState::playing);
        drop_session_handle(handle);
        EXPECT_FALSE(handle.shared());
        outcome = wait_session_outcome(*shared);
        break;
    }
    read_until_terminal(events, seen);

    std::vector<StateStep> states;
    for (const auto& event : seen.states) {
      states.emplace_back(event.state, event.reason);
      EXPECT_EQ(event.session_id, shared->mailbox->session_id);
    }
    EXPECT_EQ(states, c.states);

    ASSERT_TRUE(seen.terminal.has_value());
    EXPECT_EQ(seen.terminal->error, c.terminal_error);
    EXPECT_EQ(seen.terminal->session_id, shared->mailbox->session_id);
    if (c.terminal_error.is_success()) {
      EXPECT_EQ(seen.terminal->reason, c.terminal_reason);
      ASSERT_TRUE(outcome.has_value());
      EXPECT_EQ(*outcome, seen.terminal->report);
    } else {
      ASSERT_FALSE(outcome.has_value());
      EXPECT_EQ(outcome.error(), c.terminal_error);
    }
    EXPECT_EQ(snapshot_session_report(*shared), seen.terminal->report);
    EXPECT_EQ(current_session_state(*shared), SessionState::stopped);
    EXPECT_FALSE(SessionLease::is_taken());
    EXPECT_TRUE(is_no_event(wait_session_event(events, 10s)));
  }
}

TEST(SessionStart, OneSessionAtATimeUntilTheCoordinatorGivesTheLeaseBack) {
  auto first = start_session_with_runner(valid_config(), scripted([](SessionShared& s) {
                                           wait_for_stop(s);
                                           return SessionError::of(SessionErrorKind::cancelled,
                                                                   SessionStage::shutdown);
                                         }));
  ASSERT_TRUE(first);

  auto second = start_session_with_runner(
      valid_config(), scripted([](SessionShared&) { return SessionError::success(); }));
  ASSERT_FALSE(second);
  EXPECT_EQ(second.error(),
            SessionError(SessionErrorKind::session_busy, SessionStage::acquire_lease, false));

  SessionConfig invalid = valid_config();
  invalid.port = 0;
  auto refused = start_session_with_runner(
      invalid, scripted([](SessionShared&) { return SessionError::success(); }));
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error().code, SessionErrorKind::config_error);  // checked before the lease

  (void)stop_and_wait_session(first->handle);
  EXPECT_FALSE(SessionLease::is_taken());
  auto third = start_session_with_runner(
      valid_config(), scripted([](SessionShared&) { return SessionError::success(); }));
  ASSERT_TRUE(third);
  (void)wait_and_join_session(third->handle);
}

// The gate opens only once the coordinator's join handle is stored, so a runner (or anything it
// starts) can always find it there.
TEST(SessionStart, CoordinatorRunsOnlyOnceItsJoinHandleIsStored) {
  for (int i = 0; i < 20; ++i) {
    std::atomic<bool> stored{false};
    auto started = start_session_with_runner(
        valid_config(), scripted([&](SessionShared& s) {
          stored = s.coordinator.lock()->has_value();
          return SessionError::of(SessionErrorKind::network_error, SessionStage::pairing);
        }));
    ASSERT_TRUE(started);
    (void)wait_and_join_session(started->handle);
    EXPECT_TRUE(stored) << "start " << i;
  }
}

TEST(SessionStates, OnlyAPlayingSessionBeginsDraining) {
  using enum SessionState;
  for (const SessionState from : {starting, playing, draining, failed, stopping, stopped}) {
    SCOPED_TRACE(wire_name(from));
    auto shared = make_session_shared(SessionId{}, 1.0f);
    SessionEventSource events(shared);
    *shared->state.lock() = from;
    begin_draining(*shared, TransitionReason::duration_elapsed);
    const SessionEvent event = poll_session_event(events);
    if (from == playing) {
      EXPECT_EQ(current_session_state(*shared), draining);
      ASSERT_TRUE(std::holds_alternative<SessionStateEvent>(event));
      EXPECT_EQ(std::get<SessionStateEvent>(event).state, draining);
      EXPECT_EQ(std::get<SessionStateEvent>(event).reason, TransitionReason::duration_elapsed);
    } else {
      EXPECT_EQ(current_session_state(*shared), from);
      EXPECT_TRUE(is_no_event(event));
    }
  }
}

TEST(SessionStart, CoordinatorSpawnFailureGivesTheLeaseBack) {
  bool ran = false;
  support::inject_spawn_failure_for_testing(kCoordinatorThreadName);
  auto started = start_session_with_runner(valid_config(), scripted([&](SessionShared&) {
                                             ran = true;
                                             return SessionError::success();
                                           }));
  support::inject_spawn_failure_for_testing("");
  ASSERT_FALSE(started);
  EXPECT_EQ(started.error(),
            SessionError(SessionErrorKind::internal_error, SessionStage::start_coordinator, false));
  EXPECT_FALSE(SessionLease::is_taken());
  EXPECT_FALSE(ran);
}

TEST(SessionStart, InvalidConfigurationCreatesNothing) {
  SessionConfig config = valid_config();
  config.displayName = " \t";
  auto started = start_session_with_runner(
      config, scripted([](SessionShared&) { return SessionError::success(); }));
  ASSERT_FALSE(started);
  EXPECT_EQ(started.error(),
            SessionError(SessionErrorKind::config_error, SessionStage::validate_config, false));
  EXPECT_FALSE(SessionLease::is_taken());
}

TEST(Coordinator, ClosedStartGateEndsItWithoutRunning) {
  bool ran = false;
  auto shared = make_session_shared(SessionId{}, 1.0f);
  auto [gate_sender, gate_receiver] = support::channel<StartSignal>(0);
  gate_sender.close();
  run_coordinator({valid_config(), std::move(gate_receiver), scripted([&](SessionShared&) {
                     ran = true;
                     return SessionError::success();
                   }),
                   shared});
  EXPECT_FALSE(ran);
  EXPECT_FALSE(shared->outcome.lock()->has_value());
  EXPECT_EQ(current_session_state(*shared), SessionState::starting);
}

TEST(Coordinator, JoiningItselfOnlyLetsGoOfTheHandle) {
  auto started = start_session_with_runner(
      valid_config(), scripted([](SessionShared& s) {
        join_coordinator(s);
        return SessionError::of(SessionErrorKind::network_error, SessionStage::pairing);
      }));
  ASSERT_TRUE(started);
  std::shared_ptr<SessionShared> shared = started->handle.shared();
  const SessionOutcome outcome = wait_and_join_session(started->handle);
  ASSERT_FALSE(outcome);
  EXPECT_EQ(outcome.error().code, SessionErrorKind::network_error);
  EXPECT_FALSE(shared->coordinator.lock()->has_value());
  // The detached coordinator lets go of the shared state as its last act.
  (void)wait_until([&] { return shared.use_count() <= 3; }, 10s);
  EXPECT_EQ(shared.use_count(), 3);  // this test, the handle and the event source
}

TEST(SessionHandle, DropOfAnOverrunSessionReportsTheDeadlineOnce) {
  auto started = start_session_with_runner(
      valid_config(), scripted([](SessionShared& s) {
        (void)mark_startup_complete(s);
        wait_for_stop(s);
        return SessionError::of(SessionErrorKind::shutdown_timeout, SessionStage::shutdown);
      }));
  ASSERT_TRUE(started);
  SeenEvents seen;
  read_until_state(started->events, seen, SessionState::playing);
  ::testing::internal::CaptureStderr();
  drop_session_handle(started->handle);
  drop_session_handle(started->handle);  // a second drop does nothing
  const std::string err = ::testing::internal::GetCapturedStderr();
  const std::string line = "error[core_shutdown]: shutdown deadline exceeded\n";
  EXPECT_EQ(err, line);
  read_until_terminal(started->events, seen);
  ASSERT_TRUE(seen.terminal);
  EXPECT_EQ(seen.terminal->error.code, SessionErrorKind::shutdown_timeout);
  ASSERT_EQ(seen.states.size(), 5u);
  EXPECT_EQ(seen.states[2].state, SessionState::failed);
  EXPECT_EQ(seen.states[3].state, SessionState::stopping);
  EXPECT_EQ(seen.states[3].reason, TransitionReason::last_owner_dropped);
}

TEST(SessionHandle, DropAfterThePublishedOutcomeNeitherStopsNorJoins) {
  auto started = start_session_with_runner(
      valid_config(), scripted([](SessionShared& s) {
        (void)mark_startup_complete(s);
        return SessionError::of(SessionErrorKind::shutdown_timeout, SessionStage::shutdown);
      }));
  ASSERT_TRUE(started);
  std::shared_ptr<SessionShared> shared = started->handle.shared();
  (void)wait_session_outcome(*shared);
  ::testing::internal::CaptureStderr();
  drop_session_handle(started->handle);
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
  EXPECT_FALSE(shared->stop_requested);
  EXPECT_TRUE(shared->coordinator.lock()->has_value());
  join_coordinator(*shared);
  join_coordinator(*shared);
  EXPECT_FALSE(shared->coordinator.lock()->has_value());
}

TEST(SessionHandle, HandleThatIsNoOwnerStopsNothing) {
  auto shared = make_session_shared(SessionId{}, 1.0f);
  {
    SessionHandle observer(shared);
    SessionHandle moved = std::move(observer);
    EXPECT_FALSE(moved.is_owner());
  }
  EXPECT_FALSE(shared->stop_requested);
  EXPECT_EQ(shared->owner_count, 1u);
}

TEST(SessionHandle, VolumeIsCheckedAndRefusedOnceStopped) {
  constexpr float kNan = std::numeric_limits<float>::quiet_NaN();
  constexpr float kInf = std::numeric_limits<float>::infinity();
  auto shared = make_session_shared(SessionId{}, 0.5f);
  SessionHandle handle(shared);
  const SessionError bad_value = {SessionErrorKind::config_error, SessionStage::set_volume, false};
  const SessionError stopped = {SessionErrorKind::cancelled, SessionStage::set_volume, false};
  struct Case {
    SessionState state;
    float volume;
    SessionError result;
  };
  const Case cases[] = {
      {SessionState::starting, 0.3f, SessionError::success()},
      {SessionState::playing, 0.0f, SessionError::success()},
      {SessionState::playing, -0.0f, SessionError::success()},
      {SessionState::playing, 1.0f, SessionError::success()},
      {SessionState::playing, 1.5f, bad_value},
      {SessionState::playing, -0.1f, bad_value},
      {SessionState::playing, kNan, bad_value},
      {SessionState::playing, kInf, bad_value},
      {SessionState::failed, 0.7f, SessionError::success()},
      {SessionState::stopping, 0.2f, SessionError::success()},
      {SessionState::stopped, 0.9f, stopped},
      {SessionState::stopped, kNan, bad_value},
  };
  for (const Case& c : cases) {
    *shared->state.lock() = c.state;
    const float volume_before = shared->volume;
    const std::uint64_t generation_before = shared->volume_generation;
    EXPECT_EQ(kestrune::testing::session_result_of(set_session_volume(handle, c.volume)), c.result)
        << wire_name(c.state) << " " << c.volume;
    if (c.result.is_success()) {
      EXPECT_EQ(shared->volume, c.volume);
      EXPECT_EQ(shared->volume_generation, generation_before + 1);
    } else {
      EXPECT_EQ(shared->volume, volume_before);
      EXPECT_EQ(shared->volume_generation, generation_before);
    }
  }
}

TEST(SessionHandle, OperationsOnAnEmptyHandleDoNothing) {
  SessionHandle empty;
  EXPECT_EQ(session_state(empty), SessionState::stopped);
  EXPECT_EQ(set_session_volume(empty, 0.5f).error().code, SessionErrorKind::cancelled);
  EXPECT_FALSE(stop_and_wait_session(empty));
  EXPECT_EQ(session_report_snapshot(empty), SessionReport{});
  drop_session_handle(empty);
}

TEST(SessionHandle, StateAndReportAreReadLive) {
  auto started = start_session_with_runner(valid_config(), scripted([](SessionShared& s) {
                                             (void)mark_startup_complete(s);
                                             merge_stream_summary(s, {.packetsSent = 77});
                                             wait_for_stop(s);
                                             record_end_reason(s, TransitionReason::stop_requested);
                                             return SessionError::success();
                                           }));
  ASSERT_TRUE(started);
  SeenEvents seen;
  read_until_state(started->events, seen, SessionState::playing);
  EXPECT_EQ(session_state(started->handle), SessionState::playing);
  (void)wait_until(
      [&] { return session_report_snapshot(started->handle).metrics.packetsSent != 0; }, 10s);
  EXPECT_EQ(session_report_snapshot(started->handle).metrics.packetsSent, 77u);
  const SessionOutcome outcome = stop_and_wait_session(started->handle);
  ASSERT_TRUE(outcome);
  EXPECT_EQ(outcome->metrics.packetsSent, 77u);
  EXPECT_EQ(session_state(started->handle), SessionState::stopped);
}

}  // namespace
}  // namespace kestrune::engine
