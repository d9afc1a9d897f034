#include "discovery/device_view.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "discovery/device_identity.hpp"
#include "discovery/mdns_message.hpp"
#include "tests/support/dns_message_builder.hpp"
#include "tests/unit/discovery/discovery_test_support.hpp"
#include "tests/unit/discovery/literal_device_view.hpp"

namespace kestrune::discovery {
namespace {

using testing::DnsMessageBuilder;

const platform::Ipv4InterfaceAddress kX = lan_interface({192, 168, 1, 10});
const platform::Ipv4InterfaceAddress kY = lan_interface({10, 1, 0, 4}, 16);
constexpr OwnerTime kNow{1000, 0};
const std::string kKitchenId = stable_device_id("aabbccddeeff");

// What one receiver publishes under one service.
struct Publication {
  std::string label;
  std::vector<std::string> txt;              // no TXT record when empty
  std::optional<std::uint16_t> port = 7000;  // no SRV record when absent
  std::string host = "kitchen-pod.local";
  std::vector<platform::IpAddress> addresses = {{192, 168, 1, 40}};
  std::uint32_t ttl = 120;  // of the SRV and A records; PTR and TXT live 4500 s
};

Publication kitchen_airplay() {
  return {"Kitchen", {"deviceid=AA:BB:CC:DD:EE:FF", "model=AudioAccessory6,1"}};
}

Publication kitchen_raop() { return {"aabbccddeeff@Kitchen", {"model=AudioAccessory6,1"}}; }

// "00:00:00:00:hh:ll" for a receiver number.
std::string numbered_device_id(int n) {
  const std::uint8_t bytes[] = {static_cast<std::uint8_t>(n >> 8), static_cast<std::uint8_t>(n)};
  const std::string hex = hex_lower(bytes);
  return "00:00:00:00:" + hex.substr(0, 2) + ":" + hex.substr(2);
}

void publish(DnsMessageBuilder& b, std::string_view service, const Publication& p) {
  const std::string instance = p.label + "." + std::string(service);
  b.ptr(service, instance, 4500);
  if (!p.txt.empty()) b.txt(instance, p.txt, 4500);
  if (p.port) b.srv(instance, *p.port, p.host, p.ttl);
  for (const platform::IpAddress& address : p.addresses) b.a(p.host, address, p.ttl);
}

class DeviceViewTest : public ::testing::Test {
 protected:
  DeviceViewTest() { cache_.interfaces = std::vector{kX, kY}; }

  void ingest(const DnsMessageBuilder& datagram,
              const platform::Ipv4InterfaceAddress& receiving = kX, OwnerTime now = kNow) {
    auto records = decode_mdns_message(datagram.bytes());
    ASSERT_TRUE(records) << describe_dns_fault(records.error());
    ingest_mdns_records(cache_, *records, now, receiving);
  }
  void ingest(std::optional<Publication> airplay, std::optional<Publication> raop = std::nullopt,
              const platform::Ipv4InterfaceAddress& receiving = kX) {
    DnsMessageBuilder b;
    if (airplay) publish(b, kAirplayService, *airplay);
    if (raop) publish(b, kRaopService, *raop);
    ingest(b, receiving);
  }

  // The one device of the view; a failure when there is not exactly one.
  std::optional<ViewEntry> only_device() const {
    DeviceView view = build_device_view(cache_);
    if (view.size() != 1) {
      ADD_FAILURE() << "view holds " << view.size() << " devices";
      return std::nullopt;
    }
    return std::move(view.begin()->second);
  }

  RecordKey key_of(const DnsMessageBuilder& datagram, std::size_t index,
                   const platform::Ipv4InterfaceAddress& receiving = kX) const {
    auto records = decode_mdns_message(datagram.bytes());
    EXPECT_TRUE(records && index < records->size());
    return record_cache_key(records->at(index), receiving);
  }

