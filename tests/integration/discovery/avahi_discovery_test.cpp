// Discovery against a standard mDNS responder: avahi-daemon publishes receivers in the receiver
// namespace of tests/services/netns.sh, and the real kestrune binary scans from this one. The
// responder answers our query by legacy unicast: at most 512 bytes, records that do not fit left
// out, TTLs of at most 10 s and no cache-flush bits.

#include <unistd.h>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "discovery/device_identity.hpp"
#include "tests/integration/discovery/avahi_responder.hpp"
#include "tests/integration/discovery/mdns_responder.hpp"
#include "tests/integration/shell/process_harness.hpp"

namespace kestrune::testing {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using nlohmann::json;

constexpr auto kLegacyTtl = 10s;    // what the responder gives every record it answers with
constexpr auto kLongestGrace = 5s;  // of the renewal schedule
constexpr auto kBusyMachine = 15s;  // room for a loaded machine on top of every bound
const AvahiHosts kHosts = {{"kitchen-pod.local", "198.18.0.7"}};

std::string identity_of(const std::string& device_id) {
  std::string identity;
  for (const char c : device_id) {
    if (c != ':') identity += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  }
  return identity;
}

// The device object the host should see for a receiver published on a host with one address.
json device_json(const AvahiReceiver& receiver, const std::string& address,
                 const json& features_hex) {
  return {{"id", discovery::stable_device_id(identity_of(receiver.device_id))},
          {"displayName", receiver.name},
          {"roomName", receiver.name},
          {"model", "AudioAccessory5,1"},
          {"addresses", json::array({address})},
          {"port", receiver.port},
          {"featuresHex", features_hex}};
}

// What receivers of the family publish: an airplay TXT of about 380 bytes, a raop TXT beside it.
AvahiReceiver realistic_receiver(const std::string& name, const std::string& device_id) {
  AvahiReceiver receiver;
  receiver.name = name;
  receiver.device_id = device_id;
  const std::string key(64, 'c');
  receiver.airplay_txt = {"acl=0",
                          "deviceid=" + device_id,
                          "features=0x4A7FDFD5,0xBC157FDE",
                          "fex=1d9/St5/FbwooQ",
                          "flags=0x18644",
                          "gid=5E2A1B4C-9D3F-4E8A-B7C6-1F2E3D4C5B6A",
                          "igl=1",
                          "gcgl=1",
                          "model=AudioAccessory5,1",
                          "protovers=1.1",
                          "pi=0c9a7e1f-3b2d-4c5e-8f6a-7b8c9d0e1f2a",
                          "psi=7D4E2F1A-6B3C-4D5E-9F8A-0B1C2D3E4F5A",
                          "pk=" + key,
                          "srcvers=770.8.1",
                          "osvers=18.2",
                          "vv=2",
                          "rsf=0x0",
                          "vn=65537"};
  receiver.raop_txt = {"cn=0,1,2,3", "da=true",
                       "et=0,3,5",   "ft=0x4A7FDFD5,0xBC157FDE",
                       "md=0,1,2",   "am=AudioAccessory5,1",
                       "pk=" + key,  "sf=0x18644",
                       "tp=UDP",     "vn=65537",
                       "vs=770.8.1", "ov=18.2"};
  return receiver;
}

std::size_t txt_bytes(const std::vector<std::string>& txt) {
  std::size_t bytes = 0;
  for (const std::string& entry : txt) bytes += 1 + entry.size();
  return bytes;
}

// The lines up to and including the response to `id` (at most 64 lines, each within `limit`).
std::vector<json> lines_through_response(KestruneProcess& process, const std::string& id,
                                         std::chrono::milliseconds limit = 15s) {
  std::vector<json> lines;
  for (int i = 0; i < 64; ++i) {
    auto line = process.read_line(limit);
    if (!line) break;
    lines.push_back(json::parse(*line));
    if (lines.back().value("requestId", "") == id) break;
  }
  return lines;
}

// The events that arrive until one satisfies `done` (included), within `limit` in all.
std::vector<json> events_until(KestruneProcess& process,
                               const std::function<bool(const json&)>& done,
                               Clock::duration limit) {
  std::vector<json> events;
  const auto give_up = Clock::now() + limit;
  for (int i = 0; i < 1000 && Clock::now() < give_up; ++i) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(give_up - Clock::now());
    auto line = process.read_line(std::max(left, 1ms));
    if (!line) break;
    events.push_back(json::parse(*line));
    if (done(events.back())) break;
  }
  return events;
}

