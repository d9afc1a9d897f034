#include "shell/protocol_error.hpp"

#include <string>

namespace kestrune::shell {

nlohmann::json protocol_error_to_json(const ProtocolError& error) {
  nlohmann::json object = nlohmann::json::object();
  object["code"] = std::string(error.code);
  object["stage"] = std::string(error.stage);
  object["retryable"] = error.retryable;
  object["safeMessage"] = std::string(error.safeMessage);
  return object;
}

}  // namespace kestrune::shell
