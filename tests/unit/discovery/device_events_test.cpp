#include "discovery/device_events.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "discovery/device_view.hpp"
#include "discovery/mdns_message.hpp"
#include "tests/support/fake_receiver_records.hpp"
#include "tests/unit/discovery/discovery_test_support.hpp"
#include "tests/unit/discovery/recording_output.hpp"

namespace kestrune::discovery {
namespace {

using kestrune::testing::fake_receiver;
using kestrune::testing::FakeReceiverRecords;
using kestrune::testing::RecordingOutput;

const platform::Ipv4InterfaceAddress kLink = lan_interface({198, 18, 0, 2});
constexpr OwnerTime kNow{100, 0};

const std::vector<FakeReceiverRecords> kThree = {fake_receiver("00:11:22:33:44:55", "Hall"),
                                                 fake_receiver("F0:E1:D2:C3:B4:A5", "Den"),
                                                 fake_receiver("AA:BB:CC:DD:EE:FF", "Kitchen")};

class DeviceEvents : public ::testing::Test {
 protected:
  DeviceEvents() { cache.interfaces = std::vector{kLink}; }

  void ingest(const std::vector<std::uint8_t>& datagram, OwnerTime when = kNow) {
    auto records = decode_mdns_message(datagram);
    ASSERT_TRUE(records);
    ingest_mdns_records(cache, *records, when, kLink);
  }
  bool emit(ExpiryReason reason, Announce announce) {
    return emit_device_events(cache, output, reason, announce);
  }
  std::vector<std::string> published_ids() const {
    std::vector<std::string> ids;
    for (const auto& [id, device] : cache.published_view) ids.push_back(id);
    std::sort(ids.begin(), ids.end());
    return ids;
  }

