#include "shell/envelopes.hpp"

#include <string>
#include <utility>

namespace kestrune::shell {
namespace {

nlohmann::json response_base(std::optional<std::string_view> requestId, bool ok) {
  nlohmann::json response = nlohmann::json::object();
  response["version"] = kProtocolVersion;
  response["type"] = "response";
  response["requestId"] = requestId ? nlohmann::json(std::string(*requestId)) : nullptr;
  response["ok"] = ok;
  return response;
}

}  // namespace

nlohmann::json build_success_response(std::string_view requestId, nlohmann::json result) {
  nlohmann::json response = response_base(requestId, true);
  response["result"] = std::move(result);
  return response;
}

nlohmann::json build_error_response(std::optional<std::string_view> requestId,
                                    nlohmann::json error) {
  nlohmann::json response = response_base(requestId, false);
  response["error"] = std::move(error);
  return response;
}

nlohmann::json build_protocol_error_response(std::optional<std::string_view> requestId,
                                             const ProtocolError& error) {
  return build_error_response(requestId, protocol_error_to_json(error));
}

nlohmann::json build_event(std::string_view event, nlohmann::json payload) {
  nlohmann::json envelope = nlohmann::json::object();
  envelope["version"] = kProtocolVersion;
  envelope["type"] = "event";
  envelope["event"] = std::string(event);
  envelope["payload"] = std::move(payload);
  return envelope;
}

}  // namespace kestrune::shell
