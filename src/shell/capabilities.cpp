#include "shell/capabilities.hpp"

#include "shell/envelopes.hpp"
#include "shell/input_line.hpp"
#include "shell/output_queue.hpp"

namespace kestrune::shell {

nlohmann::json capabilities_to_json() {
  nlohmann::json limits = nlohmann::json::object();
  limits["maxInputLineBytes"] = kMaxInputLineBytes;
  limits["maxRequestIdBytes"] = kMaxRequestIdBytes;
  limits["reliableOutputCapacity"] = kOutputCapacity;
  limits["metricsPolicy"] = "latestValue";

  nlohmann::json capabilities = nlohmann::json::object();
  capabilities["protocolVersion"] = kProtocolVersion;
  capabilities["singleActiveSession"] = true;
  capabilities["availableCommands"] =
      nlohmann::json::array({"hello", "getCapabilities", "startSession", "stopSession", "setVolume",
                             "getState", "scan", "shutdown"});
  capabilities["unavailableCommands"] = nlohmann::json::array({"diagnose", "exportDiagnostics"});
  capabilities["events"] =
      nlohmann::json::array({"ready", "sessionState", "metrics", "warning", "error", "terminal",
                             "shutdownComplete", "deviceDiscovered", "deviceExpired"});
  capabilities["reservedEvents"] = nlohmann::json::array({"diagnosticReady"});
  capabilities["limits"] = std::move(limits);
  return capabilities;
}

nlohmann::json hello_result() {
  nlohmann::json result = nlohmann::json::object();
  result["name"] = kKestruneName;
  result["kestruneVersion"] = kKestruneVersion;
  result["protocolVersion"] = kProtocolVersion;
  result["capabilities"] = capabilities_to_json();
  return result;
}

nlohmann::json ready_payload() {
  nlohmann::json payload = nlohmann::json::object();
  payload["name"] = kKestruneName;
  payload["kestruneVersion"] = kKestruneVersion;
  payload["protocolVersion"] = kProtocolVersion;
  payload["maxInputLineBytes"] = kMaxInputLineBytes;
  return payload;
}

}  // namespace kestrune::shell
