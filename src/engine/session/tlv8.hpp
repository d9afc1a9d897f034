#pragma once
// TLV8 records, the bodies of the pair-setup messages: a flat sequence of items, each a type
// byte, a length byte and that many value bytes. Values longer than 255 bytes travel as
// consecutive fragments of the same type, which decoding joins again.

#include <cstddef>
#include <cstdint>
#include <expected>
#include <map>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "support/error.hpp"

namespace kestrune::engine {

struct Tlv8Item {
  std::uint8_t type = 0;
  std::vector<std::uint8_t> value;

  bool operator==(const Tlv8Item&) const = default;
};

class Tlv8Error {
 public:
  enum class Kind { truncated_header, truncated_value };

  // The item starting at `offset` lacks one of its two header bytes.
  static Tlv8Error truncated_header(std::size_t offset);
  // The item whose value starts at `offset` announced `expected` bytes that are not all there.
  static Tlv8Error truncated_value(std::size_t offset, std::size_t expected);

  Kind kind() const { return kind_; }
  std::size_t offset() const { return offset_; }
  std::size_t expected() const { return expected_; }

  // "truncated TLV8 header at byte 3", "truncated TLV8 value at byte 2: expected 5 bytes".
  std::string text() const;
  // "TruncatedHeader(3)", "TruncatedValue { offset: 2, expected: 5 }".
  std::string debug_text() const;
  // The session's error value, with the text form as its message.
  support::Error to_error() const { return support::Error(text()); }

  bool operator==(const Tlv8Error&) const = default;

 private:
  Tlv8Error(Kind kind, std::size_t offset, std::size_t expected)
      : kind_(kind), offset_(offset), expected_(expected) {}

  Kind kind_;
  std::size_t offset_;
  std::size_t expected_;
};

// One value per type, written in ascending type order; never fails.
std::vector<std::uint8_t> tlv8_encode(
    const std::map<std::uint8_t, std::vector<std::uint8_t>>& items);

// The items in the order they appear; an item directly following one of the same type is joined
// to it. A failure returns no partial list.
std::expected<std::vector<Tlv8Item>, Tlv8Error> tlv8_decode(std::span<const std::uint8_t> bytes);

// Fails with "HomePod pairing error code N" at the first item of type 7 (N its first value byte,
// 0 when it is empty).
support::Status check_pairing_error_item(const std::vector<Tlv8Item>& items);

// The value of the first item of `type`, or "pairing response missing <field_name>".
support::Result<std::span<const std::uint8_t>> require_tlv_item(const std::vector<Tlv8Item>& items,
                                                                std::uint8_t type,
                                                                std::string_view field_name);

}  // namespace kestrune::engine
