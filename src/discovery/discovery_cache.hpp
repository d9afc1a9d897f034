#pragma once
// The record cache: every mDNS record discovery has heard, with its expiry in owner time and, for
// address records, the interface that received it. Ingestion applies the mDNS cache-flush and
// goodbye rules, drops unusable and subnet-broadcast addresses, caps lifetimes at one day and
// holds at most 2048 keys. Entries leave only by a flush, a goodbye or an explicit removal: an
// expired entry stays until the owner removes it. A cache belongs to one thread; nothing locks it.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <unordered_map>
#include <vector>

#include "discovery/discovered_device.hpp"
#include "discovery/interface_record.hpp"
#include "discovery/mdns_record.hpp"
#include "discovery/owner_time.hpp"
#include "discovery/record_key.hpp"

namespace kestrune::discovery {

inline constexpr std::uint32_t kLargestTtlSeconds = 86'400;
inline constexpr std::size_t kMaxCacheKeys = 2048;

struct CacheEntry {
  MdnsRecord record;  // as last received under its key
  OwnerTime expiry;
  std::optional<InterfaceRecord> receiving_interface;  // A records only
};

using CacheRecords = std::unordered_map<RecordKey, CacheEntry, RecordKeyHash>;

struct DiscoveryCache {
  // The interfaces of the last browse pass, in order; absent before any pass and after a pass
  // that opened no socket. The device view checks address records against it only when present.
  std::optional<std::vector<InterfaceRecord>> interfaces;
  CacheRecords records;
  // Only the device-event emission replaces it; it stays empty in a pass-local cache.
  PublishedView published_view;
};

// Stores the records of one datagram, received at now on the given interface. Never fails.
void ingest_mdns_records(DiscoveryCache& cache, std::span<const MdnsRecord> batch, OwnerTime now,
                         const InterfaceRecord& receiving);

// The flush keys of the batch's records that carry the cache-flush bit and a TTL above 0. They
// refer to the batch's owner names.
FlushKeySet collect_cache_flush_keys(std::span<const MdnsRecord> batch,
                                     const InterfaceRecord& receiving);

// Removes every entry whose flush key is in the set, whatever its data.
void evict_cache_flush_records(CacheRecords& records, const FlushKeySet& flush_keys);

// Removes the entry with exactly this key; false when there was none.
bool remove_cache_record(CacheRecords& records, const RecordKey& key);

// When a record with this TTL, received at now, expires: now + min(ttl, one day), saturating.
OwnerTime record_expiry(OwnerTime now, std::uint32_t ttl);

}  // namespace kestrune::discovery
