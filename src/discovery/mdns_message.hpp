#pragma once
// Decoding of one received mDNS datagram into the records discovery keeps. Strict: any structural
// fault refuses the whole datagram, so no part of it reaches the cache. Records of another class,
// A records whose RDATA is not 4 bytes and every other type are skipped, and the rest of the
// datagram stays usable. The datagram is read in place; only names, TXT texts and the record list
// are allocated.

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "discovery/dns_fault.hpp"
#include "discovery/mdns_record.hpp"

namespace kestrune::discovery {

inline constexpr std::size_t kDnsHeaderBytes = 12;
inline constexpr std::size_t kMaxQuestions = 256;
inline constexpr std::size_t kMaxRecords = 256;  // answer, authority and additional together
inline constexpr std::size_t kMaxTxtRdataBytes = 2048;
inline constexpr std::size_t kMaxTxtKeys = 64;
inline constexpr std::size_t kMaxTxtKeyBytes = 64;
inline constexpr std::size_t kMaxTxtValueBytes = 512;

// The kept records in datagram order (all three sections alike). Queries and responses of any
// opcode or response code are decoded alike; an empty list is a success.
DnsResult<std::vector<MdnsRecord>> decode_mdns_message(std::span<const std::uint8_t> datagram);

}  // namespace kestrune::discovery
