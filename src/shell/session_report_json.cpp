#include "shell/session_report_json.hpp"

#include <cmath>
#include <string>

namespace kestrune::shell {

nlohmann::json metrics_to_json(const engine::SessionReport& report) {
  const engine::SessionMetrics& m = report.metrics;
  nlohmann::json object = nlohmann::json::object();
  object["elapsedMs"] = m.elapsedMs;
  object["captureCallbacks"] = m.captureCallbacks;
  object["captureChunks"] = m.captureChunks;
  object["captureFrames"] = m.captureFrames;
  object["captureQueueDrops"] = m.captureQueueDrops;
  object["captureCallbackErrors"] = m.captureCallbackErrors;
  object["captureRms"] = std::isfinite(m.captureRms) ? m.captureRms : 0.0;
  object["captureMaxAbs"] = m.captureMaxAbs;
  object["bufferOverflows"] = m.bufferOverflows;
  object["packetsPrepared"] = m.packetsPrepared;
  object["packetsSent"] = m.packetsSent;
  object["underrunSilencePackets"] = m.underrunSilencePackets;
  object["retransmitRequested"] = m.retransmitRequested;
  object["retransmitFulfilled"] = m.retransmitFulfilled;
  object["feedbackSent"] = m.feedbackSent;
  object["feedbackSucceeded"] = m.feedbackSucceeded;
  object["feedbackRejected"] = m.feedbackRejected;
  object["feedbackTransportFailures"] = m.feedbackTransportFailures;
  object["timingRequests"] = m.timingRequests;
  object["timingResponses"] = m.timingResponses;
  object["jitterP50Us"] = m.jitterP50Us;
  object["jitterP95Us"] = m.jitterP95Us;
  object["jitterP99Us"] = m.jitterP99Us;
  object["jitterMaxUs"] = m.jitterMaxUs;
  object["shutdownForcedStages"] = m.shutdownForcedStages;
  object["shutdownElapsedMs"] = m.shutdownElapsedMs;
  object["eventWarningOccurrencesCoalesced"] = m.eventWarningOccurrencesCoalesced;
  object["eventWarningOccurrencesOverflowed"] = m.eventWarningOccurrencesOverflowed;
  object["eventWarningKeyAdmissionFailures"] = m.eventWarningKeyAdmissionFailures;
  return object;
}

nlohmann::json shutdown_evidence_to_json(const engine::SessionReport& report) {
  const engine::ShutdownEvidence& e = report.evidence;
  nlohmann::json object = nlohmann::json::object();
  object["flushOutcome"] = std::string(engine::wire_name(e.flushOutcome));
  object["teardownOutcome"] = std::string(engine::wire_name(e.teardownOutcome));
  object["workerCleanup"] = std::string(engine::wire_name(e.workerCleanup));
  object["socketCleanup"] = std::string(engine::wire_name(e.socketCleanup));
  return object;
}

}  // namespace kestrune::shell
