#include "discovery/txt_text.hpp"

#include "support/utf8.hpp"

namespace kestrune::discovery {
namespace {

constexpr std::size_t kMaxFeatureDigits = 16;

bool is_control(char32_t c) { return c < 0x20 || (c >= 0x7F && c <= 0x9F); }

}  // namespace

std::optional<std::string> sanitize_txt_text(std::string_view text, std::size_t cap) {
  if (text.empty() || text.size() > cap) return std::nullopt;
  std::size_t pos = 0;
  while (pos < text.size()) {
    const auto step = support::decode_utf8_at(text, pos);
    if (!step || is_control(step->code_point)) return std::nullopt;
    pos += step->length;
  }
  return std::string(text);
}

std::optional<std::string> normalize_features_hex(std::string_view text) {
  if (!support::is_valid_utf8(text)) return std::nullopt;
  std::string_view digits = support::trim_unicode_white_space(text);
  if (digits.starts_with("0x")) digits.remove_prefix(2);
  if (digits.empty() || digits.size() > kMaxFeatureDigits) return std::nullopt;
  std::string features = "0x";
  for (char c : digits) {
    if (c >= 'A' && c <= 'F') c = static_cast<char>(c - 'A' + 'a');
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return std::nullopt;
    features += c;
  }
  return features;
}

}  // namespace kestrune::discovery
