#include "discovery/browse_pass.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "discovery/browse_query.hpp"
#include "tests/support/dns_message_builder.hpp"
#include "tests/support/fake_receiver_records.hpp"
#include "tests/unit/discovery/fake_browse_network.hpp"
#include "tests/unit/discovery/recording_output.hpp"

namespace kestrune::discovery {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using kestrune::testing::Datagram;
using kestrune::testing::DnsMessageBuilder;
using kestrune::testing::FakeBrowseNetwork;
using kestrune::testing::FakeReceiverRecords;
using kestrune::testing::host_ipv4;
using kestrune::testing::RecordingOutput;

constexpr Ipv4Address kLink = {198, 18, 0, 2};  // the default receiver's link
constexpr Ipv4Address kOther = {10, 9, 0, 2};

// Stable ids as tests/vectors/discovery/stable_ids.txt gives them.
const std::string kId001122 =
    "dev_35d09c03531002cb337230db87541d8011e9f691af861c8a73be7e194bbec461";
const std::string kIdF0E1D2 =
    "dev_4da25808d242677770100f715937d8bab6f3165e973e42dccc737ebf93df8b32";
const std::string kIdAABBCC = kestrune::testing::kFakeReceiverId;
const std::string kId000000 =
    "dev_aaddaaaaf01b47fb7818653f5590544b3881494bb357e1324ea5cd7f01d30fb6";

FakeReceiverRecords receiver(std::string device_id, std::string instance) {
  FakeReceiverRecords r;
  r.device_id = std::move(device_id);
  r.instance = instance;
  r.host = instance + "-pod.local";
  return r;
}

Datagram padded(Datagram datagram, std::size_t size) {
  datagram.resize(size, 0);  // the decoder reads no further than the counts say
  return datagram;
}

Datagram empty_response() { return DnsMessageBuilder().bytes(); }

class BrowsePass : public ::testing::Test {
 protected:
  BrowsePass() { network.set_interfaces(std::vector{host_ipv4(kLink)}); }

  BrowsePassResult pass(std::chrono::nanoseconds length = 50ms) {
    return browse_pass(length, origin, stop, output, cache, network);
  }
  void answer_with(std::vector<Datagram> datagrams) {
    network.set_responder([datagrams](const InterfaceRecord&) { return datagrams; });
  }
  static std::vector<std::string> ids_of(const ScanResult& result) {
    std::vector<std::string> ids;
    for (const auto& device : result.devices) ids.push_back(device.id);
    return ids;
  }

