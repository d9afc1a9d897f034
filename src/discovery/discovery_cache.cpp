#include "discovery/discovery_cache.hpp"

#include <algorithm>
#include <variant>

namespace kestrune::discovery {
namespace {

// Whether an address record may enter the cache from this interface.
bool is_storable_address(const MdnsRecord& record, const InterfaceRecord& receiving) {
  const auto* a = std::get_if<ARecordData>(&record.data);
  if (a == nullptr) return true;
  return !is_unusable_address(a->address) && !is_subnet_broadcast(receiving, a->address);
}

}  // namespace

OwnerTime record_expiry(OwnerTime now, std::uint32_t ttl) {
  return now.plus_seconds(std::min(ttl, kLargestTtlSeconds));
}

FlushKeySet collect_cache_flush_keys(std::span<const MdnsRecord> batch,
                                     const InterfaceRecord& receiving) {
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

bool remove_cache_record(CacheRecords& records, const RecordKey& key) {
  return records.erase(key) != 0;
}

void ingest_mdns_records(DiscoveryCache& cache, std::span<const MdnsRecord> batch, OwnerTime now,
                         const InterfaceRecord& receiving) {
  // Once per batch, before anything is stored, so that every member of a flushed set arriving in
  // this datagram survives together.
  evict_cache_flush_records(cache.records, collect_cache_flush_keys(batch, receiving));

  for (const MdnsRecord& record : batch) {
    RecordKey key = record_cache_key(record, receiving);
    if (record.ttl == 0) {
      remove_cache_record(cache.records, key);
      continue;
    }
    if (!is_storable_address(record, receiving)) continue;
    auto existing = cache.records.find(key);
    if (existing == cache.records.end() && cache.records.size() >= kMaxCacheKeys) continue;

    CacheEntry entry{record, record_expiry(now, record.ttl), std::nullopt};
    if (std::holds_alternative<ARecordData>(record.data)) entry.receiving_interface = receiving;
    if (existing != cache.records.end()) {
      existing->second = std::move(entry);
    } else {
      cache.records.emplace(std::move(key), std::move(entry));
    }
  }
}

}  // namespace kestrune::discovery
