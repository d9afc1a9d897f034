// Discovery over a real network: each test runs in a private pair of network namespaces made by
// tests/services/netns.sh, with a fake receiver answering in the other namespace across a veth
// link, and (but for the interface test) the real kestrune binary scanning from this one.

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "discovery/browse_interfaces.hpp"
#include "discovery/browse_query.hpp"
#include "platform/interface_addresses.hpp"
#include "tests/integration/discovery/mdns_responder.hpp"
#include "tests/integration/shell/process_harness.hpp"
#include "tests/support/dns_message_builder.hpp"
#include "tests/support/fake_receiver_records.hpp"

namespace kestrune::testing {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using Mode = MdnsResponder::Mode;

const std::string kDevice = kFakeReceiverDeviceJson;

std::string discovered_line() {
  return R"({"event":"deviceDiscovered","payload":{"device":)" + kDevice +
         R"(},"type":"event","version":1})";
}
std::string expired_line(const std::string& reason) {
  return R"({"event":"deviceExpired","payload":{"id":")" + std::string(kFakeReceiverId) +
         R"(","reason":")" + reason + R"("},"type":"event","version":1})";
}
std::string scan_response(const std::string& id, bool with_device) {
  return R"({"ok":true,"requestId":")" + id + R"(","result":{"complete":true,"devices":[)" +
         (with_device ? kDevice : "") + R"(],"warnings":[]},"type":"response","version":1})";
}

// The lines up to and including the response to `id` (at most 16 lines, each within `limit`).
std::vector<std::string> lines_through_response(KestruneProcess& process, const std::string& id,
                                                std::chrono::milliseconds limit = 10s) {
  std::vector<std::string> lines;
  for (int i = 0; i < 16; ++i) {
    auto line = process.read_line(limit);
    if (!line) break;
    lines.push_back(*line);
    if (line->find(R"("requestId":")" + id + "\"") != std::string::npos) break;
  }
  return lines;
}

FakeReceiverRecords records_with_ttl(std::uint32_t ttl) {
  FakeReceiverRecords records;
  records.ttl = ttl;
  return records;
}

class NetnsDiscovery : public ::testing::Test {
 protected:
  void start_receiver(FakeReceiverRecords records = FakeReceiverRecords()) {
    records.address = network.receiver_address;
    responder = std::make_unique<MdnsResponder>(network.receiver_namespace,
                                                network.receiver_address, records);
  }

  const NetnsNetwork network = netns_network();
  std::unique_ptr<MdnsResponder> responder;
};

TEST_F(NetnsDiscovery, InterfaceListShowsTheLinkWithItsNetmaskAndBroadcast) {
  const auto addresses = platform::list_interface_addresses();
  ASSERT_TRUE(addresses) << addresses.error().describe();
  const auto records = discovery::select_browse_interfaces(*addresses);
  ASSERT_EQ(records.size(), 1U) << "loopback and IPv6 addresses are not browsed on";
  EXPECT_EQ(records[0].address, platform::IpAddress::v4(network.local_address));
  EXPECT_EQ(records[0].netmask, (platform::IpAddress{255, 255, 255, 0}));
  EXPECT_EQ(records[0].prefix_length, 24);
  EXPECT_TRUE(records[0].broadcast.has_value());
  EXPECT_EQ(records[0].broadcast,
            (platform::IpAddress{network.local_address[0], network.local_address[1],
                                 network.local_address[2], 255}));
  bool loopback_listed = false;
  for (const auto& address : *addresses) {
    if (address.ipv4 && address.ipv4->address == platform::IpAddress{127, 0, 0, 1}) {
      loopback_listed = true;
      EXPECT_EQ(address.ipv4->prefix_length, 8);
      EXPECT_FALSE(address.ipv4->broadcast) << "loopback has no broadcast address";
    }
  }
  EXPECT_TRUE(loopback_listed);
}

TEST_F(NetnsDiscovery, ScanFindsTheReceiverAndAnnouncesItBeforeItsResponse) {
  start_receiver();
  auto process = start_ready();
  ASSERT_TRUE(process->write_line(scan_command("s1", 1000)));
  EXPECT_EQ(lines_through_response(*process, "s1"),
            (std::vector<std::string>{discovered_line(), scan_response("s1", true)}));

  // One query from this side's address, sent once to the mDNS group with TTL 255.
  const auto queries = responder->browse_queries();
  ASSERT_EQ(queries.size(), 1U);
  EXPECT_EQ(queries[0].bytes, discovery::build_browse_query());
  EXPECT_EQ(queries[0].source, network.local_address);
  EXPECT_NE(queries[0].source_port, 5353);
  EXPECT_EQ(queries[0].destination, (std::array<std::uint8_t, 4>{224, 0, 0, 251}));
  EXPECT_EQ(queries[0].ttl, 255);
  expect_orderly_end(*process, {shutdown_complete_line("stdin_eof", true)});
}

