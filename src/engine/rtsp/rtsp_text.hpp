#pragma once
// The small text rules of RTSP heads: ASCII lower case and the unsigned decimals of status
// codes, CSeq and Content-Length. (UTF-8 checks and white-space trimming are support/utf8.hpp.)

#include <cstdint>
#include <string>
#include <string_view>

#include "support/error.hpp"

namespace kestrune::engine {

std::string ascii_lower(std::string_view text);

// An optional leading '+', then one or more ASCII digits, at most `max`.
support::Result<std::uint64_t> parse_unsigned_decimal(std::string_view text, std::uint64_t max);

}  // namespace kestrune::engine
