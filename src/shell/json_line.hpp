#pragma once
// The JSON text of one protocol line, both ways.
//   parse_json_line: one JSON value in UTF-8, whitespace around it allowed, nothing after it,
//     nesting at most kMaxJsonNesting deep; a key repeated in one object keeps its last value.
//     A number beyond the double range is refused. Numbers keep how they were written: digits
//     only -> unsigned, a minus sign without fraction or exponent -> integer (so "-0" is an
//     integer), anything else -> float.
//   serialize_json_line: compact JSON with object keys in byte order, strings escaped as the
//     protocol writes them (\b \t \n \f \r, other control bytes as \u00xx in lower case, "/" and
//     non-ASCII as they are), doubles in the fewest digits that read back the same (plain
//     decimal with ".0" for an integral value, an exponent such as "1e16" or "2.5e-7" beyond
//     16 integral digits or below 1e-5) and non-finite ones as null.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

namespace kestrune::shell {

inline constexpr std::size_t kMaxJsonNesting = 128;

// The value, or nothing when the text is not JSON by the rules above.
std::optional<nlohmann::json> parse_json_line(std::string_view text);

// Appends the value's compact text (no line feed) to `out`.
void serialize_json_line(const nlohmann::json& value, std::string& out);
std::string serialize_json_line(const nlohmann::json& value);

}  // namespace kestrune::shell