  DiscoveryCache cache_;
};

TEST_F(DeviceViewTest, CompleteReceiverIsListedWithItsSupportingRecords) {
  DnsMessageBuilder b;
  Publication airplay = kitchen_airplay();
  airplay.txt.push_back("features=0x4A7FDFD5");
  publish(b, kAirplayService, airplay);
  ingest(b);

  // The address is heard again later with a shorter lifetime: it now expires first.
  ingest(DnsMessageBuilder().a("kitchen-pod.local", {192, 168, 1, 40}, 30), kX,
         kNow.plus_seconds(10));

  const auto entry = only_device();
  ASSERT_TRUE(entry);
  const DiscoveredDevice expected{kKitchenId,       "Kitchen", "Kitchen",   "AudioAccessory6,1",
                                  {"192.168.1.40"}, 7000,      "0x4a7fdfd5"};
  EXPECT_EQ(entry->device, expected);
  EXPECT_EQ(build_device_view(cache_).begin()->first, kKitchenId);
  const RecordKeySet keys = {key_of(b, 0), key_of(b, 1), key_of(b, 2), key_of(b, 3)};
  EXPECT_EQ(entry->supporting_keys, keys);
  EXPECT_EQ(entry->airplay_expiry, kNow.plus_seconds(40));
}

TEST_F(DeviceViewTest, AdmissionFailsAtTheFirstMissingPiece) {
  struct Case {
    const char* title;
    std::function<void(Publication& airplay, Publication& raop)> change;
    bool with_airplay;
    bool with_raop;
    bool admitted;
  };
  const auto model = [](Publication& p, std::string value) {
    p.txt = {"deviceid=AA:BB:CC:DD:EE:FF", "model=" + value};
  };
  const Case cases[] = {
      {"airplay alone", [](Publication&, Publication&) {}, true, false, true},
      {"raop alone, however complete", [](Publication&, Publication&) {}, false, true, false},
      {"airplay without device id next to a raop instance",
       [](Publication& a, Publication&) { a.txt = {"model=AudioAccessory6,1"}; }, true, true,
       false},
      {"airplay with an unusable device id",
       [](Publication& a, Publication&) { a.txt = {"deviceid=AA:BB:CC", "model=AudioAccessory"}; },
       true, false, false},
      {"model prefix alone", [&](Publication& a, Publication&) { model(a, "AudioAccessory"); },
       true, false, true},
      {"model prefix in lower case",
       [&](Publication& a, Publication&) { model(a, "audioaccessory6,1"); }, true, false, false},
      {"model of another family", [&](Publication& a, Publication&) { model(a, "AppleTV6,2"); },
       true, false, false},
      {"model one byte short of the prefix",
       [&](Publication& a, Publication&) { model(a, "AudioAccessor"); }, true, false, false},
      {"model of 65 bytes",
       [&](Publication& a, Publication&) { model(a, "AudioAccessory" + std::string(51, '1')); },
       true, false, false},
      {"model of 64 bytes",
       [&](Publication& a, Publication&) { model(a, "AudioAccessory" + std::string(50, '1')); },
       true, false, true},
      {"model with a control character",
       [&](Publication& a, Publication&) { model(a, "AudioAccessory\x7F"); }, true, false, false},
      {"model only on the raop instance",
       [](Publication& a, Publication&) { a.txt = {"deviceid=AA:BB:CC:DD:EE:FF"}; }, true, true,
       true},
      {"no SRV record", [](Publication& a, Publication&) { a.port.reset(); }, true, false, false},
      {"no SRV on airplay, the raop SRV gives port and addresses",
       [](Publication& a, Publication&) { a.port.reset(); }, true, true, true},
      {"no address record", [](Publication& a, Publication&) { a.addresses.clear(); }, true, false,
       false},
      {"SRV target without addresses",
       [](Publication& a, Publication&) {
         a.host = "elsewhere.local";
         a.addresses.clear();
       },
       true, false, false},
      {"features are not tested",
       [](Publication& a, Publication&) { a.txt.push_back("features=not hex"); }, true, false,
       true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.title);
    cache_.records.clear();
    Publication airplay = kitchen_airplay();
    Publication raop = kitchen_raop();
    c.change(airplay, raop);
    ingest(c.with_airplay ? std::optional(airplay) : std::nullopt,
           c.with_raop ? std::optional(raop) : std::nullopt);
    const DeviceView view = build_device_view(cache_);
    EXPECT_EQ(view.size(), c.admitted ? 1u : 0u);
  }
}

TEST_F(DeviceViewTest, BothServicesOfOneReceiverMergeIntoOneDevice) {
  Publication airplay = kitchen_airplay();  // "deviceid=AA:BB:CC:DD:EE:FF"
  airplay.ttl = 200;
  Publication raop = kitchen_raop();  // "aabbccddeeff@Kitchen"
  raop.host = "kitchen-raop.local";
  raop.addresses = {{192, 168, 1, 41}};
  raop.port = 5000;
  raop.ttl = 10;
  raop.txt = {"roomname=Kitchen Room"};
  ingest(airplay, raop);

  const auto entry = only_device();
  ASSERT_TRUE(entry);
  EXPECT_EQ(entry->device.id, kKitchenId);
  EXPECT_EQ(entry->device.port, 7000) << "the airplay port wins";
  EXPECT_EQ(entry->device.addresses, (std::vector<std::string>{"192.168.1.40", "192.168.1.41"}));
  EXPECT_EQ(entry->device.roomName, "Kitchen Room");
  // Only the airplay instance's records support the device and set its expiry.
  EXPECT_EQ(entry->supporting_keys.size(), 4u);
  for (const RecordKey& key : entry->supporting_keys) {
    EXPECT_EQ(key.data_text.find("raop"), std::string::npos) << key.data_text;
    EXPECT_EQ(key.owner_name.find("raop"), std::string::npos) << key.owner_name;
  }
  EXPECT_EQ(entry->airplay_expiry, kNow.plus_seconds(200));
}

TEST_F(DeviceViewTest, TheAirplayPortAndNameWinWhicheverInstanceComesFirst) {
  // The cache's order is unspecified; sixteen receivers make sure both orders of their two
  // instances occur.
  struct Case {
    std::uint16_t airplay_port;
    std::size_t admitted;
  };
  for (const Case c : {Case{7000, 16}, Case{0, 0}}) {
    SCOPED_TRACE(c.airplay_port);
    cache_.records.clear();
    for (int i = 0; i < 16; ++i) {
      Publication airplay{"Speaker " + std::to_string(i),
                          {"deviceid=" + numbered_device_id(i), "model=AudioAccessory5,1"}};
      airplay.host = "speaker-" + std::to_string(i) + ".local";
      airplay.port = c.airplay_port;
      Publication raop = airplay;
      raop.label = normalize_device_id(numbered_device_id(i)).value() + "@Raop";
      raop.txt.clear();
      raop.port = 5000;
      ingest(airplay, raop);
    }
    const DeviceView view = build_device_view(cache_);
    EXPECT_EQ(view.size(), c.admitted);
    for (const auto& [id, entry] : view) {
      EXPECT_EQ(entry.device.port, c.airplay_port);
      EXPECT_TRUE(entry.device.displayName.starts_with("Speaker ")) << entry.device.displayName;
    }
  }
}

TEST_F(DeviceViewTest, TxtRecordsOfOneInstanceAreMerged) {
  DnsMessageBuilder b;
  b.ptr(kAirplayService, "Kitchen._airplay._tcp.local");
  b.txt("kitchen._airplay._tcp.local", {"deviceid=AA:BB:CC:DD:EE:FF"}, 30);
  b.txt("kitchen._airplay._tcp.local", {"model=AudioAccessory1,1", "name=Cook"}, 4500);
  b.txt("kitchen._airplay._tcp.local", {"name=Baker"}, 4500);
  b.srv("kitchen._airplay._tcp.local", 7000, "kitchen-pod.local", 120);
  b.a("kitchen-pod.local", {192, 168, 1, 40});
  ingest(b);
  const auto entry = only_device();
  ASSERT_TRUE(entry);
  // Where two records hold a key, the one met last in the cache's order gives the value.
  std::string last_name;
  for (const auto& [key, cached] : cache_.records) {
    if (const auto* txt = std::get_if<TxtRecordData>(&cached.record.data)) {
      if (const auto name = txt->entries.find("name"); name != txt->entries.end()) {
        last_name = name->second;
      }
    }
  }
  EXPECT_EQ(entry->device.displayName, last_name);
  EXPECT_EQ(entry->device.model, "AudioAccessory1,1");
  EXPECT_EQ(entry->supporting_keys.size(), 6u);
  EXPECT_EQ(entry->airplay_expiry, kNow.plus_seconds(30)) << "the earliest TXT counts";
}

TEST_F(DeviceViewTest, SeveralSrvRecordsOfOneInstanceFollowTheCacheOrder) {
  // The airplay instance's port comes from its SRV record met last; a raop SRV only fills a port
  // that nothing has set yet, so without an airplay SRV the raop SRV met first gives it.
  struct Case {
    const char* title;
    std::string_view service;
    bool last_wins;
  };
  for (const Case& c :
       {Case{"airplay", kAirplayService, true}, Case{"raop", kRaopService, false}}) {
    SCOPED_TRACE(c.title);
    cache_.records.clear();
    Publication airplay = kitchen_airplay();
    std::optional<Publication> raop;
    std::string instance = "kitchen._airplay._tcp.local";
    if (c.service == kRaopService) {
      airplay.port.reset();
      raop = kitchen_raop();
      raop->port.reset();
      instance = "aabbccddeeff@kitchen._raop._tcp.local";
    }
    DnsMessageBuilder b;
    publish(b, kAirplayService, airplay);
    if (raop) publish(b, kRaopService, *raop);
    for (std::uint16_t port = 7000; port < 7008; ++port) {
      b.srv(instance, port, "kitchen-pod.local");
    }
    ingest(b);

    std::optional<std::uint16_t> expected;
    for (const auto& [key, cached] : cache_.records) {
      const auto* srv = std::get_if<SrvRecordData>(&cached.record.data);
      if (srv != nullptr && (c.last_wins || !expected)) expected = srv->port;
    }
    const auto entry = only_device();
    ASSERT_TRUE(entry);
    ASSERT_TRUE(expected);
    EXPECT_EQ(entry->device.port, *expected);
  }
}

TEST_F(DeviceViewTest, DisplayAndRoomNames) {
  struct Case {
    const char* title;
    std::vector<std::string> airplay_txt;  // beside the device id and model
    std::vector<std::string> raop_txt;     // empty: no raop instance
    std::string display_name;
    std::string room_name;
  };
  const Case cases[] = {
      {"label, room copied", {}, {}, "Kitchen", "Kitchen"},
      {"TXT name", {"name=Chef"}, {}, "Chef", "Chef"},
      {"refused TXT name", {"name=" + std::string(129, 'x')}, {}, "HomePod", "HomePod"},
      {"roomname wins over room",
       {"roomname=Kitchen Room", "room=Other"},
       {},
       "Kitchen",
       "Kitchen Room"},
      {"room alone", {"room=Pantry"}, {}, "Kitchen", "Pantry"},
      {"a refused roomname hides a valid room",
       {"roomname=Kit\tchen", "room=Pantry"},
       {},
       "Kitchen",
       "Kitchen"},
      {"another instance can still set the room",
       {"roomname=Kit\tchen", "room=Pantry"},
       {"room=Larder"},
       "Kitchen",
       "Larder"},
      {"the raop instance never replaces the airplay display name",
       {},
       {"name=Other", "model=AudioAccessory6,1"},
       "Kitchen",
       "Kitchen"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.title);
    cache_.records.clear();
    Publication airplay = kitchen_airplay();
    airplay.txt.insert(airplay.txt.end(), c.airplay_txt.begin(), c.airplay_txt.end());
    std::optional<Publication> raop;
    if (!c.raop_txt.empty()) {
      raop = kitchen_raop();
      raop->txt = c.raop_txt;
    }
    ingest(airplay, raop);
    const auto entry = only_device();
    ASSERT_TRUE(entry);
    EXPECT_EQ(entry->device.displayName, c.display_name);
    EXPECT_EQ(entry->device.roomName, c.room_name);
  }
}

TEST_F(DeviceViewTest, FeaturesAreNormalisedOrLeftOut) {
  struct Case {
    const char* features;
    std::optional<std::string> features_hex;
  };
  for (const Case& c : {Case{"0x4A7FDFD5", "0x4a7fdfd5"}, Case{"0X4A7FDFD5", std::nullopt},
                        Case{"0x4A7FDFD5,0xBCB46", std::nullopt}, Case{" 1F ", "0x1f"}}) {
    SCOPED_TRACE(c.features);
    cache_.records.clear();
    Publication airplay = kitchen_airplay();
    airplay.txt.push_back(std::string("features=") + c.features);
    ingest(airplay);
    const auto entry = only_device();
    ASSERT_TRUE(entry);
    EXPECT_EQ(entry->device.featuresHex, c.features_hex);
  }
}

TEST_F(DeviceViewTest, AddressesAreSortedNumericallyUniqueAndCapped) {
  struct Case {
    const char* title;
    std::vector<platform::IpAddress> on_x;
    std::vector<platform::IpAddress> on_y;
    std::vector<std::string> listed;
  };
  std::vector<platform::IpAddress> twenty;
  for (std::uint8_t i = 20; i > 0; --i) twenty.push_back({10, 0, 0, i});
  std::vector<std::string> lowest_sixteen;
  for (int i = 1; i <= 16; ++i) lowest_sixteen.push_back("10.0.0." + std::to_string(i));
  const Case cases[] = {
      {"duplicates across interfaces",
       {{10, 0, 0, 9}, {10, 0, 0, 2}},
       {{10, 0, 0, 9}},
       {"10.0.0.2", "10.0.0.9"}},
      {"numeric, not text, order",
       {{10, 0, 0, 10}, {9, 255, 255, 255}, {10, 0, 0, 9}},
       {},
       {"9.255.255.255", "10.0.0.9", "10.0.0.10"}},
      {"twenty give the sixteen lowest", twenty, {}, lowest_sixteen},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.title);
    cache_.records.clear();
    Publication airplay = kitchen_airplay();
    airplay.addresses = c.on_x;
    ingest(airplay);
    DnsMessageBuilder on_y;
    for (const platform::IpAddress& address : c.on_y) on_y.a("kitchen-pod.local", address);
    ingest(on_y, kY);
    const auto entry = only_device();
    ASSERT_TRUE(entry);
    EXPECT_EQ(entry->device.addresses, c.listed);
  }
}

TEST_F(DeviceViewTest, AddressesAreCheckedAgainstTheInterfaceList) {
  const platform::Ipv4InterfaceAddress unlisted = lan_interface({172, 16, 0, 5}, 24);
  platform::Ipv4InterfaceAddress x_without_broadcast = kX;
  x_without_broadcast.broadcast.reset();
  ingest(kitchen_airplay());  // 192.168.1.40 on X
  DnsMessageBuilder extra;
  extra.a("kitchen-pod.local", {172, 16, 0, 40});
  ingest(extra, unlisted);
  DnsMessageBuilder broadcast;
  broadcast.a("kitchen-pod.local", {192, 168, 1, 255});
  ingest(broadcast, x_without_broadcast);  // cached: that interface reported no broadcast
  ASSERT_EQ(cache_.records.size(), 6u) << "every address record is cached";

  auto entry = only_device();
  ASSERT_TRUE(entry);
  EXPECT_EQ(entry->device.addresses, (std::vector<std::string>{"192.168.1.40"}))
      << "unlisted interface and the listed interface's broadcast are refused";
  EXPECT_EQ(entry->supporting_keys.size(), 4u);

  cache_.interfaces.reset();
  entry = only_device();
  ASSERT_TRUE(entry);
  EXPECT_EQ(entry->device.addresses,
            (std::vector<std::string>{"172.16.0.40", "192.168.1.40", "192.168.1.255"}))
      << "without an interface list every usable address counts";
}

TEST_F(DeviceViewTest, AtMost128Devices) {
  // Twenty receivers that publish only "_raop._tcp.local" fail admission and take no place in
  // the view, whatever order the builders are tested in; 128 of the 130 complete ones are kept.
  for (int i = 0; i < 150; ++i) {
    Publication airplay{"Speaker " + std::to_string(i),
                        {"deviceid=" + numbered_device_id(i), "model=AudioAccessory5,1"}};
    airplay.host = "speaker-" + std::to_string(i) + ".local";
    airplay.addresses = {{10, 1, 1, static_cast<std::uint8_t>(i)}};
    if (i < 20) {
      ingest(std::nullopt, airplay, kY);
    } else {
      ingest(airplay, std::nullopt, kY);
    }
  }
  ASSERT_EQ(cache_.records.size(), 150u * 4);
  const DeviceView view = build_device_view(cache_);
  EXPECT_EQ(view.size(), kMaxViewDevices);
  for (const auto& [id, entry] : view) {
    EXPECT_EQ(id, entry.device.id);
    EXPECT_EQ(entry.device.addresses.size(), 1u);
  }
}

// 160 fake receivers whose identities all sort before the real one's flood the cache: the
// receiver that was already published keeps its place, in the owner's view and in a pass's.
TEST_F(DeviceViewTest, PublishedDevicesKeepTheirPlaceAheadOfAFlood) {
  Publication real{"Real", {"deviceid=FF:FF:FF:FF:FF:FF", "model=AudioAccessory5,1"}};
  real.host = "real.local";
  ingest(real, std::nullopt, kY);
  const std::string real_id = stable_device_id("ffffffffffff");
  cache_.published_view = devices_of_view(build_device_view(cache_));
  ASSERT_TRUE(cache_.published_view.contains(real_id));

  DiscoveryCache pass;  // a pass that heard the receiver and the flood
  pass.interfaces = cache_.interfaces;
  const auto flood = [&](DiscoveryCache& into) {
    for (int i = 0; i < 160; ++i) {
      Publication fake{"Fake " + std::to_string(i),
                       {"deviceid=" + numbered_device_id(i), "model=AudioAccessory5,1"}};
      fake.host = "fake-" + std::to_string(i) + ".local";
      fake.addresses = {{10, 1, 2, static_cast<std::uint8_t>(i)}};
      DnsMessageBuilder b;
      publish(b, kAirplayService, fake);
      auto records = decode_mdns_message(b.bytes());
      ASSERT_TRUE(records);
      ingest_mdns_records(into, *records, kNow, kY);
    }
  };
  flood(cache_);
  DnsMessageBuilder real_answer;
  publish(real_answer, kAirplayService, real);
  auto real_records = decode_mdns_message(real_answer.bytes());
  ASSERT_TRUE(real_records);
  ingest_mdns_records(pass, *real_records, kNow, kY);
  flood(pass);

  const DeviceView owner_view = build_device_view(cache_);
  EXPECT_EQ(owner_view.size(), kMaxViewDevices);
  EXPECT_TRUE(owner_view.contains(real_id));
  const DeviceView pass_view = build_device_view(pass, cache_.published_view);
  EXPECT_EQ(pass_view.size(), kMaxViewDevices);
  EXPECT_TRUE(pass_view.contains(real_id));
  // The rest in order of identity: the first 127 fakes.
  EXPECT_TRUE(owner_view.contains(stable_device_id("000000000000")));
  EXPECT_TRUE(owner_view.contains(stable_device_id("00000000007e")));
  EXPECT_FALSE(owner_view.contains(stable_device_id("00000000007f")));
  // Nothing published: identity order alone, and the receiver is cut.
  EXPECT_FALSE(build_device_view(pass).contains(real_id));
}

TEST_F(DeviceViewTest, ViewOfAFullCacheStaysWithinItsCaps) {
  // 2048 records: many receivers, each with addresses beyond the per-device cap.
  int receiver = 0;
  while (cache_.records.size() < kMaxCacheKeys && receiver < 1000) {
    Publication airplay{"R" + std::to_string(receiver),
                        {"deviceid=" + numbered_device_id(receiver), "model=AudioAccessory5,1"}};
    airplay.host = "r" + std::to_string(receiver) + ".local";
    airplay.addresses.clear();
    for (std::uint8_t a = 1; a <= 20; ++a) {
      airplay.addresses.push_back({10, static_cast<std::uint8_t>(receiver), 0, a});
    }
    ingest(airplay, std::nullopt, kY);
    ++receiver;
  }
  EXPECT_EQ(cache_.records.size(), kMaxCacheKeys);
  const DeviceView view = build_device_view(cache_);
  EXPECT_GT(view.size(), 0u);
  EXPECT_LE(view.size(), kMaxViewDevices);
  for (const auto& [id, entry] : view) {
    EXPECT_LE(entry.device.addresses.size(), kMaxDeviceAddresses);
    EXPECT_TRUE(std::is_sorted(entry.device.addresses.begin(), entry.device.addresses.end(),
                               [](const std::string& a, const std::string& b) {
                                 return a.size() < b.size() || (a.size() == b.size() && a < b);
                               }));
  }
}

TEST_F(DeviceViewTest, ManySrvRecordsNamingOneHostGiveItsLowestAddresses) {
  // One instance names one host through 300 SRV records (and its raop instance through 300 more);
  // the host has 400 addresses. The view takes the host once per role and keeps the lowest 16.
  DnsMessageBuilder instances;
  Publication airplay = kitchen_airplay();
  Publication raop = kitchen_raop();
  for (Publication* p : {&airplay, &raop}) {
    p->port.reset();
    p->addresses.clear();
  }
  publish(instances, kAirplayService, airplay);
  publish(instances, kRaopService, raop);
  ingest(instances);
  for (int batch = 0; batch < 6; ++batch) {
    DnsMessageBuilder b;
    const std::string instance =
        batch < 3 ? "kitchen._airplay._tcp.local" : "aabbccddeeff@kitchen._raop._tcp.local";
    for (int i = 0; i < 100; ++i) {
      b.srv(instance, static_cast<std::uint16_t>(7000 + batch * 100 + i), "kitchen-pod.local");
    }
    ingest(b);
  }
  RecordKeySet address_keys;
  for (int batch = 0; batch < 4; ++batch) {
    DnsMessageBuilder b;
    for (int i = 0; i < 100; ++i) {
      const int n = 399 - (batch * 100 + i);  // highest first
      const platform::IpAddress address = {10, 1, static_cast<std::uint8_t>(n / 200),
                                           static_cast<std::uint8_t>(1 + n % 200)};
      b.a("kitchen-pod.local", address, static_cast<std::uint32_t>(100 + n));
      address_keys.insert(
          RecordKey{"kitchen-pod.local", address.to_string(), kTypeA, true, kY.address.v4_value()});
    }
    ingest(b, kY);
  }
  ASSERT_EQ(cache_.records.size(), 4u + 600 + 400);  // both PTRs and both TXTs

  const auto entry = only_device();
  ASSERT_TRUE(entry);
  std::vector<std::string> lowest;
  for (int n = 1; n <= 16; ++n) lowest.push_back("10.1.0." + std::to_string(n));
  EXPECT_EQ(entry->device.addresses, lowest);
  EXPECT_EQ(entry->airplay_expiry, kNow.plus_seconds(100)) << "the earliest address counts";
  for (const RecordKey& key : address_keys) {
    EXPECT_TRUE(entry->supporting_keys.contains(key)) << key.data_text;
  }
  EXPECT_EQ(entry->supporting_keys.size(), 1u + 1 + 300 + 400) << "PTR, TXT, SRV and A";
  EXPECT_TRUE(same_device_view(build_device_view(cache_), literal_device_view(cache_)));
}

// Random caches of a few receivers whose records overlap and disagree (several TXT and SRV
// records per instance, shared hosts, goodbyes, flushes, three interfaces, invalid values): the
// view must be exactly what the literal scan of every instance gives on the same cache.
class RandomCache {
 public:
  explicit RandomCache(std::uint32_t seed) : random_(seed) {}

