// Sessions that fail, and teardowns that the receiver or the shutdown deadline cut short: what
// the host is told and what the report says the teardown achieved.

#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "tests/integration/session_runner/runner_fixture.hpp"
#include "tests/support/refused_port.hpp"
#include "tests/support/temp_wav_file.hpp"

namespace kestrune::engine::testing {
namespace {

using kestrune::testing::TempWavFile;
using kestrune::testing::test_signal;
using test_receiver::ScriptedReply;
using test_receiver::TestReceiver;

constexpr auto kNA = RequestOutcome::notApplicable;
constexpr auto kSucceeded = RequestOutcome::succeeded;
constexpr auto kCompleted = CleanupOutcome::completed;
constexpr auto kForced = CleanupOutcome::forced;

struct FailureCase {
  const char* name;
  std::function<void(TestReceiver&)> script;
  bool refused;       // nothing listens where the session connects
  bool missing_file;  // the file source's path names no file
  SessionError error;
  bool played;
  ShutdownEvidence evidence;
  std::vector<std::string> after_record;  // the requests after RECORD
};

void PrintTo(const FailureCase& c, std::ostream* os) { *os << c.name; }

class SessionFailure : public RunnerFixture, public ::testing::WithParamInterface<FailureCase> {};

TEST_P(SessionFailure, IsReportedAsItsStepFailedAndTornDown) {
  const FailureCase& c = GetParam();
  if (c.script) c.script(*receiver);
  TempWavFile file(test_signal(2000));
  SessionConfig config =
      config_for(AudioSource::file(c.missing_file ? "/nonexistent/kestrune.wav" : file.path()));
  std::optional<kestrune::testing::RefusedLoopbackPort> refused;
  if (c.refused) {
    refused.emplace();
    config.port = refused->port();
  }
  ASSERT_NO_FATAL_FAILURE(start(std::move(config)));
  const SessionTerminalRecord record = terminal();
  EXPECT_EQ(record.error, c.error);
  EXPECT_EQ(record.error.retryable, c.error.retryable);

  States expected{{SessionState::starting, TransitionReason::start_requested}};
  if (c.played) expected.emplace_back(SessionState::playing, TransitionReason::startup_complete);
  expected.emplace_back(SessionState::failed, TransitionReason::failure);
  expected.emplace_back(SessionState::stopping, TransitionReason::failure);
  expected.emplace_back(SessionState::stopped, TransitionReason::cleanup_complete);
  EXPECT_EQ(log->states(), expected);
  EXPECT_EQ(record.report.evidence, c.evidence);
  EXPECT_EQ(methods_after_record(), c.after_record);
  EXPECT_EQ(receiver->endpoints().datagram_count(UdpEndpoint::data), 0U);
}

ScriptedReply status(std::uint16_t code) { return ScriptedReply::status(code, "Refused"); }

const std::vector<std::string> kFullTeardown = {"FLUSH", "SET_PARAMETER", "FLUSH", "TEARDOWN"};

INSTANTIATE_TEST_SUITE_P(
    Steps, SessionFailure,
    ::testing::Values(
        FailureCase{"ConnectionRefused",
                    nullptr,
                    true,
                    false,
                    {SessionErrorKind::network_error, SessionStage::pairing, true},
                    false,
                    {},
                    {}},
        FailureCase{"InfoRejected",
                    [](auto& r) { r.script("GET", "/info", status(404)); },
                    false,
                    false,
                    {SessionErrorKind::network_error, SessionStage::pairing, true},
                    false,
                    {CleanupOutcome::notApplicable, kCompleted, kNA, kNA},
                    {}},
        FailureCase{"PairingRejected",
                    [](auto& r) { r.script("POST", "/pair-setup", status(401)); },
                    false,
                    false,
                    {SessionErrorKind::pairing_failed, SessionStage::pairing, false},
                    false,
                    {CleanupOutcome::notApplicable, kCompleted, kNA, kNA},
                    {}},
        FailureCase{"SetupPhase1Rejected",
                    [](auto& r) { r.script("SETUP", "", status(500)); },
                    false,
                    false,
                    {SessionErrorKind::setup_failed, SessionStage::setup_phase1, true},
                    false,
                    {kCompleted, kCompleted, kNA, kNA},
                    {}},
        FailureCase{"SetupPhase2Rejected",
                    [](auto& r) { r.script("SETUP", "", status(453), 1, 1); },
                    false,
                    false,
                    {SessionErrorKind::setup_failed, SessionStage::setup_phase2, true},
                    false,
                    {kCompleted, kCompleted, kNA, kNA},
                    {}},
        FailureCase{"RecordRejected",
                    [](auto& r) { r.script("RECORD", "", status(453)); },
                    false,
                    false,
                    {SessionErrorKind::record_rejected, SessionStage::record, false},
                    false,
                    {kCompleted, kCompleted, kSucceeded, kSucceeded},
                    {"FLUSH", "TEARDOWN"}},
        FailureCase{"RecordTransport",
                    [](auto& r) { r.script("RECORD", "", ScriptedReply::close_connection()); },
                    false,
                    false,
                    {SessionErrorKind::control_poisoned, SessionStage::record, true},
                    false,
                    {kForced, kForced, RequestOutcome::skippedControlPoisoned,
                     RequestOutcome::skippedControlPoisoned},
                    {}},
        // The runner's own steps: the record it holds is torn down on the way out.
        FailureCase{"InitialFlushRejected",
                    [](auto& r) { r.script("FLUSH", "", status(500)); },
                    false,
                    false,
                    {SessionErrorKind::control_poisoned, SessionStage::control, true},
                    false,
                    {kCompleted, kCompleted, kSucceeded, kSucceeded},
                    {"FLUSH", "FLUSH", "TEARDOWN"}},
        FailureCase{"FileMissing",
                    nullptr,
                    false,
                    true,
                    {SessionErrorKind::config_error, SessionStage::capture, false},
                    true,
                    {kCompleted, kCompleted, kSucceeded, kSucceeded},
                    kFullTeardown}),
    [](const auto& p) { return std::string(p.param.name); });

TEST_F(RunnerFixture, ARejectedInitialVolumeOnlyWarnsAndTheSessionPlays) {
  receiver->script("SET_PARAMETER", "", status(500));
  TempWavFile file(test_signal(2000));
  ASSERT_NO_FATAL_FAILURE(start(config_for(AudioSource::file(file.path()))));
  const SessionTerminalRecord record = terminal();
  EXPECT_TRUE(record.completed());
  EXPECT_EQ(record.reason, TransitionReason::end_of_stream);
  EXPECT_EQ(record.report.metrics.packetsSent, 6U);
  const auto warnings = log->warnings();
  ASSERT_EQ(warnings.size(), 1U);
  EXPECT_EQ(warnings[0].code, WarningCode::optional_request_rejected);
  EXPECT_EQ(warnings[0].stage, SessionStage::set_volume);
  EXPECT_TRUE(warnings[0].retryable);
  EXPECT_EQ(warnings[0].occurrences, 1U);
}

// The host's stop cancels the initial FLUSH that the receiver leaves unanswered: the host asked
// for that end, so it is a cancellation and not a control connection gone bad. The cancelled
// exchange has poisoned the connection, so the teardown sends nothing more.
TEST_F(RunnerFixture, AStopDuringTheInitialFlushEndsTheSessionCancelled) {
  receiver->script("FLUSH", "", ScriptedReply::silence());
  TempWavFile file(test_signal(2000));
  ASSERT_NO_FATAL_FAILURE(start(config_for(AudioSource::file(file.path()))));
  ASSERT_TRUE(wait_until([&] { return !receiver->requests_with("FLUSH").empty(); }, 20s));
  const SessionOutcome outcome = stop();
  const SessionError cancelled{SessionErrorKind::cancelled, SessionStage::shutdown, false};
  ASSERT_FALSE(outcome.has_value());
  EXPECT_EQ(outcome.error(), cancelled);
  EXPECT_FALSE(outcome.error().retryable);
  const SessionTerminalRecord record = terminal();
  EXPECT_EQ(record.error, cancelled);
  EXPECT_EQ(log->states(), (States{{SessionState::starting, TransitionReason::start_requested},
                                   {SessionState::stopping, TransitionReason::stop_requested},
                                   {SessionState::stopped, TransitionReason::cleanup_complete}}));
  EXPECT_EQ(record.report.evidence,
            (ShutdownEvidence{kCompleted, kForced, RequestOutcome::skippedControlPoisoned,
                              RequestOutcome::skippedControlPoisoned}));
  EXPECT_EQ(methods_after_record(), std::vector<std::string>{"FLUSH"});
}

struct TeardownCase {
  const char* name;
  std::function<void(TestReceiver&)> script;
  std::size_t frames;  // in the file
  // The shutdown deadline armed this long after playing begins (else at the stream's end).
  std::optional<std::chrono::milliseconds> deadline_after_playing;
  SessionError error;  // success: the session completed
  ShutdownEvidence evidence;
  bool quick_close_may_find_the_responder_done;  // its one look may find it ended already
  std::uint32_t forced_stages_at_least;
  std::vector<std::string> after_record;
};

void PrintTo(const TeardownCase& c, std::ostream* os) { *os << c.name; }

class TeardownDeadline : public RunnerFixture,
                         public ::testing::WithParamInterface<TeardownCase> {};

TEST_P(TeardownDeadline, BoundsTheTeardownAndReportsWhatItAchieved) {
  const TeardownCase& c = GetParam();
  c.script(*receiver);
  TempWavFile file(test_signal(c.frames));
  ASSERT_NO_FATAL_FAILURE(start(config_for(AudioSource::file(file.path()))));
  ASSERT_TRUE(log->wait_for_state(SessionState::playing));
  const auto playing = Clock::now();
  if (c.deadline_after_playing) {
    *handle->shared()->deadline.lock() = playing + *c.deadline_after_playing;
  }
  const SessionTerminalRecord record = terminal();
  const auto took = Clock::now() - playing;
  EXPECT_EQ(record.error, c.error);
  if (c.error.is_success()) {
    EXPECT_EQ(record.reason, TransitionReason::end_of_stream);
  }
  ShutdownEvidence evidence = record.report.evidence;
  if (c.quick_close_may_find_the_responder_done) evidence.workerCleanup = c.evidence.workerCleanup;
  EXPECT_EQ(evidence, c.evidence);
  EXPECT_GE(record.report.metrics.shutdownForcedStages, c.forced_stages_at_least);
  EXPECT_EQ(methods_after_record(), c.after_record);
  EXPECT_LT(took, 8s);  // each teardown request gets 2 s at most
}

const std::vector<std::string> kNoTeardownRequests = {"FLUSH", "SET_PARAMETER"};

INSTANTIATE_TEST_SUITE_P(
    Receivers, TeardownDeadline,
    ::testing::Values(
        // A FLUSH that is never answered gets its 2 s and poisons the connection.
        TeardownCase{"FlushStalled",
                     [](auto& r) { r.script("FLUSH", "", ScriptedReply::silence(), 1, 1); },
                     2000,
                     std::nullopt,
                     SessionError::success(),
                     {kCompleted, kForced, RequestOutcome::deadlineExceeded,
                      RequestOutcome::skippedControlPoisoned},
                     false,
                     0,
                     {"FLUSH", "SET_PARAMETER", "FLUSH"}},
        TeardownCase{"TeardownStalled",
                     [](auto& r) { r.script("TEARDOWN", "", ScriptedReply::silence()); },
                     2000,
                     std::nullopt,
                     SessionError::success(),
                     {kCompleted, kForced, kSucceeded, RequestOutcome::deadlineExceeded},
                     false,
                     0,
                     kFullTeardown},
        // The deadline passes while the file still plays: the workers are counted late and the
        // transport gets the quick close, no request.
        TeardownCase{
            "DeadlinePassedBeforeTheTeardown",
            [](auto&) {},
            44'100,
            300ms,
            SessionError::of(SessionErrorKind::shutdown_timeout, SessionStage::shutdown),
            {kForced, kForced, RequestOutcome::deadlineExceeded, RequestOutcome::deadlineExceeded},
            false,
            1,
            kNoTeardownRequests},
        // A stalled FLUSH with less than 2 s left runs into the deadline itself.
        TeardownCase{"FlushStalledIntoTheDeadline",
                     [](auto& r) { r.script("FLUSH", "", ScriptedReply::silence(), 1, 1); },
                     22'050,
                     1500ms,
                     SessionError::of(SessionErrorKind::shutdown_timeout, SessionStage::shutdown),
                     {kForced, kForced, RequestOutcome::deadlineExceeded,
                      RequestOutcome::skippedControlPoisoned},
                     true,
                     0,
                     {"FLUSH", "SET_PARAMETER", "FLUSH"}}),
    [](const auto& p) { return std::string(p.param.name); });

}  // namespace
}  // namespace kestrune::engine::testing
