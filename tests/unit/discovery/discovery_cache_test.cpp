#include "discovery/discovery_cache.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "discovery/address_rules.hpp"
#include "discovery/mdns_message.hpp"
#include "tests/support/dns_message_builder.hpp"
#include "tests/unit/discovery/discovery_test_support.hpp"

namespace kestrune::discovery {
namespace {

using testing::DnsMessageBuilder;

const platform::Ipv4InterfaceAddress kX = lan_interface({192, 168, 1, 10});
const platform::Ipv4InterfaceAddress kY = lan_interface({10, 1, 0, 4}, 16);
constexpr OwnerTime kNow{1000, 250};

std::vector<MdnsRecord> records_of(const DnsMessageBuilder& builder) {
  auto records = decode_mdns_message(builder.bytes());
  EXPECT_TRUE(records) << describe_dns_fault(records.error());
  return records ? std::move(*records) : std::vector<MdnsRecord>{};
}

class CacheTest : public ::testing::Test {
 protected:
  void ingest(const DnsMessageBuilder& datagram, const platform::Ipv4InterfaceAddress& receiving,
              OwnerTime now = kNow) {
    ingest_mdns_records(cache_, records_of(datagram), now, receiving);
  }

  const CacheEntry* find_a(std::string_view host, platform::IpAddress address,
                           const platform::Ipv4InterfaceAddress& receiving) const {
    const RecordKey key{std::string(host), address.to_string(), kTypeA, true,
                        receiving.address.v4_value()};
    const auto found = cache_.records.find(key);
    return found == cache_.records.end() ? nullptr : &found->second;
  }

  std::size_t count_of(std::uint16_t type, std::string_view owner) const {
    std::size_t count = 0;
    for (const auto& [key, entry] : cache_.records) {
      if (key.type == type && key.owner_name == owner) ++count;
    }
    return count;
  }

  DiscoveryCache cache_;
};

TEST_F(CacheTest, RecordKeysWriteTheDataAsText) {
  DnsMessageBuilder b;
  b.a("Host.local", {10, 0, 0, 2}).ptr("_airplay._tcp.local", "Kitchen._airplay._tcp.local");
  b.srv("kitchen._airplay._tcp.local", 7000, "Host.LOCAL");
  b.txt("kitchen._airplay._tcp.local", {"b=2", "A=1"}).txt("empty.local", {});
  const auto records = records_of(b);
  ASSERT_EQ(records.size(), 5u);
  const RecordKey expected[] = {
      {"host.local", "10.0.0.2", kTypeA, true, kX.address.v4_value()},
      {"_airplay._tcp.local", "kitchen._airplay._tcp.local", kTypePtr, false, {}},
      {"kitchen._airplay._tcp.local", "7000:host.local", kTypeSrv, false, {}},
      {"kitchen._airplay._tcp.local", std::string("a=1\0b=2\0", 8), kTypeTxt, false, {}},
      {"empty.local", "", kTypeTxt, false, {}},
  };
  for (std::size_t i = 0; i < records.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(record_cache_key(records[i], kX), expected[i]);
  }
}

TEST_F(CacheTest, StoresEntriesWithExpiryAndTheInterfaceOfAddressRecords) {
  ingest(DnsMessageBuilder().a("host.local", {10, 1, 0, 9}, 120).txt("host.local", {"a=1"}, 60),
         kY);
  ASSERT_EQ(cache_.records.size(), 2u);
  const CacheEntry* a = find_a("host.local", {10, 1, 0, 9}, kY);
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(a->expiry, (OwnerTime{1120, 250}));
  EXPECT_EQ(a->receiving_interface, kY);
  for (const auto& [key, entry] : cache_.records) {
    if (key.type == kTypeTxt) {
      EXPECT_EQ(entry.expiry, (OwnerTime{1060, 250}));
      EXPECT_FALSE(entry.receiving_interface);
    }
  }
}

TEST_F(CacheTest, TtlIsCappedAtOneDayAndExpirySaturates) {
  struct Case {
    OwnerTime now;
    std::uint32_t ttl;
    OwnerTime expiry;
  };
  const Case cases[] = {
      {kNow, 120, {1120, 250}},
      {kNow, 86'400, {87'400, 250}},
      {kNow, 100'000, {87'400, 250}},
      {kNow, 4'294'967'295u, {87'400, 250}},
      {{UINT64_MAX - 10, 7}, 10, {UINT64_MAX, 7}},
      {{UINT64_MAX - 10, 7}, 11, OwnerTime::max()},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.ttl);
    cache_.records.clear();
    ingest(DnsMessageBuilder().a("host.local", {10, 0, 0, 2}, c.ttl), kX, c.now);
    const CacheEntry* entry = find_a("host.local", {10, 0, 0, 2}, kX);
    ASSERT_NE(entry, nullptr);
    EXPECT_EQ(entry->expiry, c.expiry);
    EXPECT_EQ(entry->record.ttl, c.ttl) << "the record keeps the TTL as received";
  }
}

