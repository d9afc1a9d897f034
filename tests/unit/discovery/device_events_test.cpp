#include "discovery/device_events.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "discovery/mdns_message.hpp"
#include "tests/support/fake_receiver_records.hpp"
#include "tests/unit/discovery/discovery_test_support.hpp"
#include "tests/unit/discovery/recording_output.hpp"

namespace kestrune::discovery {
namespace {

using kestrune::testing::FakeReceiverRecords;
using kestrune::testing::RecordingOutput;

const InterfaceRecord kLink = lan_interface({198, 18, 0, 2});
constexpr OwnerTime kNow{100, 0};

FakeReceiverRecords receiver(std::string device_id, std::string instance) {
  FakeReceiverRecords r;
  r.device_id = std::move(device_id);
  r.instance = instance;
  r.host = instance + "-pod.local";
  return r;
}

const std::vector<FakeReceiverRecords> kThree = {receiver("00:11:22:33:44:55", "Hall"),
                                                 receiver("F0:E1:D2:C3:B4:A5", "Den"),
                                                 receiver("AA:BB:CC:DD:EE:FF", "Kitchen")};

class DeviceEvents : public ::testing::Test {
 protected:
  DeviceEvents() { cache.interfaces = std::vector{kLink}; }

  void ingest(const std::vector<std::uint8_t>& datagram) {
    auto records = decode_mdns_message(datagram);
    ASSERT_TRUE(records);
    ingest_mdns_records(cache, *records, kNow, kLink);
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
  ingest(receiver("00:00:00:00:00:00", "Study").answer());
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
  FakeReceiverRecords kitchen = receiver("AA:BB:CC:DD:EE:FF", "Kitchen");
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
