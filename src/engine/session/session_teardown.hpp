#pragma once
// The end of a started session's transport. flush_and_teardown sends FLUSH and TEARDOWN within
// the session's shutdown deadline; abort_session_transport (the quick close) sends nothing and is
// used once the deadline has passed, when the caller asks for it, and by a record's drop. Neither
// fails: every problem becomes an outcome value and its error text is dropped. Both move the
// record active -> closing -> closed, close the events connection, stop the timing responder and
// leave the connection poisoned and shut down (unless its lock was left poisoned, which counts as
// transportFailed). Run on the coordinator thread, after the feedback worker has been stopped.

#include <chrono>
#include <cstdint>

#include "engine/core/session_report.hpp"
#include "engine/session/rtsp_session.hpp"

namespace kestrune::engine {

// Each teardown request gets min(time left to the shutdown deadline, 2 s), computed anew; a
// request with no time left is not sent.
inline constexpr std::chrono::seconds kTeardownRequestLimit{2};
// The timing responder is given until min(deadline, now + 1 s) to end.
inline constexpr std::chrono::seconds kTeardownWorkerLimit{1};

// The evidence of one teardown together with the number of its stages that had to be forced.
struct TeardownEvidence {
  ShutdownEvidence evidence;
  std::uint32_t forced_stages = 0;

  friend bool operator==(const TeardownEvidence&, const TeardownEvidence&) = default;
};

// FLUSH (any 2xx succeeds), the timing responder's stop, TEARDOWN (any 2xx), each judged on its
// own; socketCleanup is left notApplicable for close_session_record to decide.
TeardownEvidence flush_and_teardown(RtspSession& session,
                                    std::chrono::steady_clock::time_point deadline);

// No request: both request outcomes are skippedControlPoisoned when the connection was poisoned
// already, else deadlineExceeded (transportFailed for a poisoned lock); always one forced stage.
TeardownEvidence abort_session_transport(RtspSession& session);

// socketCleanup := forced when a stage was forced or either request ended transportFailed,
// skippedControlPoisoned or deadlineExceeded, else completed; then the record is dropped (it is
// closed by now, so the drop sends nothing).
TeardownEvidence close_session_record(RtspSession&& session, TeardownEvidence teardown);

// The socketCleanup rule above, on its own.
CleanupOutcome socket_cleanup_for(const TeardownEvidence& teardown);

}  // namespace kestrune::engine
