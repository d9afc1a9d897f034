#pragma once
// The envelope check of one command line. Checks go in a fixed order and the first failure
// decides the answer: malformed JSON, not an object, version, type, requestId, command, payload.
// From the version check on, a requestId that is a string of 1 to 128 bytes is echoed.

#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include <nlohmann/json.hpp>

#include "shell/protocol_error.hpp"

namespace kestrune::shell {

// A validated command line.
struct CommandEnvelope {
  std::string requestId;   // 1 to 128 bytes
  std::string command;     // 1 to 64 bytes; not yet looked up
  nlohmann::json payload;  // an object
};

// A line that failed the check: its error and the requestId to echo, if any.
struct LineRejection {
  ProtocolError error;
  std::optional<std::string> requestId;
};

// `bytes` is the line without its line feed; one trailing carriage return is removed first.
std::variant<CommandEnvelope, LineRejection> validate_command_line(std::string_view bytes);

}  // namespace kestrune::shell