  DiscoveryCache build() {
    DiscoveryCache cache;
    if (pick(4) != 0) cache.interfaces = std::vector{kX, kY};
    const int batches = 10 + static_cast<int>(pick(50));
    for (int b = 0; b < batches; ++b) {
      std::vector<MdnsRecord> batch;
      const std::size_t size = 1 + pick(8);
      for (std::size_t i = 0; i < size; ++i) batch.push_back(record());
      const platform::Ipv4InterfaceAddress& receiving = kInterfaces[pick(3)];
      ingest_mdns_records(cache, batch, OwnerTime{pick(100), 0}, receiving);
    }
    return cache;
  }

 private:
  static constexpr std::array<const char*, 6> kTargets = {
      "Kitchen._airplay._tcp.local",         "Study._airplay._tcp.local",
      "Hall.Way._airplay._tcp.local",        "AABBCCDDEEFF@Kitchen._raop._tcp.local",
      "001122334455@Study._raop._tcp.local", "Garden@x._raop._tcp.local"};
  static constexpr std::array<const char*, 3> kHosts = {"pod-a.local", "pod-b.local",
                                                        "pod-c.local"};
  static constexpr std::array<const char*, 18> kTxt = {"deviceid=AA:BB:CC:DD:EE:FF",
                                                       "deviceid=00-11-22-33-44-55",
                                                       "deviceid=nonsense",
                                                       "model=AudioAccessory6,1",
                                                       "model=AudioAccessory1,1",
                                                       "model=AppleTV5,3",
                                                       "name=Chef",
                                                       "name=Kit\tchen",
                                                       "name=Baker",
                                                       "roomname=Pantry",
                                                       "roomname=",
                                                       "room=Larder",
                                                       "features=0x1F",
                                                       "features=0X2",
                                                       "features= 0xAb ",
                                                       "acl=0",
                                                       "model=AudioAccessory",
                                                       "room=Cellar"};
  inline static const platform::Ipv4InterfaceAddress kInterfaces[3] = {
      kX, kY, lan_interface({172, 16, 0, 5}, 24)};