  DiscoveryCache cache;
  RecordingOutput output;
};

TEST_F(DeviceEvents, WithoutAnnounceNewDevicesArePublishedSilently) {
  ingest(kThree[0].answer());
  EXPECT_TRUE(emit(ExpiryReason::authoritative_removal, Announce::no));
  EXPECT_TRUE(output.events().empty());
  EXPECT_EQ(published_ids().size(), 1U);
  EXPECT_TRUE(emit(ExpiryReason::authoritative_removal, Announce::yes))
      << "published already: nothing is new";
  EXPECT_TRUE(output.events().empty());
}

TEST_F(DeviceEvents, RemovalsCarryTheReasonAndComeBeforeAnnouncements) {
  for (const auto& r : kThree) ingest(r.answer());
  ASSERT_TRUE(emit(ExpiryReason::authoritative_removal, Announce::no));
  const auto gone = published_ids();
  ASSERT_EQ(gone.size(), 3U);

  for (const auto& r : kThree) ingest(r.goodbye());
  ingest(fake_receiver("00:00:00:00:00:00", "Study").answer());
  ASSERT_TRUE(emit(ExpiryReason::renewal_miss, Announce::yes));
  const auto events = output.summary();
  ASSERT_EQ(events.size(), 4U);
  std::vector<std::string> expired(events.begin(), events.begin() + 3);
  std::sort(expired.begin(), expired.end());
  for (std::size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(expired[i], "deviceExpired " + gone[i] + " renewalMiss");
  }
  EXPECT_TRUE(events[3].starts_with("deviceDiscovered ")) << events[3];
  EXPECT_EQ(output.events()[3].payload.size(), 1U) << "the payload is {device} alone";
}

TEST_F(DeviceEvents, ChangedDeviceIsAnnouncedAgainInFull) {
  FakeReceiverRecords kitchen = fake_receiver("AA:BB:CC:DD:EE:FF", "Kitchen");
  ingest(kitchen.answer());
  ASSERT_TRUE(emit(ExpiryReason::renewal_miss, Announce::yes));
  ingest(kitchen.goodbye());  // between two emissions: the host never sees it gone
  kitchen.port = 7001;
  ingest(kitchen.answer());
  ASSERT_TRUE(emit(ExpiryReason::renewal_miss, Announce::yes));
  const auto events = output.events();
  ASSERT_EQ(events.size(), 2U);
  EXPECT_EQ(events[1].name, "deviceDiscovered");
  EXPECT_EQ(events[1].payload.at("device").at("port"), 7001);
  EXPECT_EQ(events[1].payload.at("device").size(), 7U);
}

// A receiver changes a status flag or its address and answers again some seconds later: it is
// announced with the new values and nothing of the old ones is left to hold its expiry back.
TEST_F(DeviceEvents, ReceiverThatChangesItsRecordsIsAnnouncedWithTheNewOnes) {
  struct Case {
    const char* title;
    void (*change)(FakeReceiverRecords&);
    const char* field;
    nlohmann::json value;
  };
  const Case cases[] = {
      {"txt", [](FakeReceiverRecords& r) { r.features = "0x445F8A01"; }, "featuresHex",
       "0x445f8a01"},
      {"address", [](FakeReceiverRecords& r) { r.address = {198, 18, 0, 9}; }, "addresses",
       nlohmann::json::array({"198.18.0.9"})},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.title);
    cache = DiscoveryCache{};
    cache.interfaces = std::vector{kLink};
    RecordingOutput events;
    FakeReceiverRecords r = kThree[2];
    r.ttl = 10;
    ingest(r.answer());
    ASSERT_TRUE(
        emit_device_events(cache, events, ExpiryReason::authoritative_removal, Announce::yes));
    c.change(r);
    const OwnerTime later = kNow.plus_seconds(8);
    ingest(r.answer(), later);
    ASSERT_TRUE(
        emit_device_events(cache, events, ExpiryReason::authoritative_removal, Announce::yes));

    const auto sent = events.events();
    ASSERT_EQ(sent.size(), 2U);
    EXPECT_EQ(sent[1].name, "deviceDiscovered");
    EXPECT_EQ(sent[1].payload["device"][c.field], c.value);
    const DeviceView view = build_device_view(cache);
    ASSERT_EQ(view.size(), 1U);
    EXPECT_EQ(view.begin()->second.airplay_expiry, later.plus_seconds(10));
  }
}

TEST_F(DeviceEvents, PublishedDevicesHoldTheirSupportingRecordsAgainstExpiry) {
  ingest(kThree[0].answer());
  ingest(kThree[1].answer());
  ASSERT_TRUE(emit(ExpiryReason::authoritative_removal, Announce::no));
  RecordKeySet supporting;
  for (const auto& [id, entry] : build_device_view(cache)) {
    supporting.insert(entry.supporting_keys.begin(), entry.supporting_keys.end());
  }
  EXPECT_EQ(cache.held_keys, supporting);
  EXPECT_EQ(supporting.size(), 8U) << "PTR, TXT, SRV and A of each";

  // Long after every record expired, what stands behind the two devices is still there for the
  // renewal schedule to give up on; their "_raop._tcp.local" records have gone.
  drop_expired_records(cache, kNow.plus_seconds(10'000));
  EXPECT_EQ(cache.records.size(), 8U);
  EXPECT_EQ(build_device_view(cache).size(), 2U);
}

TEST_F(DeviceEvents, RefusedPushLeavesThePublishedViewAsItWas) {
  ingest(kThree[0].answer());
  ingest(kThree[1].answer());
  ASSERT_TRUE(emit(ExpiryReason::authoritative_removal, Announce::no));
  const auto before = cache.published_view;

  ingest(kThree[0].goodbye());
  ingest(kThree[1].goodbye());
  output.accept_at_most(1);
  EXPECT_FALSE(emit(ExpiryReason::authoritative_removal, Announce::no));
  EXPECT_EQ(output.events().size(), 1U) << "the first event stays queued";
  EXPECT_EQ(output.push_attempts(), 2U) << "the second push was tried and refused";
  EXPECT_EQ(cache.published_view, before);

  output.accept_at_most(10);
  EXPECT_TRUE(emit(ExpiryReason::authoritative_removal, Announce::no));
  EXPECT_EQ(output.events().size(), 3U) << "both removals are owed again";
  EXPECT_TRUE(cache.published_view.empty());
}

}  // namespace
}  // namespace kestrune::discovery