TEST_F(CacheTest, CacheFlushEvictsTheHostsAddressesOnTheReceivingInterfaceOnly) {
  ingest(DnsMessageBuilder()
             .a("host.local", {192, 168, 1, 20})
             .a("host.local", {192, 168, 1, 21})
             .txt("host.local", {"a=1"}),
         kX);
  ingest(DnsMessageBuilder().a("host.local", {10, 1, 0, 20}).a("other.local", {192, 168, 1, 30}),
         kY);
  ingest(DnsMessageBuilder().a("other.local", {192, 168, 1, 30}), kX);

  ingest(DnsMessageBuilder().a("host.local", {192, 168, 1, 99}, 120, true), kX);

  EXPECT_EQ(find_a("host.local", {192, 168, 1, 20}, kX), nullptr);
  EXPECT_EQ(find_a("host.local", {192, 168, 1, 21}, kX), nullptr);
  EXPECT_NE(find_a("host.local", {192, 168, 1, 99}, kX), nullptr);
  EXPECT_NE(find_a("host.local", {10, 1, 0, 20}, kY), nullptr) << "another interface";
  EXPECT_NE(find_a("other.local", {192, 168, 1, 30}, kX), nullptr) << "another host";
  EXPECT_EQ(count_of(kTypeTxt, "host.local"), 1u) << "another type";
}

TEST_F(CacheTest, CacheFlushWithTtlZeroOnlyRemovesItsOwnKey) {
  ingest(DnsMessageBuilder().a("host.local", {192, 168, 1, 20}).a("host.local", {192, 168, 1, 21}),
         kX);
  ingest(DnsMessageBuilder().a("host.local", {192, 168, 1, 20}, 0, true), kX);
  EXPECT_EQ(find_a("host.local", {192, 168, 1, 20}, kX), nullptr);
  EXPECT_NE(find_a("host.local", {192, 168, 1, 21}, kX), nullptr);
}

TEST_F(CacheTest, AFlushedSetArrivingInOneDatagramSurvivesTogether) {
  ingest(DnsMessageBuilder().a("host.local", {192, 168, 1, 20}), kX);
  ingest(DnsMessageBuilder()
             .a("host.local", {192, 168, 1, 21}, 120, true)
             .a("host.local", {192, 168, 1, 22}, 120, true),
         kX);
  EXPECT_EQ(count_of(kTypeA, "host.local"), 2u);
  EXPECT_EQ(find_a("host.local", {192, 168, 1, 20}, kX), nullptr);
  EXPECT_NE(find_a("host.local", {192, 168, 1, 21}, kX), nullptr);
  EXPECT_NE(find_a("host.local", {192, 168, 1, 22}, kX), nullptr);
}

