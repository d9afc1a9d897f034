#pragma once
// Integers of a receiver's property list, put into forms libplist 2.2 reads exactly. The library
// keeps 64 bits per integer and misreads several forms: a 16-byte binary integer loses its high
// half (2^64 + 7000 reads as 7000) and a negative one reads as a large unsigned value; XML text
// goes through strtoull with base 0 after one sign is stripped, so "-18446744073709544616" reads
// as 7000, "-99999999999999999999" as 1, "010" as 8 and "7000abc" as 7000.
//
// Before the library sees the bytes, every integer is rewritten where needed: a value from
// INT64_MIN to UINT64_MAX keeps its value, one beyond is clamped to the nearer of the two (as the
// library itself does with large XML values), and XML integer text that is no number (anything
// but an optional sign and decimal digits, or "0x" and hexadecimal digits, with white space
// around) is refused. Afterwards the library holds a negative value as 8 bytes and a value above
// INT64_MAX as 16 bytes, which is how plist_integer tells them apart.

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <variant>
#include <vector>

namespace kestrune::engine {

struct PlistIntegersUnchanged {};
struct PlistIntegersRefused {
  std::string reason;
};
using PlistIntegerRewrite =
    std::variant<PlistIntegersUnchanged, std::vector<std::uint8_t>, PlistIntegersRefused>;

// The bytes to hand to the library in place of `bytes` (binary when `binary`, else XML), nothing
// to change, or why the list must be refused. A binary list whose tables do not fit is left as it
// is (plist_input_check refuses it).
PlistIntegerRewrite rewrite_plist_integers(std::span<const std::uint8_t> bytes, bool binary);

}  // namespace kestrune::engine
