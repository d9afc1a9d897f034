#include "shell/command_envelope.hpp"

#include <utility>

#include "shell/capabilities.hpp"
#include "shell/envelopes.hpp"
#include "shell/json_line.hpp"

namespace kestrune::shell {
namespace {

using nlohmann::json;

// A member that is a string of 1 to `max_bytes` bytes, or nothing.
std::optional<std::string> bounded_string_member(json& object, const char* key,
                                                 std::size_t max_bytes) {
  const auto member = object.find(key);
  if (member == object.end() || !member->is_string()) return std::nullopt;
  auto& text = member->get_ref<json::string_t&>();
  if (text.empty() || text.size() > max_bytes) return std::nullopt;
  return std::move(text);
}

bool is_integer_one(const json& object, const char* key) {
  const auto member = object.find(key);
  return member != object.end() && member->is_number_unsigned() &&
         member->get<json::number_unsigned_t>() == static_cast<unsigned>(kProtocolVersion);
}

bool is_command_type(const json& object) {
  const auto member = object.find("type");
  return member != object.end() && member->is_string() &&
         member->get_ref<const json::string_t&>() == "command";
}

}  // namespace

std::variant<CommandEnvelope, LineRejection> validate_command_line(std::string_view bytes) {
  if (bytes.ends_with('\r')) bytes.remove_suffix(1);
  auto parsed = parse_json_line(bytes);
  if (!parsed) return LineRejection{protocol_errors::kMalformedJson, std::nullopt};
  json& line = *parsed;
  if (!line.is_object()) return LineRejection{protocol_errors::kInvalidEnvelope, std::nullopt};

  std::optional<std::string> requestId =
      bounded_string_member(line, "requestId", kMaxRequestIdBytes);
  if (!is_integer_one(line, "version")) {
    return LineRejection{protocol_errors::kUnsupportedVersion, std::move(requestId)};
  }
  if (!is_command_type(line)) {
    return LineRejection{protocol_errors::kInvalidType, std::move(requestId)};
  }
  if (!requestId) return LineRejection{protocol_errors::kInvalidRequestId, std::nullopt};
  std::optional<std::string> command = bounded_string_member(line, "command", kMaxCommandNameBytes);
  if (!command) return LineRejection{protocol_errors::kInvalidCommandName, std::move(requestId)};
  const auto payload = line.find("payload");
  if (payload == line.end() || !payload->is_object()) {
    return LineRejection{protocol_errors::kPayloadNotObject, std::move(requestId)};
  }
  return CommandEnvelope{std::move(*requestId), std::move(*command), std::move(*payload)};
}

}  // namespace kestrune::shell
