#pragma once
// The small text rules of RTSP heads: UTF-8 checks, white-space trimming, ASCII lower case and the
// unsigned decimals of status codes, CSeq and Content-Length.

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "support/error.hpp"

namespace kestrune::engine {

bool is_valid_utf8(std::span<const std::uint8_t> bytes);

// Removes the Unicode White_Space characters at both ends of valid UTF-8 text.
std::string_view trim_white_space(std::string_view text);

std::string ascii_lower(std::string_view text);

// An optional leading '+', then one or more ASCII digits, at most `max`.
support::Result<std::uint64_t> parse_unsigned_decimal(std::string_view text, std::uint64_t max);

}  // namespace kestrune::engine