  FakeBrowseNetwork network;
  RecordingOutput output;
  DiscoveryCache cache;
  std::atomic<bool> stop{false};
  const Clock::time_point origin = Clock::now();
};

TEST(BrowseQuery, IsTheTwoPtrQuestionsWrittenWithoutCompression) {
  DnsMessageBuilder expected;
  expected.question("_airplay._tcp.local", 12, 1).question("_raop._tcp.local", 12, 1);
  EXPECT_EQ(build_browse_query(), expected.bytes());
  EXPECT_EQ(build_browse_query().size(), kBrowseQueryBytes);
}

TEST_F(BrowsePass, FindsTheReceiverAndAnnouncesItOnceAtTheEnd) {
  answer_with({FakeReceiverRecords().answer()});
  const BrowsePassResult found = pass();

  ASSERT_EQ(network.queries().size(), 1U);
  EXPECT_EQ(network.queries()[0].bytes, build_browse_query()) << "the query goes out unchanged";
  ASSERT_EQ(found.result.devices.size(), 1U);
  EXPECT_EQ(device_to_json(found.result.devices[0]),
            nlohmann::json::parse(kestrune::testing::kFakeReceiverDeviceJson));
  EXPECT_TRUE(found.result.warnings.empty());
  EXPECT_TRUE(found.result.complete);
  EXPECT_EQ(found.seen_ids, StableIdSet{kIdAABBCC});

  const auto events = output.events();
  ASSERT_EQ(events.size(), 1U);
  EXPECT_EQ(events[0].name, "deviceDiscovered");
  EXPECT_EQ(events[0].payload,
            (nlohmann::json{{"device", device_to_json(found.result.devices[0])}}));

  ASSERT_TRUE(cache.interfaces);
  ASSERT_EQ(cache.interfaces->size(), 1U);
  EXPECT_EQ(cache.interfaces->at(0).address, kLink);
  EXPECT_EQ(network.open_sockets(), 0U) << "the pass closes its sockets";
}

struct InterfaceCase {
  const char* name;
  std::optional<std::vector<platform::InterfaceAddress>> addresses;  // nothing: unreadable
  std::vector<Ipv4Address> refused;
  std::size_t queries;
  std::uint32_t warning_occurrences;  // 0: no warning
};

void PrintTo(const InterfaceCase& c, std::ostream* os) { *os << c.name; }

std::vector<platform::InterfaceAddress> numbered_addresses(int count) {
  std::vector<platform::InterfaceAddress> addresses;
  for (int i = 0; i < count; ++i) {
    addresses.push_back(host_ipv4({10, static_cast<std::uint8_t>(i), 0, 2}));
  }
  return addresses;
}

platform::InterfaceAddress ipv6_entry() { return {"eth0", std::nullopt}; }

class BrowsePassInterfaces : public BrowsePass,
                             public ::testing::WithParamInterface<InterfaceCase> {};

TEST_P(BrowsePassInterfaces, CountWhatCouldNotBeUsed) {
  const InterfaceCase& c = GetParam();
  network.set_interfaces(c.addresses);
  for (const Ipv4Address& address : c.refused) network.refuse_socket_on(address);
  const BrowsePassResult done = pass(0ms);

  EXPECT_EQ(network.queries().size(), c.queries);
  if (c.warning_occurrences == 0) {
    EXPECT_TRUE(done.result.warnings.empty());
  } else {
    ASSERT_EQ(done.result.warnings.size(), 1U);
    EXPECT_EQ(done.result.warnings[0],
              (DiscoveryWarning{"discovery_interface_failed", c.warning_occurrences}));
  }
  EXPECT_TRUE(done.result.complete);
  // The cache lists the interfaces sockets were opened on, and no list at all when none was.
  if (c.queries == 0) {
    EXPECT_FALSE(cache.interfaces);
  } else {
    ASSERT_TRUE(cache.interfaces);
    EXPECT_EQ(cache.interfaces->size(), c.queries);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, BrowsePassInterfaces,
    ::testing::Values(
        InterfaceCase{"unreadable_list", std::nullopt, {}, 0, 1},
        InterfaceCase{"nothing_usable",
                      std::vector{host_ipv4({127, 0, 0, 1}, "lo"), host_ipv4({0, 0, 0, 0}),
                                  ipv6_entry()},
                      {},
                      0,
                      1},
        InterfaceCase{"one_usable", std::vector{host_ipv4({127, 0, 0, 1}, "lo"), ipv6_entry(),
                                                host_ipv4(kLink)},
                      {}, 1, 0},
        InterfaceCase{"same_address_twice_gives_one_socket",
                      std::vector{host_ipv4(kLink, "eth0"), host_ipv4(kLink, "eth0:1")},
                      {},
                      1,
                      0},
        InterfaceCase{"seventy_addresses_use_sixty_four", numbered_addresses(70), {}, 64, 6},
        InterfaceCase{"refused_sockets_add_to_the_excess",
                      numbered_addresses(70),
                      {{10, 0, 0, 2}, {10, 63, 0, 2}, {10, 64, 0, 2}},
                      62,
                      8},
        InterfaceCase{"only_socket_refused", std::vector{host_ipv4(kLink)}, {kLink}, 0, 1}),
    [](const auto& row) { return std::string(row.param.name); });

TEST_F(BrowsePass, TakesAtMost32DatagramsFromOneSocketPerSweep) {
  network.set_interfaces(std::vector{host_ipv4(kLink), host_ipv4(kOther)});
  network.set_responder([](const InterfaceRecord& interface) {
    return std::vector<Datagram>(interface.address == kLink ? 40 : 1, empty_response());
  });
  (void)pass(100ms);
  std::vector<Ipv4Address> expected(32, kLink);
  expected.push_back(kOther);
  expected.insert(expected.end(), 8, kLink);
  EXPECT_EQ(network.receive_log(), expected);
}

TEST_F(BrowsePass, DatagramLongerThanTheBufferIsDiscardedAndTheNextSocketFollows) {
  network.set_interfaces(std::vector{host_ipv4(kLink), host_ipv4(kOther)});
  network.set_responder([](const InterfaceRecord& interface) {
    if (interface.address != kLink) return std::vector<Datagram>{empty_response()};
    return std::vector<Datagram>{padded(receiver("00:11:22:33:44:55", "Hall").answer(), 9001),
                       padded(receiver("F0:E1:D2:C3:B4:A5", "Den").answer(), 9000)};
  });
  const BrowsePassResult done = pass(100ms);
  EXPECT_EQ(network.receive_log(), (std::vector<Ipv4Address>{kLink, kOther, kLink}));
  EXPECT_EQ(ids_of(done.result), std::vector<std::string>{kIdF0E1D2})
      << "the 9000-byte answer is read, the 9001-byte one never";
}

TEST_F(BrowsePass, MalformedDatagramIsDroppedWholeAndTheSameSocketIsReadOn) {
  // A complete answer whose header promises one record more than it holds.
  Datagram malformed = receiver("00:11:22:33:44:55", "Hall").answer();
  malformed[7] += 1;
  network.set_interfaces(std::vector{host_ipv4(kLink), host_ipv4(kOther)});
  network.set_responder([malformed](const InterfaceRecord& interface) {
    if (interface.address != kLink) return std::vector<Datagram>{empty_response()};
    return std::vector<Datagram>{malformed, receiver("F0:E1:D2:C3:B4:A5", "Den").answer()};
  });
  const BrowsePassResult done = pass(100ms);
  EXPECT_EQ(network.receive_log(), (std::vector<Ipv4Address>{kLink, kLink, kOther}));
  EXPECT_EQ(ids_of(done.result), std::vector<std::string>{kIdF0E1D2});
  for (const auto& [key, entry] : cache.records) {
    EXPECT_EQ((key.owner_name + key.data_text).find("hall"), std::string::npos)
        << "a record of the refused datagram was cached: " << key.owner_name;
  }
}

TEST_F(BrowsePass, AnnouncesAndListsDevicesInAscendingIdOrder) {
  answer_with({receiver("AA:BB:CC:DD:EE:FF", "Kitchen").answer(),
               receiver("00:00:00:00:00:00", "Study").answer(),
               receiver("F0:E1:D2:C3:B4:A5", "Den").answer(),
               receiver("00:11:22:33:44:55", "Hall").answer()});
  const BrowsePassResult done = pass();
  const std::vector<std::string> ascending = {kId001122, kIdF0E1D2, kIdAABBCC, kId000000};
  EXPECT_EQ(ids_of(done.result), ascending);
  std::vector<std::string> announced;
  for (const auto& line : output.summary()) announced.push_back(line.substr(line.find(' ') + 1));
  EXPECT_EQ(announced, ascending);
}

TEST_F(BrowsePass, ReceiverHeardOnlyInAnEarlierPassIsNeitherAnnouncedNorListed) {
  answer_with({FakeReceiverRecords().answer()});
  (void)pass();
  answer_with({});
  const std::size_t events_before = output.events().size();
  const BrowsePassResult silent = pass();
  EXPECT_TRUE(silent.result.devices.empty());
  EXPECT_TRUE(silent.seen_ids.empty());
  EXPECT_EQ(output.events().size(), events_before);
  EXPECT_TRUE(cache.published_view.contains(kIdAABBCC)) << "it stays in the owner's view";
}

TEST_F(BrowsePass, GoodbyeRemovesTheReceiverWithAnAuthoritativeExpiry) {
  answer_with({FakeReceiverRecords().answer()});
  (void)pass();
  answer_with({FakeReceiverRecords().goodbye()});
  const BrowsePassResult gone = pass();
  EXPECT_EQ(output.summary(), (std::vector<std::string>{"deviceDiscovered " + kIdAABBCC,
                                                        "deviceExpired " + kIdAABBCC +
                                                            " authoritativeRemoval"}));
  EXPECT_TRUE(gone.result.devices.empty());
  EXPECT_TRUE(cache.published_view.empty());
}

TEST_F(BrowsePass, RefusedEventEndsTheReceiving) {
  answer_with({FakeReceiverRecords().answer()});
  (void)pass();
  output.accept_at_most(output.events().size());
  answer_with({FakeReceiverRecords().goodbye(), empty_response(), empty_response()});
  const BrowsePassResult refused = pass(200ms);
  EXPECT_EQ(network.receive_log().size(), 2U) << "one datagram in each pass";
  EXPECT_TRUE(refused.result.complete);
  EXPECT_TRUE(cache.published_view.contains(kIdAABBCC))
      << "a refused emission leaves the published view as it was";
}

TEST_F(BrowsePass, ZeroLengthReceivesNothing) {
  answer_with({FakeReceiverRecords().answer()});
  const BrowsePassResult done = pass(0ms);
  EXPECT_TRUE(network.receive_log().empty());
  EXPECT_EQ(network.queries().size(), 1U) << "the query is still sent";
  EXPECT_TRUE(done.result.devices.empty());
  EXPECT_TRUE(done.result.complete);
}

TEST_F(BrowsePass, StopFlagEndsItEarlyAndItStillReportsWhatItHeard) {
  answer_with({FakeReceiverRecords().answer()});
  std::thread stopper([this] {
    std::this_thread::sleep_for(100ms);
    stop.store(true);
  });
  const auto start = Clock::now();
  const BrowsePassResult stopped = pass(5s);
  stopper.join();
  EXPECT_LT(Clock::now() - start, 2s);
  EXPECT_TRUE(stopped.result.complete);
  EXPECT_EQ(ids_of(stopped.result), std::vector<std::string>{kIdAABBCC});
}

TEST_F(BrowsePass, ClosedOutputEndsItAtOnce) {
  answer_with({FakeReceiverRecords().answer()});
  output.close();
  const auto start = Clock::now();
  const BrowsePassResult closed = pass(5s);
  EXPECT_LT(Clock::now() - start, 2s);
  EXPECT_TRUE(network.receive_log().empty());
  EXPECT_TRUE(closed.result.complete);
}

}  // namespace
}  // namespace kestrune::discovery