TEST_F(CacheTest, TxtWithTheFlushBitReplacesOlderContent) {
  struct Case {
    bool cache_flush;
    std::size_t cached;
  };
  for (const Case c : {Case{false, 2}, Case{true, 1}}) {
    SCOPED_TRACE(c.cache_flush);
    cache_.records.clear();
    ingest(DnsMessageBuilder().txt("kitchen._airplay._tcp.local", {"model=Old"}, 4500, true), kX);
    ingest(
        DnsMessageBuilder().txt("kitchen._airplay._tcp.local", {"model=New"}, 4500, c.cache_flush),
        kY);  // the interface does not count for TXT
    EXPECT_EQ(count_of(kTypeTxt, "kitchen._airplay._tcp.local"), c.cached);
  }
}

// Legacy-unicast answers never carry the flush bit: a later answer for a receiver's unique record
// set stands for the whole set, while the PTR records of a service type are shared.
TEST_F(CacheTest, NewerAnswerReplacesAUniqueSetButNeverASharedOne) {
  const std::string instance = "kitchen._airplay._tcp.local";
  struct Case {
    const char* title;
    DnsMessageBuilder first;
    platform::Ipv4InterfaceAddress first_on;
    DnsMessageBuilder second;
    platform::Ipv4InterfaceAddress second_on;
    std::uint64_t seconds_later;
    std::uint16_t type;
    std::string owner;
    std::size_t cached;  // records of that type and owner afterwards
  };
  const Case cases[] = {
      {"txt with new values", DnsMessageBuilder().txt(instance, {"model=Old", "st=1"}), kX,
       DnsMessageBuilder().txt(instance, {"model=Old", "st=2"}), kX, 5, kTypeTxt, instance, 1},
      {"txt heard on another interface", DnsMessageBuilder().txt(instance, {"st=1"}), kX,
       DnsMessageBuilder().txt(instance, {"st=2"}), kY, 5, kTypeTxt, instance, 1},
      {"txt within the second of the first part", DnsMessageBuilder().txt(instance, {"st=1"}), kX,
       DnsMessageBuilder().txt(instance, {"st=2"}), kX, 0, kTypeTxt, instance, 2},
      {"srv naming another host", DnsMessageBuilder().srv(instance, 7000, "old.local"), kX,
       DnsMessageBuilder().srv(instance, 7000, "new.local"), kX, 5, kTypeSrv, instance, 1},
      {"address dropped",
       DnsMessageBuilder().a("host.local", {192, 168, 1, 20}).a("host.local", {192, 168, 1, 21}),
       kX, DnsMessageBuilder().a("host.local", {192, 168, 1, 21}), kX, 5, kTypeA, "host.local", 1},
      {"address set of another interface", DnsMessageBuilder().a("host.local", {10, 1, 0, 20}), kY,
       DnsMessageBuilder().a("host.local", {192, 168, 1, 21}), kX, 5, kTypeA, "host.local", 2},
      {"address goodbye replaces nothing",
       DnsMessageBuilder().a("host.local", {192, 168, 1, 20}).a("host.local", {192, 168, 1, 21}),
       kX, DnsMessageBuilder().a("host.local", {192, 168, 1, 22}, 0), kX, 5, kTypeA, "host.local",
       2},
      {"another owner", DnsMessageBuilder().txt(instance, {"st=1"}), kX,
       DnsMessageBuilder().txt("study._airplay._tcp.local", {"st=2"}), kX, 5, kTypeTxt, instance,
       1},
      {"service type pointers are shared",
       DnsMessageBuilder().ptr("_airplay._tcp.local", "Kitchen._airplay._tcp.local"), kX,
       DnsMessageBuilder().ptr("_airplay._tcp.local", "Study._airplay._tcp.local"), kX, 5, kTypePtr,
       "_airplay._tcp.local", 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.title);
    cache_.records.clear();
    ingest(c.first, c.first_on);
    ingest(c.second, c.second_on, kNow.plus_seconds(c.seconds_later));
    EXPECT_EQ(count_of(c.type, c.owner), c.cached);
  }
}

