#include "engine/core/session_mailbox.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <iterator>
#include <limits>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>

#include <unistd.h>

#include "engine/core/session_events.hpp"
#include "engine/core/session_report_merge.hpp"
#include "engine/core/session_shared.hpp"
#include "tests/support/wait_until.hpp"

namespace kestrune::engine {
namespace {

using namespace std::chrono_literals;
using kestrune::testing::wait_until;

constexpr SessionId kId = {1, 2, 3, 4, 5, 6, 0x47, 8, 0x89, 10, 11, 12, 13, 14, 15, 16};

SessionTerminalRecord terminal_record(TransitionReason reason = TransitionReason::stop_requested) {
  SessionTerminalRecord record;
  record.reason = reason;
  record.session_id = kId;
  return record;
}

// A session's shared state and the event pump's source on it, without any thread.
struct MailboxFixture : ::testing::Test {
  std::shared_ptr<SessionShared> shared = make_session_shared(kId, 0.5f);
  SessionEventSource source{shared};
  SessionMailbox& mailbox = *shared->mailbox;

  SessionEvent poll() { return poll_session_event(source); }

  void post(WarningCode code, SessionStage stage, bool retryable = false) {
    post_session_warning(*shared, code, stage, retryable);
  }

  // Every distinct key in a fixed order: code-major, stage-minor.
  static WarningKey key_number(std::size_t n) {
    return {static_cast<WarningCode>(n / 16), static_cast<SessionStage>(n % 16)};
  }

  bool doorbell_rang() { return mailbox.doorbell_receiver.try_recv().has_value(); }
};

// Holds the warning lock on another thread until released, as the event pump or a producer would.
class WarningLockHolder {
 public:
  explicit WarningLockHolder(SessionMailbox& mailbox)
      : thread_([this, &mailbox] {
          auto guard = mailbox.warnings.lock();
          held_ = true;
          (void)wait_until([this] { return release_.load(); }, 10s);
        }) {
    (void)wait_until([this] { return held_.load(); }, 10s);
  }
  ~WarningLockHolder() { release(); }
  void release() {
    release_ = true;
    if (thread_.joinable()) thread_.join();
  }

