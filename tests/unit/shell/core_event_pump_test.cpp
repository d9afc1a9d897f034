#include "shell/core_event_pump.hpp"

#include <chrono>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "engine/core/session_handle.hpp"
#include "engine/core/session_start.hpp"
#include "shell/active_session.hpp"
#include "shell/json_line.hpp"
#include "shell/session_report_json.hpp"
#include "tests/support/scripted_session.hpp"
#include "tests/support/wait_until.hpp"

namespace kestrune::shell {
namespace {

using namespace std::chrono_literals;
using engine::SessionError;
using engine::SessionErrorKind;
using engine::SessionStage;
using kestrune::testing::wait_until;
using nlohmann::json;

constexpr auto kSettle = 300ms;  // longer than one quiet wait of the pump
constexpr auto kPatience = 10s;

const engine::SessionId kId = {0x12, 0x34, 0x56, 0x78, 0x9a, 0xbc, 0x4d, 0xef,
                               0x81, 0x23, 0x45, 0x67, 0x89, 0xab, 0xcd, 0xef};
const std::string kIdText = "12345678-9abc-4def-8123-456789abcdef";

std::vector<json> drain(OutputQueue& queue) {
  queue.finish();
  std::vector<json> lines;
  for (std::size_t i = 0; i <= kOutputCapacity + 1; ++i) {
    auto value = queue.pop();
    if (!value) break;
    lines.push_back(std::move(*value));
  }
  return lines;
}

json event(const std::string& name, json payload) {
  return {{"version", 1}, {"type", "event"}, {"event", name}, {"payload", std::move(payload)}};
}

engine::SessionReport report_with_packets(std::uint64_t sent) {
  engine::SessionReport report;
  report.metrics.packetsSent = sent;
  report.evidence.flushOutcome = engine::RequestOutcome::succeeded;
  return report;
}

struct TranslateCase {
  const char* name;
  engine::SessionEvent event;
  std::vector<json> lines;  // terminal payloads without metrics and shutdownEvidence
  bool sets_session_id;
};

std::vector<TranslateCase> translate_cases() {
  const json failed_error = {{"code", "record_rejected"},
                             {"stage", "record"},
                             {"retryable", false},
                             {"safeMessage", "The receiver rejected playback start."}};
  return {
      {"state",
       engine::SessionStateEvent{kId, engine::SessionState::playing,
                                 engine::TransitionReason::startup_complete},
       {event("sessionState",
              {{"sessionId", kIdText}, {"state", "playing"}, {"reason", "startup_complete"}})},
       true},
      {"warning",
       engine::SessionWarningEvent{engine::WarningCode::optional_request_rejected,
                                   SessionStage::set_volume, true, kId, 3},
       {event("warning", {{"sessionId", kIdText},
                          {"code", "optional_request_rejected"},
                          {"stage", "set_volume"},
                          {"retryable", true},
                          {"occurrences", 3}})},
       false},
      {"overflow notice",
       engine::SessionOverflowNotice{7, 2, kId},
       {event("warning", {{"sessionId", kIdText},
                          {"code", "event_mailbox_overflow"},
                          {"stage", "internal"},
                          {"retryable", false},
                          {"occurrences", 7},
                          {"warningKeyAdmissionFailures", 2}})},
       false},
      {"metrics",
       engine::SessionMetricsEvent{kId, report_with_packets(4)},
       {event("metrics",
              {{"sessionId", kIdText}, {"metrics", metrics_to_json(report_with_packets(4))}})},
       false},
      {"completed terminal",
       engine::SessionTerminalRecord{SessionError::success(),
                                     engine::TransitionReason::end_of_stream, kId,
                                     report_with_packets(9)},
       {event("terminal",
              {{"sessionId", kIdText}, {"outcome", "completed"}, {"reason", "end_of_stream"}})},
       true},
      {"failed terminal",
       engine::SessionTerminalRecord{
           SessionError{SessionErrorKind::record_rejected, SessionStage::setup_phase1, true},
           engine::TransitionReason::stop_requested, kId, report_with_packets(9)},
       {event("error", {{"sessionId", kIdText}, {"error", failed_error}}),
        event("terminal",
              {{"sessionId", kIdText}, {"outcome", "failed"}, {"error", failed_error}})},
       true},
  };
}

TEST(TranslateCoreEvent, EachKindBecomesItsLines) {
  for (const TranslateCase& c : translate_cases()) {
    SCOPED_TRACE(c.name);
    OutputQueue queue;
    SessionSnapshot snapshot;
    EXPECT_TRUE(translate_core_event(c.event, queue, snapshot));
    std::vector<json> lines = drain(queue);
    for (json& line : lines) {
      if (line["event"] != "terminal") continue;
      EXPECT_EQ(line["payload"]["metrics"], metrics_to_json(report_with_packets(9)));
      EXPECT_EQ(line["payload"]["shutdownEvidence"]["flushOutcome"], "succeeded");
      line["payload"].erase("metrics");
      line["payload"].erase("shutdownEvidence");
    }
    EXPECT_EQ(lines, c.lines);
    EXPECT_EQ(read_session_snapshot(snapshot).sessionId,
              c.sets_session_id ? std::optional<std::string>(kIdText) : std::nullopt);
  }
}

TEST(TranslateCoreEvent, RefusedOnceTheQueueIsFinishedOrClosed) {
  for (const bool closed : {false, true}) {
    for (const TranslateCase& c : translate_cases()) {
      SCOPED_TRACE(std::string(c.name) + (closed ? " closed" : " finished"));
      OutputQueue queue;
      SessionSnapshot snapshot;
      closed ? queue.close() : queue.finish();
      EXPECT_FALSE(translate_core_event(c.event, queue, snapshot));
    }
  }
}

TEST(TranslateCoreEvent, UnwrittenMetricsNeverFollowTheTerminal) {
  for (const bool failed : {false, true}) {
    SCOPED_TRACE(failed ? "failed" : "completed");
    OutputQueue queue;
    SessionSnapshot snapshot;
    ASSERT_TRUE(translate_core_event(engine::SessionMetricsEvent{kId, report_with_packets(1)},
                                     queue, snapshot));
    ASSERT_TRUE(translate_core_event(engine::SessionMetricsEvent{kId, report_with_packets(2)},
                                     queue, snapshot));
    engine::SessionTerminalRecord terminal;
    terminal.error = failed ? SessionError::of(SessionErrorKind::cancelled, SessionStage::shutdown)
                            : SessionError::success();
    terminal.session_id = kId;
    ASSERT_TRUE(translate_core_event(terminal, queue, snapshot));
    const std::vector<json> lines = drain(queue);
    ASSERT_EQ(lines.size(), failed ? 2U : 1U);
    EXPECT_EQ(lines.back()["event"], "terminal");
  }
}

// With one free place in the queue, a failed terminal's two lines wait together: a line another
// producer pushes meanwhile takes that place instead of splitting them.
TEST(TranslateCoreEvent, FailedTerminalGoesInAsOneBatch) {
  OutputQueue queue;
  SessionSnapshot snapshot;
  for (std::size_t i = 0; i + 1 < kOutputCapacity; ++i) ASSERT_TRUE(queue.push(json(i)));
  engine::SessionTerminalRecord terminal;
  terminal.error = SessionError::of(SessionErrorKind::network_error, SessionStage::pairing);
  terminal.session_id = kId;
  auto translated = std::async(std::launch::async,
                               [&] { return translate_core_event(terminal, queue, snapshot); });
  EXPECT_EQ(translated.wait_for(kSettle), std::future_status::timeout);
  auto other = std::async(std::launch::async, [&] { return queue.push(json("other")); });
  EXPECT_EQ(other.wait_for(kPatience), std::future_status::ready) << "the place was taken";
  std::vector<json> lines;
  for (int i = 0; i < 3; ++i) lines.push_back(*queue.pop());  // room for the batch
  ASSERT_EQ(translated.wait_for(kPatience), std::future_status::ready);
  EXPECT_TRUE(translated.get());
  EXPECT_TRUE(other.get());
  for (json& line : drain(queue)) lines.push_back(std::move(line));
  ASSERT_EQ(lines.size(), kOutputCapacity + 2);
  EXPECT_EQ(lines[kOutputCapacity - 1], json("other"));
  EXPECT_EQ(lines[kOutputCapacity]["event"], "error");
  EXPECT_EQ(lines[kOutputCapacity + 1]["event"], "terminal");
}

// A running session and its pump, spawned as startSession does, with the start signal in the
// test's hands.
struct PumpedSession {
  PumpedSession()
      : started(engine::start_session_with_runner(
            engine::testing::valid_config(),
            engine::testing::scripted([](engine::SessionShared& s) {
              // No merges: nothing but the test's probe uses the latest-value slot.
              const engine::SessionStatus playing = engine::mark_startup_complete(s);
              if (!playing) return playing.error();
              engine::testing::wait_for_stop(s);
              return SessionError::success();
            }))) {
    EXPECT_TRUE(started);
    auto [start_tx, start_rx] = support::unbounded_channel<PumpStartSignal>();
    auto [ack_tx, ack_rx] = support::unbounded_channel<TerminalAcknowledged>();
    start.emplace(std::move(start_tx));
    acknowledgement.emplace(std::move(ack_rx));
    auto spawned = spawn_event_pump(std::move(start_rx), std::move(started->events), queue,
                                    snapshot, std::move(ack_tx));
    EXPECT_TRUE(spawned);
    pump.emplace(std::move(*spawned));
  }
  ~PumpedSession() {
    if (started) (void)engine::stop_and_wait_session(started->handle);
    start.reset();
    if (pump) (void)pump->join();
  }