TEST_F(CacheTest, RepeatedRecordOfAReplacedSetIsRefreshed) {
  ingest(DnsMessageBuilder().a("host.local", {192, 168, 1, 20}).a("host.local", {192, 168, 1, 21}),
         kX);
  const OwnerTime later = kNow.plus_seconds(60);
  ingest(DnsMessageBuilder().a("host.local", {192, 168, 1, 21}, 30), kX, later);
  EXPECT_EQ(find_a("host.local", {192, 168, 1, 20}, kX), nullptr);
  const CacheEntry* kept = find_a("host.local", {192, 168, 1, 21}, kX);
  ASSERT_NE(kept, nullptr);
  EXPECT_EQ(kept->expiry, later.plus_seconds(30));
  EXPECT_EQ(kept->received, later);
}

TEST_F(CacheTest, ExpiredRecordsLeaveUnlessTheySupportAPublishedDevice) {
  ingest(DnsMessageBuilder()
             .a("junk.local", {192, 168, 1, 30}, 1)
             .a("pod.local", {192, 168, 1, 31}, 1)
             .a("live.local", {192, 168, 1, 32}, 120),
         kX);
  const RecordKey held{"pod.local", "192.168.1.31", kTypeA, true, kX.address.v4_value()};
  cache_.held_keys.insert(held);

  drop_expired_records(cache_, kNow);  // nothing has expired yet
  EXPECT_EQ(cache_.records.size(), 3u);
  drop_expired_records(cache_, kNow.plus_seconds(1));  // an expiry at now counts as passed
  EXPECT_EQ(find_a("junk.local", {192, 168, 1, 30}, kX), nullptr);
  EXPECT_NE(find_a("pod.local", {192, 168, 1, 31}, kX), nullptr) << "held";
  EXPECT_NE(find_a("live.local", {192, 168, 1, 32}, kX), nullptr);
}

TEST_F(CacheTest, GoodbyeRemovesOnlyItsOwnRecord) {
  ingest(DnsMessageBuilder()
             .ptr("_airplay._tcp.local", "Kitchen._airplay._tcp.local")
             .ptr("_airplay._tcp.local", "Study._airplay._tcp.local")
             .srv("kitchen._airplay._tcp.local", 7000, "kitchen.local"),
         kX);
  ingest(DnsMessageBuilder().ptr("_airplay._tcp.local", "KITCHEN._airplay._tcp.local", 0), kX);
  EXPECT_EQ(count_of(kTypePtr, "_airplay._tcp.local"), 1u);
  EXPECT_EQ(count_of(kTypeSrv, "kitchen._airplay._tcp.local"), 1u);
  const RecordKey study{"_airplay._tcp.local", "study._airplay._tcp.local", kTypePtr, false, {}};
  EXPECT_TRUE(cache_.records.contains(study));

  // A goodbye for a key that is not cached, and one whose address would be refused, do nothing.
  ingest(DnsMessageBuilder().a("nobody.local", {10, 0, 0, 1}, 0).a("x.local", {0, 0, 0, 0}, 0), kX);
  EXPECT_EQ(cache_.records.size(), 2u);
}

TEST_F(CacheTest, GoodbyeIsHandledBeforeTheAddressTest) {
  // 192.168.1.255 was stored while the interface reported no broadcast address; its goodbye
  // arrives once the same interface reports one, and still removes it.
  platform::Ipv4InterfaceAddress x_without_broadcast = kX;
  x_without_broadcast.broadcast.reset();
  ingest(DnsMessageBuilder().a("host.local", {192, 168, 1, 255}), x_without_broadcast);
  ASSERT_NE(find_a("host.local", {192, 168, 1, 255}, kX), nullptr);
  ingest(DnsMessageBuilder().a("host.local", {192, 168, 1, 255}, 0), kX);
  EXPECT_EQ(find_a("host.local", {192, 168, 1, 255}, kX), nullptr);
}