 private:
  std::atomic<bool> held_{false};
  std::atomic<bool> release_{false};
  std::thread thread_;
};

TEST_F(MailboxFixture, RepeatedWarningIsDeliveredOnceWithItsCountAndMergedRetryable) {
  post(WarningCode::optional_request_rejected, SessionStage::feedback, false);
  post(WarningCode::optional_request_rejected, SessionStage::feedback, true);
  post(WarningCode::optional_request_rejected, SessionStage::set_volume, false);

  const SessionEvent first = poll();
  ASSERT_TRUE(std::holds_alternative<SessionWarningEvent>(first));
  const auto& warning = std::get<SessionWarningEvent>(first);
  EXPECT_EQ(warning.code, WarningCode::optional_request_rejected);
  EXPECT_EQ(warning.stage, SessionStage::feedback);
  EXPECT_EQ(warning.occurrences, 2u);
  EXPECT_TRUE(warning.retryable);
  EXPECT_EQ(warning.session_id, kId);

  const SessionEvent second = poll();
  ASSERT_TRUE(std::holds_alternative<SessionWarningEvent>(second));
  EXPECT_EQ(std::get<SessionWarningEvent>(second).stage, SessionStage::set_volume);
  EXPECT_EQ(std::get<SessionWarningEvent>(second).occurrences, 1u);
  EXPECT_FALSE(std::get<SessionWarningEvent>(second).retryable);
  EXPECT_TRUE(is_no_event(poll()));

  const WarningCounters counters = read_warning_counters(mailbox);
  EXPECT_EQ(counters.coalesced, 1u);
  EXPECT_EQ(counters.overflowed, 0u);

  // Delivered keys are admitted afresh.
  post(WarningCode::optional_request_rejected, SessionStage::feedback, false);
  const SessionEvent again = poll();
  ASSERT_TRUE(std::holds_alternative<SessionWarningEvent>(again));
  EXPECT_EQ(std::get<SessionWarningEvent>(again).occurrences, 1u);
  EXPECT_FALSE(std::get<SessionWarningEvent>(again).retryable);
}

TEST_F(MailboxFixture, NewKeyRingsNoDoorbellButRefusalsDo) {
  post(WarningCode::retransmit_malformed, SessionStage::control);
  post(WarningCode::retransmit_malformed, SessionStage::control);
  EXPECT_FALSE(doorbell_rang());
  for (std::size_t n = 0; n + 1 < kMaxPendingWarningKeys; ++n) {  // fills the 16 keys
    post(key_number(n).code, key_number(n).stage);
  }
  EXPECT_FALSE(doorbell_rang());
  post(key_number(40).code, key_number(40).stage);
  EXPECT_TRUE(doorbell_rang());
}

TEST_F(MailboxFixture, SeventeenthKeyIsLostAndAnnouncedAfterTheSixteen) {
  for (std::size_t n = 0; n < kMaxPendingWarningKeys; ++n) {
    post(key_number(n).code, key_number(n).stage);
  }
  post(key_number(16).code, key_number(16).stage);
  post(key_number(3).code, key_number(3).stage);  // a pending key still coalesces

  WarningCounters counters = read_warning_counters(mailbox);
  EXPECT_EQ(counters.overflowed, 1u);
  EXPECT_EQ(counters.key_admission_failures, 1u);
  EXPECT_EQ(counters.coalesced, 1u);

  for (std::size_t n = 0; n < kMaxPendingWarningKeys; ++n) {
    const SessionEvent event = poll();
    ASSERT_TRUE(std::holds_alternative<SessionWarningEvent>(event)) << n;
    const auto& warning = std::get<SessionWarningEvent>(event);
    EXPECT_EQ(WarningKey(warning.code, warning.stage), key_number(n));
    EXPECT_EQ(warning.occurrences, n == 3 ? 2u : 1u);
  }
  const SessionEvent notice = poll();
  ASSERT_TRUE(std::holds_alternative<SessionOverflowNotice>(notice));
  EXPECT_EQ(std::get<SessionOverflowNotice>(notice).occurrences_overflowed, 1u);
  EXPECT_EQ(std::get<SessionOverflowNotice>(notice).key_admission_failures, 1u);
  EXPECT_EQ(std::get<SessionOverflowNotice>(notice).session_id, kId);
  EXPECT_TRUE(is_no_event(poll()));

  // The snapshot reports the counters too.
  const SessionReport report = snapshot_session_report(*shared);
  EXPECT_EQ(report.metrics.eventWarningOccurrencesOverflowed, 1u);
  EXPECT_EQ(report.metrics.eventWarningKeyAdmissionFailures, 1u);
  EXPECT_EQ(report.metrics.eventWarningOccurrencesCoalesced, 1u);
}

TEST_F(MailboxFixture, PostMeetingAHeldLockIsLostAndLaterAnnounced) {
  post(WarningCode::retransmit_malformed, SessionStage::control);
  {
    WarningLockHolder holder(mailbox);
    post(WarningCode::optional_request_rejected, SessionStage::feedback);
    EXPECT_TRUE(doorbell_rang());
    // The pump that meets the held lock delivers only metrics.
    EXPECT_TRUE(is_no_event(poll()));
    merge_stream_summary(*shared, StreamSummary{.packetsSent = 3});
    const SessionEvent metrics = poll();
    ASSERT_TRUE(std::holds_alternative<SessionMetricsEvent>(metrics));
    EXPECT_EQ(std::get<SessionMetricsEvent>(metrics).report.metrics.packetsSent, 3u);
  }
  const SessionEvent pending = poll();
  ASSERT_TRUE(std::holds_alternative<SessionWarningEvent>(pending));
  EXPECT_EQ(std::get<SessionWarningEvent>(pending).code, WarningCode::retransmit_malformed);

  const SessionEvent notice = poll();
  ASSERT_TRUE(std::holds_alternative<SessionOverflowNotice>(notice));
  EXPECT_EQ(std::get<SessionOverflowNotice>(notice).occurrences_overflowed, 1u);
  EXPECT_EQ(std::get<SessionOverflowNotice>(notice).key_admission_failures, 0u);
  EXPECT_TRUE(is_no_event(poll()));  // the notice is not repeated
}

TEST_F(MailboxFixture, PoisonedWarningLockStopsWarningsAndTheTerminalButNotMetrics) {
  post(WarningCode::retransmit_malformed, SessionStage::control);
  try {
    auto guard = mailbox.warnings.lock();
    throw std::runtime_error("producer failed while holding the warning lock");
  } catch (const std::runtime_error&) {
  }
  ASSERT_TRUE(mailbox.warnings.is_poisoned());

  post(WarningCode::optional_request_rejected, SessionStage::feedback);
  EXPECT_EQ(read_warning_counters(mailbox).overflowed, 1u);
  EXPECT_TRUE(doorbell_rang());

  merge_stream_summary(*shared, StreamSummary{.packetsPrepared = 9});
  close_mailbox(mailbox, terminal_record());
  EXPECT_TRUE(std::holds_alternative<SessionMetricsEvent>(poll()));
  EXPECT_TRUE(is_no_event(poll()));
  EXPECT_TRUE(is_no_event(poll()));
  EXPECT_FALSE(source.done());
}

TEST_F(MailboxFixture, DeliveryPriorityIsStateWarningNoticeMetricsTerminal) {
  for (std::size_t n = 0; n < kMaxPendingWarningKeys; ++n) {
    post(key_number(n).code, key_number(n).stage);
  }
  post(key_number(20).code, key_number(20).stage);  // refused: raises the notice
  merge_stream_summary(*shared, StreamSummary{.packetsSent = 1});
  transition_session_state(*shared, SessionState::stopping, TransitionReason::end_of_stream);
  transition_session_state(*shared, SessionState::stopped, TransitionReason::cleanup_complete);
  close_mailbox(mailbox, terminal_record(TransitionReason::end_of_stream));

  std::vector<std::size_t> kinds;
  for (int i = 0; i < 40 && !source.done(); ++i) kinds.push_back(poll().index());
  const std::size_t kState = 1, kWarning = 2, kMetrics = 3, kNotice = 4, kTerminal = 5;
  std::vector<std::size_t> expected = {kState, kState};
  expected.insert(expected.end(), kMaxPendingWarningKeys, kWarning);
  expected.insert(expected.end(), {kNotice, kMetrics, kTerminal});
  EXPECT_EQ(kinds, expected);
}

TEST_F(MailboxFixture, StateWarningMetricsThenNothing) {
  transition_session_state(*shared, SessionState::playing, TransitionReason::startup_complete);
  post(WarningCode::optional_request_rejected, SessionStage::set_volume, true);
  merge_stream_summary(*shared, StreamSummary{.packetsPrepared = 4});

  const SessionEvent state = poll();
  ASSERT_TRUE(std::holds_alternative<SessionStateEvent>(state));
  EXPECT_EQ(std::get<SessionStateEvent>(state),
            (SessionStateEvent{kId, SessionState::playing, TransitionReason::startup_complete}));
  EXPECT_TRUE(std::holds_alternative<SessionWarningEvent>(poll()));
  EXPECT_TRUE(std::holds_alternative<SessionMetricsEvent>(poll()));
  EXPECT_TRUE(is_no_event(poll()));
}

TEST_F(MailboxFixture, TerminalWaitsForQueuedStateEventsAndComesOnce) {
  close_mailbox(mailbox, terminal_record());
  post_state_event(mailbox, SessionState::stopped, TransitionReason::cleanup_complete);
  EXPECT_TRUE(std::holds_alternative<SessionStateEvent>(poll()));
  const SessionEvent terminal = poll();
  ASSERT_TRUE(std::holds_alternative<SessionTerminalRecord>(terminal));
  EXPECT_EQ(std::get<SessionTerminalRecord>(terminal).session_id, kId);
  EXPECT_TRUE(source.done());
  EXPECT_TRUE(is_no_event(poll()));

  const auto before = std::chrono::steady_clock::now();
  EXPECT_TRUE(is_no_event(wait_session_event(source, 10s)));
  EXPECT_LT(std::chrono::steady_clock::now() - before, 1s);
}

// Whether the thread `tid` of this process is asleep (blocked on a lock, say).
bool thread_sleeps(pid_t tid) {
  std::ifstream stat("/proc/self/task/" + std::to_string(tid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
  const auto name_end = text.rfind(')');
  return name_end != std::string::npos && name_end + 2 < text.size() && text[name_end + 2] == 'S';
}

// The coordinator posts stopped and then stores the terminal record; a poll that has already
// looked at the state channel and waits for the terminal slot must still deliver stopped first.
TEST_F(MailboxFixture, StateEventPostedWhileThePollWaitsForTheTerminalSlotComesFirst) {
  auto slot = std::make_optional(mailbox.terminal.lock());
  std::atomic<pid_t> poller_tid{0};
  SessionEvent first;
  std::thread poller([&] {
    poller_tid = gettid();
    first = poll();
  });
  // Nothing but the terminal slot's lock can put the poll to sleep.
  const bool waiting =
      wait_until([&] { return poller_tid != 0 && thread_sleeps(poller_tid); }, 20s);
  post_state_event(mailbox, SessionState::stopped, TransitionReason::cleanup_complete);
  mailbox.closed = true;
  **slot = terminal_record();
  slot.reset();
  poller.join();
  ASSERT_TRUE(waiting);

  ASSERT_TRUE(std::holds_alternative<SessionStateEvent>(first));
  EXPECT_EQ(std::get<SessionStateEvent>(first).state, SessionState::stopped);
  EXPECT_TRUE(std::holds_alternative<SessionTerminalRecord>(poll()));
  EXPECT_TRUE(source.done());
}

TEST_F(MailboxFixture, WarningAfterCloseIsNotDeliveredAndCountsNowhere) {
  close_mailbox(mailbox, terminal_record());
  post(WarningCode::retransmit_malformed, SessionStage::control);
  merge_capture_metrics(*shared, CaptureTotals{.callbacks = 5});
  const WarningCounters counters = read_warning_counters(mailbox);
  EXPECT_EQ(counters.coalesced + counters.overflowed + counters.key_admission_failures, 0u);
  EXPECT_FALSE(mailbox.metrics_dirty);
  EXPECT_TRUE(std::holds_alternative<SessionTerminalRecord>(poll()));
}

TEST_F(MailboxFixture, OccurrencesSaturateAtTheLargestCount) {
  post(WarningCode::retransmit_malformed, SessionStage::control);
  mailbox.warnings.lock()->pending[0].occurrences = std::numeric_limits<std::uint64_t>::max();
  post(WarningCode::retransmit_malformed, SessionStage::control);
  const SessionEvent event = poll();
  ASSERT_TRUE(std::holds_alternative<SessionWarningEvent>(event));
  EXPECT_EQ(std::get<SessionWarningEvent>(event).occurrences,
            std::numeric_limits<std::uint64_t>::max());
}

TEST_F(MailboxFixture, WaitReturnsNothingAfterItsTimeout) {
  const auto before = std::chrono::steady_clock::now();
  EXPECT_TRUE(is_no_event(wait_session_event(source, 60ms)));
  const auto waited = std::chrono::steady_clock::now() - before;
  EXPECT_GE(waited, 60ms);
  EXPECT_LT(waited, 5s);
}

TEST_F(MailboxFixture, WaitWakesForAStateEventFromAnotherThread) {
  std::thread producer([this] {
    std::this_thread::sleep_for(30ms);
    transition_session_state(*shared, SessionState::playing, TransitionReason::startup_complete);
  });
  const auto before = std::chrono::steady_clock::now();
  const SessionEvent event = wait_session_event(source, 20s);
  const auto waited = std::chrono::steady_clock::now() - before;
  producer.join();
  ASSERT_TRUE(std::holds_alternative<SessionStateEvent>(event));
  EXPECT_LT(waited, 10s);
}

TEST_F(MailboxFixture, FullStateChannelEndsThePostingThread) {
  std::string message;
  std::thread poster([&] {
    try {
      for (std::size_t i = 0; i <= kStateChannelCapacity; ++i) {
        post_state_event(mailbox, SessionState::playing, TransitionReason::startup_complete);
      }
    } catch (const std::exception& ended) {
      message = ended.what();
    }
  });
  poster.join();
  EXPECT_EQ(message, "state retention capacity covers a complete session");
}

}  // namespace
}  // namespace kestrune::engine
