#pragma once
// Property lists through libplist: owned values, binary encoding, decoding of the binary or the
// XML form, type names, and integer reading.
//
// libplist 2.2 hands every integer out as an unsigned 64-bit value. A negative integer comes out
// as its two's complement; plist_integer tells it from a large unsigned value by how the library
// would write it back (8 bytes for a negative value, 16 bytes for an unsigned one above
// INT64_MAX). Integers beyond 64 bits cannot be held at all: decoding clamps them to INT64_MIN or
// UINT64_MAX, in the binary and the XML form alike (plist_integer_forms.hpp).

#include <plist/plist.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "support/error.hpp"

namespace kestrune::engine {

struct PlistFree {
  void operator()(void* value) const { plist_free(static_cast<plist_t>(value)); }
};
using PlistValue = std::unique_ptr<std::remove_pointer_t<plist_t>, PlistFree>;

// An integer as the property list holds it: negative (as a signed 64-bit value) or not.
class PlistInteger {
 public:
  static PlistInteger non_negative(std::uint64_t value) { return PlistInteger(false, value); }
  static PlistInteger negative(std::int64_t value) {
    return PlistInteger(true, static_cast<std::uint64_t>(value));
  }

  bool is_negative() const { return negative_; }
  // Meaningful when not negative.
  std::uint64_t unsigned_value() const { return bits_; }
  // Meaningful when negative.
  std::int64_t signed_value() const { return static_cast<std::int64_t>(bits_); }
  // In decimal, with a '-' for a negative value.
  std::string to_string() const;

  bool operator==(const PlistInteger&) const = default;

 private:
  PlistInteger(bool negative, std::uint64_t bits) : negative_(negative), bits_(bits) {}

  bool negative_;
  std::uint64_t bits_;
};

// The binary form; a library failure gets the context "encode binary plist". The library's own
// output buffer is wiped before it is freed, so only the returned bytes hold what was encoded.
support::Result<std::vector<std::uint8_t>> encode_binary_plist(plist_t value);

// Overwrites the bytes of a data value in place with zeros (a key, before its list is freed).
void wipe_plist_data(plist_t data);
// The value of binary or XML bytes; a failure gets the context "decode binary plist". Integers
// are first put into forms the library reads exactly, and XML integer text that is no number is
// refused (plist_integer_forms.hpp); bytes that the library could not read safely
// (plist_input_check.hpp) are refused before it sees them.
support::Result<PlistValue> decode_binary_plist(std::span<const std::uint8_t> bytes);

// array, dictionary, boolean, data, date, real, integer, string, or other (uid and the rest).
std::string_view plist_type_name(plist_t value);

// The integer in `value`, or nothing when it is not an integer.
std::optional<PlistInteger> plist_integer(plist_t value);

// A port-sized field of a dictionary: "plist missing <k>", "plist field <k> is not an integer",
// "plist field <k> is not a non-negative integer", "plist <k> exceeds u16".
support::Result<std::uint16_t> plist_u16_field(plist_t dictionary, std::string_view key);

// "key:type" for each key of a dictionary in its stored order, joined with ",".
std::string plist_dictionary_shape(plist_t dictionary);

}  // namespace kestrune::engine
