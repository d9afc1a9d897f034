#include "engine/rtsp/rtsp_text.hpp"

#include <algorithm>

namespace kestrune::engine {

std::string ascii_lower(std::string_view text) {
  std::string lower(text);
  std::transform(lower.begin(), lower.end(), lower.begin(), [](char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
  });
  return lower;
}

support::Result<std::uint64_t> parse_unsigned_decimal(std::string_view text, std::uint64_t max) {
  std::string_view digits = text;
  if (!digits.empty() && digits.front() == '+') digits.remove_prefix(1);
  if (digits.empty()) return support::fail("cannot parse integer from empty string");
  std::uint64_t value = 0;
  for (const char c : digits) {
    if (c < '0' || c > '9') return support::fail("invalid digit found in string");
    const auto digit = static_cast<std::uint64_t>(c - '0');
    if (digit > max || value > (max - digit) / 10)
      return support::fail("number too large to fit in target type");
    value = value * 10 + digit;
  }
  return value;
}

}  // namespace kestrune::engine