TEST_F(CacheTest, UnusableAndSubnetBroadcastAddressesAreNotStored) {
  struct Case {
    platform::IpAddress address;
    platform::Ipv4InterfaceAddress receiving;
    bool stored;
  };
  platform::Ipv4InterfaceAddress no_broadcast = kX;
  no_broadcast.broadcast.reset();
  const platform::Ipv4InterfaceAddress point_to_point = lan_interface({192, 168, 1, 254}, 31);
  const Case cases[] = {
      {{192, 168, 1, 255}, kX, false},
      {{192, 168, 1, 255}, kY, true},  // another subnet's broadcast is an ordinary address
      {{192, 168, 1, 255}, no_broadcast, true},
      {{192, 168, 1, 255}, point_to_point, true},
      {{10, 1, 255, 255}, kY, false},
      {{0, 0, 0, 0}, kX, false},
      {{127, 0, 0, 1}, kX, false},
      {{127, 255, 255, 254}, kX, false},
      {{224, 0, 0, 251}, kX, false},
      {{239, 255, 255, 250}, kX, false},
      {{255, 255, 255, 255}, kX, false},
      {{240, 0, 0, 1}, kX, true},
      {{223, 255, 255, 255}, kX, true},
      {{192, 168, 1, 20}, kX, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.address.to_string() + " on " + c.receiving.address.to_string());
    cache_.records.clear();
    ingest(DnsMessageBuilder().a("host.local", c.address), c.receiving);
    EXPECT_EQ(cache_.records.size(), c.stored ? 1u : 0u);
  }
}

TEST(SubnetBroadcast, EveryConditionMustHold) {
  const platform::Ipv4InterfaceAddress lan = lan_interface({192, 168, 1, 10});
  platform::Ipv4InterfaceAddress wrong_mask = lan;
  wrong_mask.netmask = {255, 255, 0, 0};
  platform::Ipv4InterfaceAddress odd_broadcast = lan;
  odd_broadcast.broadcast = {192, 168, 1, 127};
  platform::Ipv4InterfaceAddress prefix_zero;
  prefix_zero.address = {10, 0, 0, 1};
  prefix_zero.broadcast = {255, 255, 255, 255};
  struct Case {
    const char* title;
    platform::Ipv4InterfaceAddress interface;
    platform::IpAddress address;
    bool broadcast;
  };
  const Case cases[] = {
      {"own broadcast", lan, {192, 168, 1, 255}, true},
      {"a host address", lan, {192, 168, 1, 20}, false},
      {"netmask not of the prefix", wrong_mask, {192, 168, 1, 255}, false},
      {"broadcast that is not all host bits", odd_broadcast, {192, 168, 1, 127}, false},
      {"all host bits but not the reported broadcast", odd_broadcast, {192, 168, 1, 255}, false},
      {"prefix 30", lan_interface({192, 168, 1, 9}, 30), {192, 168, 1, 11}, true},
      {"prefix 31", lan_interface({192, 168, 1, 9}, 31), {192, 168, 1, 9}, false},
      {"prefix 0", prefix_zero, {255, 255, 255, 255}, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.title);
    EXPECT_EQ(is_subnet_broadcast(c.interface, c.address), c.broadcast);
  }
}

