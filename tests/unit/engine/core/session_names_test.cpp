#include <gtest/gtest.h>

#include "engine/core/session_report.hpp"
#include "engine/core/session_state.hpp"
#include "engine/core/session_warning.hpp"

namespace kestrune::engine {
namespace {

TEST(SessionNames, StatesReasonsWarningsAndOutcomesByValue) {
  EXPECT_EQ(wire_name(SessionState::starting), "starting");
  EXPECT_EQ(wire_name(SessionState::draining), "draining");
  EXPECT_EQ(wire_name(SessionState::stopped), "stopped");
  EXPECT_EQ(wire_name(TransitionReason::start_requested), "start_requested");
  EXPECT_EQ(wire_name(TransitionReason::last_owner_dropped), "last_owner_dropped");
  EXPECT_EQ(wire_name(TransitionReason::cleanup_complete), "cleanup_complete");
  EXPECT_EQ(wire_name(WarningCode::optional_request_rejected), "optional_request_rejected");
  EXPECT_EQ(wire_name(WarningCode::retransmit_malformed), "retransmit_malformed");
  EXPECT_EQ(wire_name(WarningCode::internal_contention), "internal_contention");
  EXPECT_EQ(wire_name(CleanupOutcome::notApplicable), "notApplicable");
  EXPECT_EQ(wire_name(CleanupOutcome::forced), "forced");
  EXPECT_EQ(wire_name(RequestOutcome::transportFailed), "transportFailed");
  EXPECT_EQ(wire_name(RequestOutcome::deadlineExceeded), "deadlineExceeded");
}

}  // namespace
}  // namespace kestrune::engine
