#include "discovery/discovery_cache.hpp"

#include <algorithm>
#include <variant>

#include "discovery/address_rules.hpp"

namespace kestrune::discovery {
namespace {

// Whether an address record may enter the cache from this interface.
bool is_storable_address(const MdnsRecord& record,
                         const platform::Ipv4InterfaceAddress& receiving) {
  const auto* a = std::get_if<ARecordData>(&record.data);
  if (a == nullptr) return true;
  return !is_unusable_address(a->address) && !is_subnet_broadcast(receiving, a->address);
}

// SRV, TXT and A sets belong to one receiver; a PTR set of a service type is shared by many.
bool is_unique_type(std::uint16_t type) {
  return type == kTypeSrv || type == kTypeTxt || type == kTypeA;
}

}  // namespace

OwnerTime record_expiry(OwnerTime now, std::uint32_t ttl) {
  return now.plus_seconds(std::min(ttl, kLargestTtlSeconds));
}

FlushKeySet collect_cache_flush_keys(std::span<const MdnsRecord> batch,
                                     const platform::Ipv4InterfaceAddress& receiving) {
  FlushKeySet keys;
  for (const MdnsRecord& record : batch) {
    if (record.cache_flush && record.ttl > 0) {
      keys.insert(flush_key_of(record, receiving));
    }
  }
  return keys;
}

void evict_cache_flush_records(CacheRecords& records, const FlushKeySet& flush_keys) {
  if (flush_keys.empty()) return;
  std::erase_if(records,
                [&](const auto& item) { return flush_keys.contains(flush_key_of(item.first)); });
}

void evict_replaced_records(CacheRecords& records, std::span<const MdnsRecord> batch,
                            const platform::Ipv4InterfaceAddress& receiving, OwnerTime now) {
  FlushKeySet sets;
  RecordKeySet repeated;
  for (const MdnsRecord& record : batch) {
    if (!is_unique_type(record.type) || record.ttl == 0) continue;
    sets.insert(flush_key_of(record, receiving));
    repeated.insert(record_cache_key(record, receiving));
  }
  if (sets.empty()) return;
  std::erase_if(records, [&](const auto& item) {
    return now.duration_since(item.second.received) >= kReplacementHoldoff &&
           sets.contains(flush_key_of(item.first)) && !repeated.contains(item.first);
  });
}

void drop_expired_records(DiscoveryCache& cache, OwnerTime now) {
  std::erase_if(cache.records, [&](const auto& item) {
    return item.second.expiry <= now && !cache.held_keys.contains(item.first);
  });
}

bool remove_cache_record(CacheRecords& records, const RecordKey& key) {
  return records.erase(key) != 0;
}

void ingest_mdns_records(DiscoveryCache& cache, std::span<const MdnsRecord> batch, OwnerTime now,
                         const platform::Ipv4InterfaceAddress& receiving) {
  // Once per batch, before anything is stored, so that every member of a flushed set arriving in
  // this datagram survives together.
  evict_cache_flush_records(cache.records, collect_cache_flush_keys(batch, receiving));
  // Likewise for the sets this answer brings anew, flush bit or not.
  evict_replaced_records(cache.records, batch, receiving, now);

  bool expired_dropped = false;
  for (const MdnsRecord& record : batch) {
    RecordKey key = record_cache_key(record, receiving);
    if (record.ttl == 0) {
      remove_cache_record(cache.records, key);
      continue;
    }
    if (!is_storable_address(record, receiving)) continue;
    auto existing = cache.records.find(key);
    if (existing == cache.records.end() && cache.records.size() >= kMaxCacheKeys) {
      // The bound is for live records: expired ones make room first, once per datagram.
      if (expired_dropped) continue;
      expired_dropped = true;
      drop_expired_records(cache, now);
      if (cache.records.size() >= kMaxCacheKeys) continue;
    }

    CacheEntry entry{record, record_expiry(now, record.ttl), std::nullopt, now};
    if (std::holds_alternative<ARecordData>(record.data)) entry.receiving_interface = receiving;
    if (existing != cache.records.end()) {
      existing->second = std::move(entry);
    } else {
      cache.records.emplace(std::move(key), std::move(entry));
    }
  }
}

}  // namespace kestrune::discovery
