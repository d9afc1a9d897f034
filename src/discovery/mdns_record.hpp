#pragma once
// The records that discovery keeps from an mDNS datagram: A, PTR, TXT and SRV, with names in
// normalised form (trailing dots removed, ASCII letters lower-cased).

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <variant>

#include "platform/ip_address.hpp"

namespace kestrune::discovery {

inline constexpr std::uint16_t kTypeA = 1;
inline constexpr std::uint16_t kTypePtr = 12;
inline constexpr std::uint16_t kTypeTxt = 16;
inline constexpr std::uint16_t kTypeSrv = 33;

struct ARecordData {
  platform::IpAddress address{};
  friend bool operator==(const ARecordData&, const ARecordData&) = default;
};

struct PtrRecordData {
  std::string target;              // normalised
  std::string target_as_received;  // letter case and every character kept
  friend bool operator==(const PtrRecordData&, const PtrRecordData&) = default;
};

struct SrvRecordData {
  std::string target;  // normalised
  std::uint16_t port = 0;
  friend bool operator==(const SrvRecordData&, const SrvRecordData&) = default;
};

// Keys are unique and ordered by their bytes (std::string compares as unsigned char); lookups
// take any text.
using TxtEntries = std::map<std::string, std::string, std::less<>>;

struct TxtRecordData {
  TxtEntries entries;
  friend bool operator==(const TxtRecordData&, const TxtRecordData&) = default;
};

using RecordData = std::variant<ARecordData, PtrRecordData, TxtRecordData, SrvRecordData>;

struct MdnsRecord {
  std::string owner_name;  // normalised
  RecordData data;
  std::uint32_t ttl = 0;   // seconds, as received
  std::uint16_t type = 0;  // kTypeA, kTypePtr, kTypeTxt or kTypeSrv, matching data
  bool cache_flush = false;
  friend bool operator==(const MdnsRecord&, const MdnsRecord&) = default;
};

// Trailing "." characters removed, A to Z turned into a to z; nothing else changes.
std::string normalize_dns_name(std::string_view name);

}  // namespace kestrune::discovery
