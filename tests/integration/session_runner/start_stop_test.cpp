// A stop requested at each point of the runner's own start: the stop check that follows ends the
// session as cancelled before it plays, with the teardown that belongs to that point. Where a
// missed check would only be caught by the next one, the row makes the next step fail (its thread
// cannot be spawned, the capture cannot be built), so a missed check shows as that failure.

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "engine/core/start_point.hpp"
#include "engine/core/start_point_testing.hpp"
#include "support/thread_testing.hpp"
#include "tests/integration/session_runner/runner_fixture.hpp"
#include "tests/support/temp_wav_file.hpp"

namespace kestrune::engine::testing {
namespace {

using kestrune::testing::FakeAudioHost;
using kestrune::testing::FakeDeviceScript;
using kestrune::testing::TempWavFile;
using kestrune::testing::test_signal;

constexpr auto kCompleted = CleanupOutcome::completed;
constexpr auto kSucceeded = RequestOutcome::succeeded;
const ShutdownEvidence kTornDown{kCompleted, kCompleted, kSucceeded, kSucceeded};

struct StopPointCase {
  const char* name;
  StartPoint point;
  bool live;                  // loopback capture from a fake audio host, else a file
  const char* refused_spawn;  // the worker that cannot be spawned ("": none)
  bool capture_fails;         // the capture cannot be built
  bool capture_built;         // and then stopped again
  std::vector<std::string> after_record;
};

void PrintTo(const StopPointCase& c, std::ostream* os) { *os << c.name; }

// The test hooks are put back however the test ends.
struct HooksReset {
  ~HooksReset() {
    observe_start_points_for_testing({});
    support::inject_spawn_failure_for_testing("");
  }
};

class StopAtStartPoint : public RunnerFixture,
                         public ::testing::WithParamInterface<StopPointCase> {};

TEST_P(StopAtStartPoint, EndsCancelledBeforePlayingWithItsTeardown) {
  const StopPointCase& c = GetParam();
  HooksReset reset;
  observe_start_points_for_testing([point = c.point](SessionShared& shared, StartPoint reached) {
    if (reached == point) request_session_stop(shared, false);
  });
  support::inject_spawn_failure_for_testing(c.refused_spawn);
  FakeDeviceScript script;
  if (c.capture_fails) script.build_error = support::Error("no loopback stream");
  auto host = std::make_shared<FakeAudioHost>(script);
  TempWavFile file(test_signal(44'100));
  ASSERT_NO_FATAL_FAILURE(
      start(config_for(c.live ? AudioSource::default_output() : AudioSource::file(file.path())),
            std::make_unique<FakeAudioRunner>(host)));
  const SessionTerminalRecord record = terminal();

  const SessionError cancelled{SessionErrorKind::cancelled, SessionStage::shutdown, false};
  EXPECT_EQ(record.error, cancelled);
  EXPECT_EQ(record.error.retryable, false);
  EXPECT_EQ(log->states(), (States{{SessionState::starting, TransitionReason::start_requested},
                                   {SessionState::stopping, TransitionReason::stop_requested},
                                   {SessionState::stopped, TransitionReason::cleanup_complete}}));
  EXPECT_EQ(record.report.evidence, kTornDown);
  EXPECT_EQ(methods_after_record(), c.after_record);
  EXPECT_EQ(receiver->endpoints().datagram_count(UdpEndpoint::data), 0U);
  EXPECT_EQ(host->stream->built, c.capture_built);
  EXPECT_EQ(host->stream->destroyed, c.capture_built);
}

const std::vector<std::string> kFlushTeardown = {"FLUSH", "TEARDOWN"};
const std::vector<std::string> kAfterVolume = {"FLUSH", "SET_PARAMETER", "FLUSH", "TEARDOWN"};

INSTANTIATE_TEST_SUITE_P(
    Points, StopAtStartPoint,
    ::testing::Values(
        // Missed, the initial FLUSH would be cancelled and leave the connection poisoned.
        StopPointCase{"TransportHeld", StartPoint::transport_held, false, "", false, false,
                      kFlushTeardown},
        // Missed, the initial volume would be cancelled and leave the connection poisoned.
        StopPointCase{"InitialFlushAnswered",
                      StartPoint::initial_flush_answered,
                      false,
                      "",
                      false,
                      false,
                      {"FLUSH", "FLUSH", "TEARDOWN"}},
        StopPointCase{"SenderStarted", StartPoint::sender_started, false, "rt-control", false,
                      false, kAfterVolume},
        StopPointCase{"ControlStarted", StartPoint::control_started, false, "rtsp-feedback", false,
                      false, kAfterVolume},
        StopPointCase{"FeedbackStarted", StartPoint::feedback_started, true, "", true, false,
                      kAfterVolume},
        // The playing state's own look at the stop flag would catch a missed check here too.
        StopPointCase{"CaptureStarted", StartPoint::capture_started, true, "", false, true,
                      kAfterVolume}),
    [](const auto& p) { return std::string(p.param.name); });

}  // namespace
}  // namespace kestrune::engine::testing