std::vector<json> devices_of_response(const std::vector<json>& lines) {
  if (lines.empty() || !lines.back().contains("result")) return {};
  return lines.back()["result"]["devices"].get<std::vector<json>>();
}

class AvahiDiscovery : public ::testing::Test {
 protected:
  void SetUp() override {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root for the network namespaces";
    if (std::getenv("KESTRUNE_NETNS_RECEIVER") == nullptr) {
      GTEST_SKIP() << "not inside the test network namespaces (tests/services/netns.sh)";
    }
  }

  // A scan that must find exactly these devices, announced before its response.
  void expect_scan_finds(KestruneProcess& process, const std::string& id, int timeout_ms,
                         const std::vector<json>& expected) {
    ASSERT_TRUE(process.write_line(scan_command(id, timeout_ms)));
    const auto lines = lines_through_response(process, id);
    ASSERT_EQ(lines.size(), expected.size() + 1) << json(lines).dump();
    std::vector<json> announced;
    for (std::size_t i = 0; i + 1 < lines.size(); ++i) {
      EXPECT_EQ(lines[i]["event"], "deviceDiscovered");
      announced.push_back(lines[i]["payload"]["device"]);
    }
    EXPECT_EQ(announced, expected);
    EXPECT_EQ(devices_of_response(lines), expected);
  }
};

std::vector<json> sorted_by_id(std::vector<json> devices) {
  std::sort(devices.begin(), devices.end(),
            [](const json& a, const json& b) { return a["id"] < b["id"]; });
  return devices;
}

TEST_F(AvahiDiscovery, ReceiverIsFoundWithItsFields) {
  const AvahiReceiver kitchen;
  AvahiResponder avahi({kitchen}, kHosts);
  auto process = start_ready();
  expect_scan_finds(*process, "s1", 1000, {device_json(kitchen, "198.18.0.7", "0x445f8a00")});
  expect_orderly_end(*process, {shutdown_complete_line("stdin_eof", true)});
}

// The receiver changes its records while it is published; the renewals that follow hear the new
// ones, which replace the old: it is announced again with them and never expires.
struct ChangeCase {
  const char* name;
  std::function<void(AvahiReceiver&, AvahiHosts&)> change;
  json expected;  // the device after the change
};

void PrintTo(const ChangeCase& c, std::ostream* os) { *os << c.name; }

class AvahiChanges : public AvahiDiscovery, public ::testing::WithParamInterface<ChangeCase> {};

TEST_P(AvahiChanges, AreAnnouncedWithoutAnExpiry) {
  const ChangeCase& c = GetParam();
  AvahiReceiver kitchen;
  AvahiHosts hosts = kHosts;
  AvahiResponder avahi({kitchen}, hosts);
  auto process = start_ready();
  expect_scan_finds(*process, "s1", 1000, {device_json(kitchen, "198.18.0.7", "0x445f8a00")});

  c.change(kitchen, hosts);
  avahi.publish({kitchen}, hosts);
  const auto events = events_until(
      *process, [&](const json& e) { return e["payload"].value("device", json()) == c.expected; },
      3 * kLegacyTtl + kBusyMachine);
  ASSERT_FALSE(events.empty());
  EXPECT_EQ(events.back()["payload"]["device"], c.expected) << "the change was never announced";
  for (const json& event : events) {
    EXPECT_EQ(event["event"], "deviceDiscovered") << event.dump();
  }
  expect_orderly_end(*process, {shutdown_complete_line("stdin_eof", true)});
}

INSTANTIATE_TEST_SUITE_P(
    Cases, AvahiChanges,
    ::testing::Values(ChangeCase{"txt_value",
                                 [](AvahiReceiver& r, AvahiHosts&) {
                                   r.airplay_txt[2] = "features=0x445F8A01";
                                 },
                                 device_json(AvahiReceiver(), "198.18.0.7", "0x445f8a01")},
                      ChangeCase{"address",
                                 [](AvahiReceiver&, AvahiHosts& hosts) {
                                   hosts["kitchen-pod.local"] = "198.18.0.8";
                                 },
                                 device_json(AvahiReceiver(), "198.18.0.8", "0x445f8a00")}),
    [](const auto& row) { return std::string(row.param.name); });

