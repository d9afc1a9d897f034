#pragma once
// The identity of a cached record: its owner, its data written as text, its type and, for A
// records only, the interface that received it. The flush key leaves the data out; a cache-flush
// record evicts every entry that shares its flush key. The receiving interface is kept as its
// IPv4 address's number (IpAddress::v4_value): four bytes, not the seventeen of the address value,
// since every device of a view copies its supporting keys.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_set>

#include "discovery/mdns_record.hpp"
#include "platform/interface_addresses.hpp"
#include "platform/ip_address.hpp"

namespace kestrune::discovery {

struct RecordKey {
  std::string owner_name;  // normalised
  // A: dotted decimal; PTR: the normalised target; SRV: "<port>:<normalised target>";
  // TXT: "<key>=<value>\0" for each entry in key order ("" for no entries).
  std::string data_text;
  std::uint16_t type = 0;
  bool interface_present = false;       // A records only
  std::uint32_t interface_address = 0;  // its v4_value()
  friend bool operator==(const RecordKey&, const RecordKey&) = default;
};

// Refers to the owner name of the record or key it was made from; use it while that lives.
struct FlushKey {
  std::string_view owner_name;
  std::uint16_t type = 0;
  bool interface_present = false;
  std::uint32_t interface_address = 0;  // its v4_value()
  friend bool operator==(const FlushKey&, const FlushKey&) = default;
};

// Keyed with the process hash key (keyed_hash.hpp).
struct RecordKeyHash {
  std::size_t operator()(const RecordKey& key) const;
};
struct FlushKeyHash {
  std::size_t operator()(const FlushKey& key) const;
};

using RecordKeySet = std::unordered_set<RecordKey, RecordKeyHash>;
using FlushKeySet = std::unordered_set<FlushKey, FlushKeyHash>;

// The key of a record received on an interface (the interface counts for A records only).
RecordKey record_cache_key(const MdnsRecord& record,
                           const platform::Ipv4InterfaceAddress& receiving);

FlushKey flush_key_of(const RecordKey& key);
// The flush key of a record received on an interface, without building its data text.
FlushKey flush_key_of(const MdnsRecord& record, const platform::Ipv4InterfaceAddress& receiving);

}  // namespace kestrune::discovery
