#include "engine/plist/plist_integer_forms.hpp"

#include <algorithm>
#include <array>
#include <limits>
#include <string_view>

#include "engine/plist/plist_binary_layout.hpp"
#include "engine/plist/xml_tags.hpp"

namespace kestrune::engine {

namespace {

constexpr std::uint8_t kEightByteIntegerMarker = 0x13;
constexpr std::uint8_t kSixteenByteIntegerMarker = 0x14;
constexpr std::size_t kSixteenByteIntegerSize = 17;  // marker and 16 bytes, big-endian, signed
constexpr std::uint64_t kAllOnes = std::numeric_limits<std::uint64_t>::max();
constexpr std::uint64_t kSignBit = std::uint64_t{1} << 63;

void write_big_endian(std::uint64_t value, std::uint8_t* out) {
  for (int i = 7; i >= 0; --i) {
    out[i] = static_cast<std::uint8_t>(value & 0xFF);
    value >>= 8;
  }
}

// The 16-byte integers of a binary list, read by the library only by their low half. Rewritten in
// place: a negative value within 64 bits becomes the 8-byte form (the bytes after it are then
// unused), a value beyond 64 bits the nearer end of the range.
PlistIntegerRewrite rewrite_binary(std::span<const std::uint8_t> bytes) {
  const auto layout = read_binary_plist_layout(bytes);
  if (!layout) return PlistIntegersUnchanged{};
  std::vector<std::uint8_t> rewritten;
  for (std::uint64_t i = 0; i < layout->object_count; ++i) {  // bounded by the table's size
    const auto at = layout->offset_of(i);
    if (!at || *at + kSixteenByteIntegerSize > layout->objects_end) continue;
    // An object listed twice is seen as already rewritten the second time.
    const std::span<const std::uint8_t> current = rewritten.empty() ? bytes : rewritten;
    const auto object = current.subspan(*at, kSixteenByteIntegerSize);
    if (object[0] != kSixteenByteIntegerMarker) continue;
    const std::uint64_t high = read_big_endian(object.subspan(1, 8));
    const std::uint64_t low = read_big_endian(object.subspan(9, 8));
    if (high == 0) continue;  // 0 to UINT64_MAX: read exactly
    std::array<std::uint8_t, kSixteenByteIntegerSize> form{};
    std::size_t form_size = 9;
    if (high == kAllOnes && (low & kSignBit) != 0) {
      form[0] = kEightByteIntegerMarker;  // INT64_MIN to -1
      write_big_endian(low, &form[1]);
    } else if ((high & kSignBit) != 0) {
      form[0] = kEightByteIntegerMarker;  // below INT64_MIN
      write_big_endian(kSignBit, &form[1]);
    } else {
      form[0] = kSixteenByteIntegerMarker;  // above UINT64_MAX
      write_big_endian(0, &form[1]);
      write_big_endian(kAllOnes, &form[9]);
      form_size = kSixteenByteIntegerSize;
    }
    if (rewritten.empty()) rewritten.assign(bytes.begin(), bytes.end());
    std::copy_n(form.begin(), form_size, rewritten.begin() + static_cast<std::ptrdiff_t>(*at));
  }
  if (rewritten.empty()) return PlistIntegersUnchanged{};
  return rewritten;
}

bool is_xml_space(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

int digit_value(char c, unsigned base) {
  if (c >= '0' && c <= '9') return c - '0';
  if (base == 16 && c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (base == 16 && c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The decimal form the library reads as the value of `text`, clamped to INT64_MIN..UINT64_MAX;
// nothing when `text` is no number.
std::optional<std::string> canonical_integer(std::string_view text) {
  while (!text.empty() && is_xml_space(text.front())) text.remove_prefix(1);
  while (!text.empty() && is_xml_space(text.back())) text.remove_suffix(1);
  bool negative = false;
  if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
    negative = text.front() == '-';
    text.remove_prefix(1);
  }
  unsigned base = 10;
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    base = 16;
    text.remove_prefix(2);
  }
  if (text.empty()) return std::nullopt;
  std::uint64_t magnitude = 0;
  bool beyond = false;
  for (const char c : text) {  // bounded by the text
    const int digit = digit_value(c, base);
    if (digit < 0) return std::nullopt;
    const auto d = static_cast<std::uint64_t>(digit);
    if (beyond || magnitude > (kAllOnes - d) / base) {
      beyond = true;
    } else {
      magnitude = magnitude * base + d;
    }
  }
  if (!negative) return std::to_string(beyond ? kAllOnes : magnitude);
  if (beyond || magnitude > kSignBit) magnitude = kSignBit;
  if (magnitude == 0) return std::string("0");
  return "-" + std::to_string(magnitude);
}

// Whether `tag` (from its '<') opens or closes an element named `name`.
bool tag_is(std::string_view tag, std::string_view opening, std::string_view name) {
  if (!tag.starts_with(opening) || tag.substr(opening.size()).substr(0, name.size()) != name) {
    return false;
  }
  const std::string_view after = tag.substr(opening.size() + name.size());
  return !after.empty() &&
         (after.front() == '>' || after.front() == '/' || is_xml_space(after.front()));
}

PlistIntegerRewrite refused() {
  return PlistIntegersRefused{"property list integer is not a number"};
}

// The text of each <integer> element, put into its canonical form.
PlistIntegerRewrite rewrite_xml(std::string_view text) {
  std::string rewritten;
  std::size_t copied = 0;  // the bytes of `text` before this are in `rewritten`
  bool changed = false;
  bool refused_text = false;
  const auto refuse = [&] {
    refused_text = true;
    return false;  // ends the walk
  };
  walk_xml_tags(text, [&](std::size_t begin, std::size_t end) {
    if (!tag_is(text.substr(begin), "<", "integer")) return true;
    if (end == text.size() || text[end - 2] == '/') return refuse();
    // The element's text runs to the next '<', which must close it.
    const std::size_t close = text.find('<', end);
    if (close == std::string_view::npos || !tag_is(text.substr(close), "</", "integer")) {
      return refuse();
    }
    const std::string_view content = text.substr(end, close - end);
    const auto canonical = canonical_integer(content);
    if (!canonical) return refuse();
    if (*canonical != content) {
      rewritten.append(text.substr(copied, end - copied));
      rewritten.append(*canonical);
      copied = close;
      changed = true;
    }
    return true;
  });
  if (refused_text) return refused();
  if (!changed) return PlistIntegersUnchanged{};
  rewritten.append(text.substr(copied));
  return std::vector<std::uint8_t>(rewritten.begin(), rewritten.end());
}

}  // namespace

PlistIntegerRewrite rewrite_plist_integers(std::span<const std::uint8_t> bytes, bool binary) {
  if (binary) return rewrite_binary(bytes);
  return rewrite_xml({reinterpret_cast<const char*>(bytes.data()), bytes.size()});
}

}  // namespace kestrune::engine
