#pragma once
// The two JSON objects built from a SessionReport: the metrics object (29 unsigned integers and
// captureRms, a number that is 0.0 when the report holds an infinity or a NaN) that "metrics" and
// "terminal" events, stopSession and getState carry, and the shutdownEvidence object of
// "terminal" (the four teardown outcomes by name).

#include <nlohmann/json.hpp>

#include "engine/engine.hpp"

namespace kestrune::shell {

nlohmann::json metrics_to_json(const engine::SessionReport& report);

nlohmann::json shutdown_evidence_to_json(const engine::SessionReport& report);

}  // namespace kestrune::shell
