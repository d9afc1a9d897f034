#pragma once
// Strict UTF-8 (RFC 3629: no overlong forms, no surrogates, nothing above U+10FFFF) for texts
// that come from the network: DNS labels and TXT strings, and the scan results passed to the host.

#include <cstddef>
#include <optional>
#include <string_view>

namespace kestrune::support {

struct Utf8Step {
  char32_t code_point;
  std::size_t length;  // 1 to 4 bytes
};

// The code point that starts at byte pos, or nothing when the bytes there are not valid UTF-8.
std::optional<Utf8Step> decode_utf8_at(std::string_view text, std::size_t pos);

bool is_valid_utf8(std::string_view text);

// The Unicode White_Space property (tab to carriage return, space, U+0085, U+00A0, U+1680,
// U+2000 to U+200A, U+2028, U+2029, U+202F, U+205F, U+3000).
bool is_unicode_white_space(char32_t code_point);

// The text without Unicode white space at either end. The text must be valid UTF-8.
std::string_view trim_unicode_white_space(std::string_view text);

}  // namespace kestrune::support