  // What is queued now; the probe in the latest-value slot comes out after the FIFO is empty.
  std::vector<json> queued_now() {
    std::vector<json> lines;
    if (!queue->replace_latest(json("probe"))) return lines;
    for (std::size_t i = 0; i <= kOutputCapacity + 1; ++i) {
      auto value = queue->pop();
      if (!value || *value == json("probe")) break;
      lines.push_back(std::move(*value));
    }
    return lines;
  }

  std::shared_ptr<OutputQueue> queue = std::make_shared<OutputQueue>();
  std::shared_ptr<SessionSnapshot> snapshot = std::make_shared<SessionSnapshot>();
  std::expected<engine::StartedSession, SessionError> started;
  std::optional<support::Sender<PumpStartSignal>> start;
  std::optional<support::Receiver<TerminalAcknowledged>> acknowledgement;
  std::optional<support::JoinHandle<void>> pump;
};

// The pump ended without sending its acknowledgement.
bool acknowledgement_channel_closed(PumpedSession& session) {
  auto received = session.acknowledgement->recv_timeout(kPatience);
  return !received && received.error() == support::RecvError::disconnected;
}

bool finishes_within(support::JoinHandle<void>& pump, std::chrono::milliseconds limit) {
  return wait_until([&] { return pump.is_finished(); }, limit);
}

TEST(CoreEventPump, TakesNothingBeforeItsStartSignal) {
  PumpedSession session;
  std::this_thread::sleep_for(kSettle);
  EXPECT_EQ(session.queued_now(), std::vector<json>{});
  EXPECT_EQ(read_session_snapshot(*session.snapshot).sessionId, std::nullopt);

  ASSERT_TRUE(session.start->send({}));
  session.start.reset();
  std::vector<json> lines;
  (void)wait_until(
      [&] {
        for (json& line : session.queued_now()) lines.push_back(std::move(line));
        return lines.size() >= 2;
      },
      10s);
  ASSERT_GE(lines.size(), 2U);
  EXPECT_EQ(lines[0]["payload"]["state"], "starting");
  EXPECT_EQ(lines[1]["payload"]["state"], "playing");
  const auto id = read_session_snapshot(*session.snapshot).sessionId;
  ASSERT_TRUE(id);
  EXPECT_EQ(lines[0]["payload"]["sessionId"], *id);
  EXPECT_FALSE(session.acknowledgement->try_recv());

  // The acknowledgement follows the queued terminal, and the pump ends.
  (void)engine::stop_and_wait_session(session.started->handle);
  ASSERT_TRUE(session.acknowledgement->recv_timeout(kPatience));
  EXPECT_TRUE(finishes_within(*session.pump, 2000ms));
  const std::vector<json> rest = drain(*session.queue);
  ASSERT_FALSE(rest.empty());
  EXPECT_EQ(rest.back()["event"], "terminal");
}

TEST(CoreEventPump, StartChannelClosedWithoutSignalEndsIt) {
  PumpedSession session;
  session.start.reset();
  EXPECT_TRUE(finishes_within(*session.pump, 2000ms));
  EXPECT_TRUE(acknowledgement_channel_closed(session));
  EXPECT_EQ(session.queued_now(), std::vector<json>{});
  EXPECT_EQ(read_session_snapshot(*session.snapshot).sessionId, std::nullopt);
}

TEST(CoreEventPump, EndsWithoutAcknowledgingOnceTheOutputIsClosed) {
  PumpedSession session;
  ASSERT_TRUE(session.start->send({}));
  // Let the pump go quiet after the first lines, then close the output under it.
  (void)wait_until([&] { return read_session_snapshot(*session.snapshot).sessionId.has_value(); },
                   10s);
  session.queue->close();
  EXPECT_TRUE(finishes_within(*session.pump, 2000ms));
  EXPECT_TRUE(acknowledgement_channel_closed(session));
}

}  // namespace
}  // namespace kestrune::shell