  std::uint64_t pick(std::uint64_t bound) { return random_() % bound; }

  MdnsRecord record() {
    MdnsRecord record;
    record.ttl = std::array<std::uint32_t, 5>{0, 60, 120, 4500, 4500}[pick(5)];
    record.cache_flush = pick(4) == 0;
    const std::string target = kTargets[pick(kTargets.size())];
    switch (pick(4)) {
      case 0: {
        const bool raop = target.find("_raop") != std::string::npos;
        record.owner_name = std::string(pick(8) == 0 ? "_other._tcp.local"
                                        : raop       ? kRaopService
                                                     : kAirplayService);
        record.type = kTypePtr;
        record.data = PtrRecordData{normalize_dns_name(target), target};
        break;
      }
      case 1: {
        record.owner_name = normalize_dns_name(target);
        record.type = kTypeTxt;
        TxtEntries entries;
        for (std::uint64_t i = pick(5); i > 0; --i) {
          std::string text = kTxt[pick(kTxt.size())];
          const std::size_t equals = text.find('=');
          entries[text.substr(0, equals)] = text.substr(equals + 1);
        }
        record.data = TxtRecordData{std::move(entries)};
        break;
      }
      case 2: {
        record.owner_name = normalize_dns_name(target);
        record.type = kTypeSrv;
        const std::uint16_t port = std::array<std::uint16_t, 4>{7000, 7001, 5000, 0}[pick(4)];
        record.data = SrvRecordData{kHosts[pick(kHosts.size())], port};
        break;
      }
      default: {
        record.owner_name = kHosts[pick(kHosts.size())];
        record.type = kTypeA;
        platform::IpAddress address = {10, 0, 0, static_cast<std::uint8_t>(1 + pick(20))};
        if (pick(6) == 0) address = {192, 168, 1, 255};
        if (pick(8) == 0) address = {172, 16, 0, static_cast<std::uint8_t>(pick(256))};
        record.data = ARecordData{address};
        break;
      }
    }
    return record;
  }

  std::mt19937_64 random_;
};

TEST(DeviceViewLiteral, AgreesWithTheLiteralScanOnRandomCaches) {
  std::size_t devices = 0;
  std::size_t merged = 0;
  for (std::uint32_t seed = 1; seed <= 1000; ++seed) {
    const DiscoveryCache cache = RandomCache(seed).build();
    const DeviceView view = build_device_view(cache);
    const DeviceView literal = literal_device_view(cache);
    ASSERT_TRUE(same_device_view(view, literal)) << "seed " << seed;
    for (const auto& [id, entry] : view) {
      ++devices;
      if (entry.device.addresses.size() > 1) ++merged;
    }
  }
  // The comparison is not vacuous: devices were admitted, many of them with several addresses.
  EXPECT_GT(devices, 100u);
  EXPECT_GT(merged, 50u);
}

}  // namespace
}  // namespace kestrune::discovery