TEST_F(CacheTest, FullCacheIgnoresNewKeysButRefreshesCachedOnes) {
  for (std::uint32_t i = 0; i < kMaxCacheKeys; ++i) {
    ingest(DnsMessageBuilder().txt("host" + std::to_string(i) + ".local", {"a=1"}), kX);
  }
  ASSERT_EQ(cache_.records.size(), kMaxCacheKeys);

  const OwnerTime later{5000, 0};
  ingest(DnsMessageBuilder().txt("new.local", {"a=1"}).txt("host7.local", {"a=1"}, 600), kX, later);
  EXPECT_EQ(cache_.records.size(), kMaxCacheKeys);
  EXPECT_EQ(count_of(kTypeTxt, "new.local"), 0u);
  const RecordKey refreshed{"host7.local", std::string("a=1\0", 4), kTypeTxt, false, {}};
  ASSERT_TRUE(cache_.records.contains(refreshed));
  EXPECT_EQ(cache_.records.at(refreshed).expiry, (OwnerTime{5600, 0}));

  // A goodbye makes room for exactly one new key.
  ingest(DnsMessageBuilder()
             .txt("host7.local", {"a=1"}, 0)
             .txt("new.local", {"a=1"})
             .txt("newer.local", {"a=1"}),
         kX);
  EXPECT_EQ(cache_.records.size(), kMaxCacheKeys);
  EXPECT_EQ(count_of(kTypeTxt, "new.local"), 1u);
  EXPECT_EQ(count_of(kTypeTxt, "newer.local"), 0u);
}

TEST_F(CacheTest, TheBoundHoldsLiveRecordsExpiredOnesMakeRoomFirst) {
  // A burst of junk that lives one second fills the cache; one of its records is held.
  for (std::uint32_t i = 0; i < kMaxCacheKeys; ++i) {
    ingest(DnsMessageBuilder().txt("junk" + std::to_string(i) + ".local", {"a=1"}, 1), kX);
  }
  ASSERT_EQ(cache_.records.size(), kMaxCacheKeys);
  const RecordKey held{"junk7.local", std::string("a=1\0", 4), kTypeTxt, false, {}};
  cache_.held_keys.insert(held);

  ingest(DnsMessageBuilder().txt("early.local", {"a=1"}), kX, kNow);
  EXPECT_EQ(count_of(kTypeTxt, "early.local"), 0u) << "nothing has expired yet";

  ingest(DnsMessageBuilder().txt("receiver.local", {"a=1"}), kX, kNow.plus_seconds(2));
  EXPECT_EQ(count_of(kTypeTxt, "receiver.local"), 1u);
  EXPECT_EQ(cache_.records.size(), 2u) << "the held record and the new one";
  EXPECT_TRUE(cache_.records.contains(held));
}

TEST(CacheFlushKeys, OnlyFlushRecordsWithALifetime) {
  DnsMessageBuilder b;
  b.a("host.local", {10, 0, 0, 1}, 120, true).a("host.local", {10, 0, 0, 2}, 120, true);
  b.a("gone.local", {10, 0, 0, 3}, 0, true).a("plain.local", {10, 0, 0, 4});
  b.srv("kitchen._airplay._tcp.local", 7000, "host.local", 120, true);
  const std::vector<MdnsRecord> batch = records_of(b);  // the keys refer to its names
  const FlushKeySet keys = collect_cache_flush_keys(batch, kX);
  const FlushKeySet expected = {{"host.local", kTypeA, true, kX.address.v4_value()},
                                {"kitchen._airplay._tcp.local", kTypeSrv, false, {}}};
  EXPECT_EQ(keys, expected);
}

TEST_F(CacheTest, RemovalByExactKey) {
  ingest(DnsMessageBuilder().a("host.local", {10, 1, 0, 20}).a("host.local", {10, 1, 0, 21}), kY);
  const RecordKey key{"host.local", "10.1.0.20", kTypeA, true, kY.address.v4_value()};
  RecordKey on_other_interface = key;
  on_other_interface.interface_address = kX.address.v4_value();
  EXPECT_FALSE(remove_cache_record(cache_.records, on_other_interface));
  EXPECT_TRUE(remove_cache_record(cache_.records, key));
  EXPECT_FALSE(remove_cache_record(cache_.records, key));
  EXPECT_EQ(cache_.records.size(), 1u);
}

}  // namespace
}  // namespace kestrune::discovery
