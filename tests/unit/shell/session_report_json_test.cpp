#include "shell/session_report_json.hpp"

#include <cmath>
#include <limits>
#include <string>

#include <gtest/gtest.h>

#include "shell/json_line.hpp"

namespace kestrune::shell {
namespace {

using engine::CleanupOutcome;
using engine::RequestOutcome;
using engine::SessionReport;
using nlohmann::json;

// Every field a value of its own, so a member that reads the wrong field shows.
SessionReport numbered_report() {
  SessionReport report;
  engine::SessionMetrics& m = report.metrics;
  m.elapsedMs = 1;
  m.captureCallbacks = 2;
  m.captureChunks = 3;
  m.captureFrames = 4;
  m.captureQueueDrops = 5;
  m.captureCallbackErrors = 6;
  m.captureRms = 0.125;
  m.captureMaxAbs = 8;
  m.bufferOverflows = 9;
  m.packetsPrepared = 10;
  m.packetsSent = 11;
  m.underrunSilencePackets = 12;
  m.retransmitRequested = 13;
  m.retransmitFulfilled = 14;
  m.feedbackSent = 15;
  m.feedbackSucceeded = 16;
  m.feedbackRejected = 17;
  m.feedbackTransportFailures = 18;
  m.timingRequests = 19;
  m.timingResponses = 20;
  m.jitterP50Us = 21;
  m.jitterP95Us = 22;
  m.jitterP99Us = 23;
  m.jitterMaxUs = 24;
  m.shutdownForcedStages = 25;
  m.shutdownElapsedMs = 26;
  m.eventWarningOccurrencesCoalesced = 27;
  m.eventWarningOccurrencesOverflowed = 28;
  m.eventWarningKeyAdmissionFailures = 29;
  return report;
}

TEST(MetricsJson, OneMemberPerFieldInKeyOrder) {
  EXPECT_EQ(
      serialize_json_line(metrics_to_json(numbered_report())),
      R"({"bufferOverflows":9,"captureCallbackErrors":6,"captureCallbacks":2,"captureChunks":3,)"
      R"("captureFrames":4,"captureMaxAbs":8,"captureQueueDrops":5,"captureRms":0.125,)"
      R"("elapsedMs":1,"eventWarningKeyAdmissionFailures":29,)"
      R"("eventWarningOccurrencesCoalesced":27,"eventWarningOccurrencesOverflowed":28,)"
      R"("feedbackRejected":17,"feedbackSent":15,"feedbackSucceeded":16,)"
      R"("feedbackTransportFailures":18,"jitterMaxUs":24,"jitterP50Us":21,"jitterP95Us":22,)"
      R"("jitterP99Us":23,"packetsPrepared":10,"packetsSent":11,"retransmitFulfilled":14,)"
      R"("retransmitRequested":13,"shutdownElapsedMs":26,"shutdownForcedStages":25,)"
      R"("timingRequests":19,"timingResponses":20,"underrunSilencePackets":12})");
}

TEST(MetricsJson, CaptureRmsThatIsNotFiniteIsZero) {
  for (const double rms : {std::nan(""), std::numeric_limits<double>::infinity(),
                           -std::numeric_limits<double>::infinity()}) {
    SessionReport report;
    report.metrics.captureRms = rms;
    const json metrics = metrics_to_json(report);
    EXPECT_TRUE(metrics["captureRms"].is_number_float()) << rms;
    EXPECT_EQ(serialize_json_line(metrics["captureRms"]), "0.0") << rms;
  }
}

TEST(MetricsJson, WideValuesStayUnsigned) {
  SessionReport report;
  report.metrics.captureMaxAbs = std::numeric_limits<std::uint32_t>::max();
  report.metrics.shutdownForcedStages = std::numeric_limits<std::uint32_t>::max();
  report.metrics.packetsSent = std::numeric_limits<std::uint64_t>::max();
  const std::string text = serialize_json_line(metrics_to_json(report));
  EXPECT_NE(text.find(R"("captureMaxAbs":4294967295,)"), std::string::npos) << text;
  EXPECT_NE(text.find(R"("shutdownForcedStages":4294967295,)"), std::string::npos) << text;
  EXPECT_NE(text.find(R"("packetsSent":18446744073709551615,)"), std::string::npos) << text;
}

TEST(ShutdownEvidenceJson, NamesEveryOutcome) {
  const char* request_names[] = {
      "notApplicable",          "succeeded",       "rejected", "transportFailed",
      "skippedControlPoisoned", "deadlineExceeded"};
  const char* cleanup_names[] = {"notApplicable", "completed", "forced"};
  for (int r = 0; r < 6; ++r) {
    for (int c = 0; c < 3; ++c) {
      SessionReport report;
      report.evidence.flushOutcome = static_cast<RequestOutcome>(r);
      report.evidence.teardownOutcome = static_cast<RequestOutcome>(5 - r);
      report.evidence.workerCleanup = static_cast<CleanupOutcome>(c);
      report.evidence.socketCleanup = static_cast<CleanupOutcome>(2 - c);
      EXPECT_EQ(shutdown_evidence_to_json(report), (json{{"flushOutcome", request_names[r]},
                                                         {"teardownOutcome", request_names[5 - r]},
                                                         {"workerCleanup", cleanup_names[c]},
                                                         {"socketCleanup", cleanup_names[2 - c]}}));
    }
  }
}

}  // namespace
}  // namespace kestrune::shell
