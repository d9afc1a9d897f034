#include <gtest/gtest.h>

#include <cstdint>
#include <string_view>

#include "engine/core/session_error.hpp"
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

// A byte no enumerator has (a cast or a damaged byte) reads as "unknown" in every table: never
// past the table, never the name of a value that exists, such as "completed" for an error.
TEST(SessionNames, ValuesNoEnumeratorHasAreUnknown) {
  struct Case {
    const char* table;
    std::string_view (*name_of)(std::uint8_t);
    std::uint8_t first_outside;
  };
  const Case cases[] = {
      {"SessionState", [](std::uint8_t v) { return wire_name(static_cast<SessionState>(v)); }, 6},
      {"TransitionReason",
       [](std::uint8_t v) { return wire_name(static_cast<TransitionReason>(v)); }, 8},
      {"WarningCode", [](std::uint8_t v) { return wire_name(static_cast<WarningCode>(v)); }, 7},
      {"CleanupOutcome", [](std::uint8_t v) { return wire_name(static_cast<CleanupOutcome>(v)); },
       3},
      {"RequestOutcome", [](std::uint8_t v) { return wire_name(static_cast<RequestOutcome>(v)); },
       6},
      // 12 is success, named "completed".
      {"SessionErrorKind",
       [](std::uint8_t v) { return wire_name(static_cast<SessionErrorKind>(v)); }, 13},
      {"SessionStage", [](std::uint8_t v) { return wire_name(static_cast<SessionStage>(v)); }, 16},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.table);
    EXPECT_NE(c.name_of(c.first_outside - 1), "unknown");
    EXPECT_EQ(c.name_of(c.first_outside), "unknown");
    EXPECT_EQ(c.name_of(255), "unknown");
  }
}

}  // namespace
}  // namespace kestrune::engine