TEST_F(AvahiDiscovery, LargeTxtBesideTheRaopServiceIsFoundByAShortScan) {
  const AvahiReceiver kitchen = realistic_receiver("Kitchen", "AA:BB:CC:DD:EE:FF");
  ASSERT_GE(txt_bytes(kitchen.airplay_txt), 380U);
  AvahiResponder avahi({kitchen}, kHosts);
  auto process = start_ready();
  expect_scan_finds(*process, "s1", 1000, {device_json(kitchen, "198.18.0.7", nullptr)});
  expect_orderly_end(*process, {shutdown_complete_line("stdin_eof", true)});
}

TEST_F(AvahiDiscovery, FiveReceiversOnOneResponderAreAllFoundByOneScan) {
  std::vector<AvahiReceiver> receivers;
  std::vector<json> expected;
  for (const char* name : {"Kitchen", "Hall", "Study", "Den", "Attic"}) {
    const std::string id =
        std::string("AA:BB:CC:DD:EE:0") + static_cast<char>('1' + receivers.size());
    receivers.push_back(realistic_receiver(name, id));
    expected.push_back(device_json(receivers.back(), "198.18.0.7", nullptr));
  }
  AvahiResponder avahi(receivers, kHosts);
  auto process = start_ready();
  expect_scan_finds(*process, "s1", 3000, sorted_by_id(expected));
  expect_orderly_end(*process, {shutdown_complete_line("stdin_eof", true)});
}

TEST_F(AvahiDiscovery, WithdrawnReceiverExpiresWithinItsTtlAndTheGrace) {
  const AvahiReceiver kitchen;
  AvahiResponder avahi({kitchen}, kHosts);
  auto process = start_ready();
  expect_scan_finds(*process, "s1", 1000, {device_json(kitchen, "198.18.0.7", "0x445f8a00")});

  avahi.publish({}, kHosts);
  const auto withdrawn = Clock::now();
  const auto events = events_until(
      *process, [](const json& e) { return e["event"] == "deviceExpired"; },
      kLegacyTtl + kLongestGrace + kBusyMachine);
  ASSERT_FALSE(events.empty());
  EXPECT_EQ(events.back(),
            (json{{"version", 1},
                  {"type", "event"},
                  {"event", "deviceExpired"},
                  {"payload",
                   {{"id", device_json(kitchen, "", nullptr)["id"]}, {"reason", "renewalMiss"}}}}));
  // The receiver was last heard before it was withdrawn, so it is given up on within its TTL and
  // the grace after that (and a busy machine's delay).
  EXPECT_LT(Clock::now() - withdrawn, kLegacyTtl + kLongestGrace + kBusyMachine);
  expect_orderly_end(*process, {shutdown_complete_line("stdin_eof", true)});
}

// Some host on the link answers with more short-lived junk than the cache holds; once it has
// expired, a receiver that appears is found by the next scan.
TEST_F(AvahiDiscovery, ReceiverAfterABurstOfJunkIsFound) {
  AvahiResponder avahi({}, kHosts);
  const std::size_t established = avahi.established();
  const NetnsNetwork network = netns_network();
  MdnsResponder junk(network.receiver_namespace, network.receiver_address, FakeReceiverRecords());
  junk.set_mode(MdnsResponder::Mode::junk);
  static_assert(MdnsResponder::kJunkDatagrams * MdnsResponder::kJunkRecordsPerDatagram > 2048);

  auto process = start_ready();
  ASSERT_TRUE(process->write_line(scan_command("s1", 1000)));
  EXPECT_EQ(devices_of_response(lines_through_response(*process, "s1")), std::vector<json>{});
  ASSERT_GE(junk.browse_queries().size(), 1U) << "no junk went out";
  junk.set_mode(MdnsResponder::Mode::silent);

  const AvahiReceiver kitchen;
  avahi.publish({kitchen}, kHosts);
  ASSERT_TRUE(avahi.wait_established(established + 1, 30s)) << avahi.log();
  std::this_thread::sleep_for(1500ms);  // the junk lives 1 s; let it expire
  expect_scan_finds(*process, "s2", 1000, {device_json(kitchen, "198.18.0.7", "0x445f8a00")});
  expect_orderly_end(*process, {shutdown_complete_line("stdin_eof", true)});
}

}  // namespace
}  // namespace kestrune::testing
