#pragma once
// The record cache: every mDNS record discovery has heard, with its expiry in owner time and, for
// address records, the interface that received it. Ingestion applies the mDNS cache-flush and
// goodbye rules, drops unusable and subnet-broadcast addresses, caps lifetimes at one day and
// holds at most 2048 keys.
//
// The answers to our queries are legacy-unicast replies, which never carry the cache-flush bit,
// so a newer answer for a unique record set (the SRV, TXT or A records of one owner name, A on one
// interface) replaces the cached members of that set as a flush would; members received less
// than a second earlier stay, since one answer may come in several datagrams. Shared records (PTR)
// are never replaced by one answer. An expired entry leaves the cache when expired entries are
// dropped, and first whenever the 2048-key bound is reached, unless it supports a published
// device: those go only when the renewal schedule gives up on the device (or by a goodbye, a
// flush or a replacement). A cache belongs to one thread; nothing locks it.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <unordered_map>
#include <vector>

#include "discovery/discovered_device.hpp"
#include "discovery/mdns_record.hpp"
#include "discovery/owner_time.hpp"
#include "discovery/record_key.hpp"
#include "platform/interface_addresses.hpp"

namespace kestrune::discovery {

inline constexpr std::uint32_t kLargestTtlSeconds = 86'400;
inline constexpr std::size_t kMaxCacheKeys = 2048;
// Members of a unique record set received this recently survive a newer answer for the set.
inline constexpr std::chrono::seconds kReplacementHoldoff{1};

struct CacheEntry {
  MdnsRecord record;  // as last received under its key
  OwnerTime expiry;
  std::optional<platform::Ipv4InterfaceAddress> receiving_interface;  // A records only
  OwnerTime received;                                                 // when it was last received
};

using CacheRecords = std::unordered_map<RecordKey, CacheEntry, RecordKeyHash>;

struct DiscoveryCache {
  // The interfaces of the last browse pass, in order; absent before any pass and after a pass
  // that opened no socket. The device view checks address records against it only when present.
  std::optional<std::vector<platform::Ipv4InterfaceAddress>> interfaces;
  CacheRecords records;
  // Only the device-event emission replaces it; it stays empty in a pass-local cache.
  PublishedView published_view;
  // The supporting keys of the published devices, replaced with the published view: expiry does
  // not remove these, the renewal schedule does.
  RecordKeySet held_keys;
};

// Stores the records of one datagram, received at now on the given interface. Never fails.
void ingest_mdns_records(DiscoveryCache& cache, std::span<const MdnsRecord> batch, OwnerTime now,
                         const platform::Ipv4InterfaceAddress& receiving);

// The flush keys of the batch's records that carry the cache-flush bit and a TTL above 0. They
// refer to the batch's owner names.
FlushKeySet collect_cache_flush_keys(std::span<const MdnsRecord> batch,
                                     const platform::Ipv4InterfaceAddress& receiving);

// Removes every entry whose flush key is in the set, whatever its data.
void evict_cache_flush_records(CacheRecords& records, const FlushKeySet& flush_keys);

// Removes every entry whose expiry is at or before now, except the held keys.
void drop_expired_records(DiscoveryCache& cache, OwnerTime now);

// Removes the older members of every unique record set (SRV, TXT, A) that the batch brings with
// a TTL above 0: entries of the same owner name, type and interface part that were received at
// least kReplacementHoldoff before now and that the batch does not repeat.
void evict_replaced_records(CacheRecords& records, std::span<const MdnsRecord> batch,
                            const platform::Ipv4InterfaceAddress& receiving, OwnerTime now);

// Removes the entry with exactly this key; false when there was none.
bool remove_cache_record(CacheRecords& records, const RecordKey& key);

// When a record with this TTL, received at now, expires: now + min(ttl, one day), saturating.
OwnerTime record_expiry(OwnerTime now, std::uint32_t ttl);

}  // namespace kestrune::discovery
