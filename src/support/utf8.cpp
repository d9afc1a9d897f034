#include "support/utf8.hpp"

#include <cstdint>

namespace kestrune::support {
namespace {

bool is_continuation(std::uint8_t byte) { return (byte & 0xC0) == 0x80; }

}  // namespace

std::optional<Utf8Step> decode_utf8_at(std::string_view text, std::size_t pos) {
  if (pos >= text.size()) return std::nullopt;
  const auto byte_at = [&](std::size_t i) { return static_cast<std::uint8_t>(text[pos + i]); };
  const std::uint8_t lead = byte_at(0);
  if (lead < 0x80) return Utf8Step{lead, 1};

  std::size_t length = 0;
  std::uint8_t second_low = 0x80;
  std::uint8_t second_high = 0xBF;
  char32_t code_point = 0;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
    code_point = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    code_point = lead & 0x0F;
    if (lead == 0xE0) second_low = 0xA0;   // overlong
    if (lead == 0xED) second_high = 0x9F;  // surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    code_point = lead & 0x07;
    if (lead == 0xF0) second_low = 0x90;   // overlong
    if (lead == 0xF4) second_high = 0x8F;  // above U+10FFFF
  } else {
    return std::nullopt;
  }
  if (text.size() - pos < length) return std::nullopt;
  const std::uint8_t second = byte_at(1);
  if (second < second_low || second > second_high) return std::nullopt;
  code_point = code_point << 6 | (second & 0x3F);
  for (std::size_t i = 2; i < length; ++i) {
    if (!is_continuation(byte_at(i))) return std::nullopt;
    code_point = code_point << 6 | (byte_at(i) & 0x3F);
  }
  return Utf8Step{code_point, length};
}

bool is_valid_utf8(std::string_view text) {
  std::size_t pos = 0;
  while (pos < text.size()) {
    // Runs of ASCII are the common case in DNS names.
    if (static_cast<std::uint8_t>(text[pos]) < 0x80) {
      ++pos;
      continue;
    }
    const auto step = decode_utf8_at(text, pos);
    if (!step) return false;
    pos += step->length;
  }
  return true;
}

bool is_unicode_white_space(char32_t c) {
  return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
         (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F ||
         c == 0x3000;
}

std::string_view trim_unicode_white_space(std::string_view text) {
  while (!text.empty()) {
    const auto step = decode_utf8_at(text, 0);
    if (!step || !is_unicode_white_space(step->code_point)) break;
    text.remove_prefix(step->length);
  }
  while (!text.empty()) {
    std::size_t start = text.size() - 1;
    // A code point has at most three continuation bytes after its lead byte.
    for (int back = 0; back < 3 && start > 0; ++back) {
      if (!is_continuation(static_cast<std::uint8_t>(text[start]))) break;
      --start;
    }
    const auto step = decode_utf8_at(text, start);
    if (!step || start + step->length != text.size() || !is_unicode_white_space(step->code_point)) {
      break;
    }
    text.remove_suffix(step->length);
  }
  return text;
}

}  // namespace kestrune::support
