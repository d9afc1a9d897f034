#include "engine/session/tlv8.hpp"

#include <algorithm>

namespace kestrune::engine {

namespace {

constexpr std::size_t kFragmentMax = 255;
constexpr std::uint8_t kErrorItemType = 7;

}  // namespace

Tlv8Error Tlv8Error::truncated_header(std::size_t offset) {
  return Tlv8Error(Kind::truncated_header, offset, 0);
}

Tlv8Error Tlv8Error::truncated_value(std::size_t offset, std::size_t expected) {
  return Tlv8Error(Kind::truncated_value, offset, expected);
}

std::string Tlv8Error::text() const {
  if (kind_ == Kind::truncated_header) {
    return "truncated TLV8 header at byte " + std::to_string(offset_);
  }
  return "truncated TLV8 value at byte " + std::to_string(offset_) + ": expected " +
         std::to_string(expected_) + " bytes";
}

std::string Tlv8Error::debug_text() const {
  if (kind_ == Kind::truncated_header) return "TruncatedHeader(" + std::to_string(offset_) + ")";
  return "TruncatedValue { offset: " + std::to_string(offset_) +
         ", expected: " + std::to_string(expected_) + " }";
}

std::vector<std::uint8_t> tlv8_encode(
    const std::map<std::uint8_t, std::vector<std::uint8_t>>& items) {
  std::vector<std::uint8_t> bytes;
  for (const auto& [type, value] : items) {
    if (value.empty()) {
      bytes.push_back(type);
      bytes.push_back(0);
      continue;
    }
    for (std::size_t offset = 0; offset < value.size(); offset += kFragmentMax) {
      const std::size_t length = std::min(kFragmentMax, value.size() - offset);
      bytes.push_back(type);
      bytes.push_back(static_cast<std::uint8_t>(length));
      const auto from = value.begin() + static_cast<std::ptrdiff_t>(offset);
      bytes.insert(bytes.end(), from, from + static_cast<std::ptrdiff_t>(length));
    }
  }
  return bytes;
}

std::expected<std::vector<Tlv8Item>, Tlv8Error> tlv8_decode(std::span<const std::uint8_t> bytes) {
  std::vector<Tlv8Item> items;
  std::size_t position = 0;
  while (position < bytes.size()) {  // every turn moves at least two bytes on or returns
    if (position + 2 > bytes.size()) {
      return std::unexpected(Tlv8Error::truncated_header(position));
    }
    const std::uint8_t type = bytes[position];
    const std::size_t length = bytes[position + 1];
    if (position + 2 + length > bytes.size()) {
      return std::unexpected(Tlv8Error::truncated_value(position + 2, length));
    }
    const auto value = bytes.subspan(position + 2, length);
    if (!items.empty() && items.back().type == type) {
      items.back().value.insert(items.back().value.end(), value.begin(), value.end());
    } else {
      items.push_back(Tlv8Item{type, std::vector<std::uint8_t>(value.begin(), value.end())});
    }
    position += 2 + length;
  }
  return items;
}

support::Status check_pairing_error_item(const std::vector<Tlv8Item>& items) {
  const auto found = std::find_if(items.begin(), items.end(),
                                  [](const Tlv8Item& item) { return item.type == kErrorItemType; });
  if (found == items.end()) return {};
  const unsigned code = found->value.empty() ? 0 : found->value.front();
  return support::fail("HomePod pairing error code " + std::to_string(code));
}

support::Result<std::span<const std::uint8_t>> require_tlv_item(const std::vector<Tlv8Item>& items,
                                                                std::uint8_t type,
                                                                std::string_view field_name) {
  const auto found = std::find_if(items.begin(), items.end(),
                                  [&](const Tlv8Item& item) { return item.type == type; });
  if (found == items.end()) {
    return support::fail("pairing response missing " + std::string(field_name));
  }
  return std::span<const std::uint8_t>(found->value);
}

}  // namespace kestrune::engine
