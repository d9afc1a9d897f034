#pragma once
// Decoding of one DNS name (RFC 1035 labels and compression pointers) from a whole message.

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "discovery/dns_fault.hpp"

namespace kestrune::discovery {

inline constexpr std::size_t kMaxNameTextBytes = 255;
inline constexpr std::size_t kMaxNameLabels = 64;
inline constexpr std::size_t kMaxPointerJumps = 16;

struct DecodedName {
  // The labels joined with "."; the root name is empty; never a trailing "." of its own, but a
  // label keeps every byte it holds, dots and capitals included.
  std::string text;
  // Where the bytes after the name start: after its terminating zero, or after the first
  // compression pointer when one was followed.
  std::size_t next_offset = 0;
};

// Labels of 1 to 63 valid UTF-8 bytes, at most 64 labels and 255 text bytes; at most 16 pointer
// jumps, forward or backward, never to a target already visited by this name.
DnsResult<DecodedName> decode_dns_name(std::span<const std::uint8_t> message, std::size_t offset);

}  // namespace kestrune::discovery
