#include "engine/rtsp/rtsp_text.hpp"

#include <algorithm>

namespace kestrune::engine {

namespace {

bool is_white_space(char32_t c) {
  return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
         (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F ||
         c == 0x3000;
}

bool is_continuation(unsigned char byte) { return (byte & 0xC0) == 0x80; }

// The length of the UTF-8 sequence a lead byte starts, 0 for a byte that cannot lead one.
std::size_t sequence_length(unsigned char lead) {
  if (lead < 0x80) return 1;
  if (lead >= 0xC2 && lead <= 0xDF) return 2;
  if (lead >= 0xE0 && lead <= 0xEF) return 3;
  if (lead >= 0xF0 && lead <= 0xF4) return 4;
  return 0;
}

// Decodes the sequence at `at` of valid UTF-8 text.
char32_t decode_at(std::string_view text, std::size_t at, std::size_t length) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[at + i]); };
  switch (length) {
    case 1:
      return byte(0);
    case 2:
      return (char32_t{byte(0)} & 0x1F) << 6 | (byte(1) & 0x3F);
    case 3:
      return (char32_t{byte(0)} & 0x0F) << 12 | (char32_t{byte(1)} & 0x3F) << 6 | (byte(2) & 0x3F);
    default:
      return (char32_t{byte(0)} & 0x07) << 18 | (char32_t{byte(1)} & 0x3F) << 12 |
             (char32_t{byte(2)} & 0x3F) << 6 | (byte(3) & 0x3F);
  }
}

}  // namespace

bool is_valid_utf8(std::span<const std::uint8_t> bytes) {
  std::size_t i = 0;
  while (i < bytes.size()) {
    const std::uint8_t lead = bytes[i];
    const std::size_t length = sequence_length(lead);
    if (length == 0 || i + length > bytes.size()) return false;
    for (std::size_t k = 1; k < length; ++k) {
      if (!is_continuation(bytes[i + k])) return false;
    }
    // Overlong three- and four-byte forms, surrogates and values above U+10FFFF.
    if (lead == 0xE0 && bytes[i + 1] < 0xA0) return false;
    if (lead == 0xED && bytes[i + 1] > 0x9F) return false;
    if (lead == 0xF0 && bytes[i + 1] < 0x90) return false;
    if (lead == 0xF4 && bytes[i + 1] > 0x8F) return false;
    i += length;
  }
  return true;
}

std::string_view trim_white_space(std::string_view text) {
  // From the front: decode forward.
  std::size_t begin = 0;
  while (begin < text.size()) {
    const std::size_t length = sequence_length(static_cast<unsigned char>(text[begin]));
    if (length == 0 || begin + length > text.size()) break;
    if (!is_white_space(decode_at(text, begin, length))) break;
    begin += length;
  }
  // From the back: step over continuation bytes to the lead byte.
  std::size_t end = text.size();
  while (end > begin) {
    std::size_t lead = end - 1;
    while (lead > begin && is_continuation(static_cast<unsigned char>(text[lead]))) --lead;
    const std::size_t length = sequence_length(static_cast<unsigned char>(text[lead]));
    if (length != end - lead) break;
    if (!is_white_space(decode_at(text, lead, length))) break;
    end = lead;
  }
  return text.substr(begin, end - begin);
}

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
