// The result of a session whose stream loop ran: what wins when the teardown overran, the loop
// failed, the feedback worker failed late or "rt-sender" failed.

#include "engine/orchestration/session_result.hpp"

#include <gtest/gtest.h>

namespace kestrune::engine {
namespace {

const SessionError kSuccess = SessionError::success();
const SessionError kTimeout =
    SessionError::of(SessionErrorKind::shutdown_timeout, SessionStage::shutdown);
const SessionError kFeedback =
    SessionError::of(SessionErrorKind::control_poisoned, SessionStage::feedback);
const SessionError kSenderFailed =
    SessionError::of(SessionErrorKind::stream_failed, SessionStage::stream_worker);
const SessionError kLoopFailed =
    SessionError::of(SessionErrorKind::config_error, SessionStage::capture);

struct ResultCase {
  const char* name;
  bool overran;
  StreamOutcome outcome;
  bool feedback_failed;
  SessionError sender;
  SessionError result;
};

void PrintTo(const ResultCase& c, std::ostream* os) { *os << c.name; }

class PlayedSessionResult : public ::testing::TestWithParam<ResultCase> {};

TEST_P(PlayedSessionResult, TakesTheFirstThatApplies) {
  const ResultCase& c = GetParam();
  const SessionError result =
      played_session_result(c.overran, c.outcome, c.feedback_failed, c.sender);
  EXPECT_EQ(result, c.result);
  EXPECT_EQ(result.retryable, c.result.retryable);
}

const StreamOutcome kEnded = TransitionReason::end_of_stream;
const StreamOutcome kLoopError = std::unexpected(kLoopFailed);

INSTANTIATE_TEST_SUITE_P(
    Cases, PlayedSessionResult,
    ::testing::Values(
        ResultCase{"Completed", false, kEnded, false, kSuccess, kSuccess},
        ResultCase{"OverranWhateverTheLoopDid", true, kEnded, true, kSenderFailed, kTimeout},
        ResultCase{"OverranAfterAFailedLoop", true, kLoopError, false, kSuccess, kTimeout},
        ResultCase{"LoopErrorBeforeTheWorkers", false, kLoopError, true, kSenderFailed,
                   kLoopFailed},
        // The feedback worker failed after the loop's last look at it.
        ResultCase{"FeedbackFailedLate", false, kEnded, true, kSuccess, kFeedback},
        ResultCase{"FeedbackBeforeTheSender", false, kEnded, true, kSenderFailed, kFeedback},
        ResultCase{"SenderFailed", false, StreamOutcome(TransitionReason::stop_requested), false,
                   kSenderFailed, kSenderFailed}),
    [](const auto& p) { return std::string(p.param.name); });

}  // namespace
}  // namespace kestrune::engine