TEST_F(NetnsDiscovery, ScanWithNoReceiverListsNothingAndNoInterfaceWarning) {
  auto process = start_ready();
  ASSERT_TRUE(process->write_line(scan_command("s1", 300)));
  EXPECT_EQ(lines_through_response(*process, "s1"),
            std::vector<std::string>{scan_response("s1", false)});
  expect_orderly_end(*process, {shutdown_complete_line("stdin_eof", true)});
}

TEST_F(NetnsDiscovery, GoodbyeExpiresTheReceiverAuthoritatively) {
  start_receiver();
  auto process = start_ready();
  // Scans long enough that a busy machine still hears the answer within them.
  ASSERT_TRUE(process->write_line(scan_command("s1", 1500)));
  ASSERT_EQ(lines_through_response(*process, "s1").size(), 2U);

  responder->set_mode(Mode::goodbye);
  ASSERT_TRUE(process->write_line(scan_command("s2", 1500)));
  EXPECT_EQ(
      lines_through_response(*process, "s2"),
      (std::vector<std::string>{expired_line("authoritativeRemoval"), scan_response("s2", false)}));
  expect_orderly_end(*process, {shutdown_complete_line("stdin_eof", true)});
}

// Records that live 1 s: renewed at about 0.8 s, retried at the expiry, given up on 1 s later.
TEST_F(NetnsDiscovery, SilentReceiverIsRenewedRetriedAndExpiredWithRenewalMiss) {
  start_receiver(records_with_ttl(1));
  auto process = start_ready();
  ASSERT_TRUE(process->write_line(scan_command("s1", 500)));
  ASSERT_EQ(lines_through_response(*process, "s1"),
            (std::vector<std::string>{discovered_line(), scan_response("s1", true)}));
  responder->set_mode(Mode::silent);

  EXPECT_EQ(process->read_line(10s), expired_line("renewalMiss"))
      << "nothing is announced while the receiver stays silent";
  const auto expired_at = Clock::now();
  const auto queries = responder->browse_queries();
  ASSERT_EQ(queries.size(), 3U) << "the scan, one regular renewal and one retry";
  const auto first = queries[0].at;
  EXPECT_GE(queries[1].at - first, 800ms) << "three quarters of the way to the expiry";
  EXPECT_GE(queries[2].at - first, 1s) << "the retry waits for the expiry";
  EXPECT_GE(expired_at - first, 2s) << "the expiry and one second of grace";
  expect_orderly_end(*process, {shutdown_complete_line("stdin_eof", true)});
}

TEST_F(NetnsDiscovery, AnsweringReceiverIsRenewedAndStays) {
  start_receiver(records_with_ttl(1));
  auto process = start_ready();
  ASSERT_TRUE(process->write_line(scan_command("s1", 500)));
  ASSERT_EQ(lines_through_response(*process, "s1").size(), 2U);
  // Every renewal pass that hears the receiver announces it again; it never expires.
  for (int renewal = 0; renewal < 3; ++renewal) {
    EXPECT_EQ(process->read_line(10s), discovered_line()) << "renewal " << renewal;
  }
  EXPECT_GE(responder->browse_queries().size(), 4U);
  expect_orderly_end(*process, {shutdown_complete_line("stdin_eof", true)});
}

// Records that live 4 s: the regular renewal pass starts after 3 s and lasts 0.95 s.
TEST_F(NetnsDiscovery, ScanDuringARenewalPassSharesItsResult) {
  start_receiver(records_with_ttl(4));
  auto process = start_ready();
  ASSERT_TRUE(process->write_line(scan_command("s1", 200)));
  ASSERT_EQ(lines_through_response(*process, "s1").size(), 2U);

  ASSERT_TRUE(responder->wait_for_browse_queries(2, 10s)) << "no renewal pass";
  const auto sent = Clock::now();
  ASSERT_TRUE(process->write_line(scan_command("s2", 5000)));
  EXPECT_EQ(lines_through_response(*process, "s2"),
            (std::vector<std::string>{discovered_line(), scan_response("s2", true)}));
  EXPECT_LT(Clock::now() - sent, 3s) << "answered when the renewal pass ended, not 5 s later";
  EXPECT_EQ(responder->browse_queries().size(), 2U) << "the scan ran no pass of its own";
  expect_orderly_end(*process, {shutdown_complete_line("stdin_eof", true)});
}

}  // namespace
}  // namespace kestrune::testing
