#pragma once
// The checks that TXT texts (and instance labels) pass before they name or describe a device.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace kestrune::discovery {

// A copy of the text when it is 1 to cap bytes of valid UTF-8 with no control character (below
// U+0020, or U+007F to U+009F); otherwise nothing. Nothing is trimmed.
std::optional<std::string> sanitize_txt_text(std::string_view text, std::size_t cap);

// "0x" and the digits lower-cased, for a features value that, trimmed of Unicode white space and
// of one leading "0x" (lower-case x only), is 1 to 16 ASCII hexadecimal digits; otherwise nothing.
std::optional<std::string> normalize_features_hex(std::string_view text);

}  // namespace kestrune::discovery
