#include "discovery/discovery_owner.hpp"
#include "support/thread_testing.hpp"

#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <thread>

#include <gtest/gtest.h>

#include "tests/support/fake_receiver_records.hpp"
#include "tests/support/gate.hpp"
#include "tests/support/wait_until.hpp"
#include "tests/unit/discovery/fake_browse_network.hpp"
#include "tests/unit/discovery/recording_output.hpp"

namespace kestrune::discovery {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using kestrune::testing::Datagram;
using kestrune::testing::FakeBrowseNetwork;
using kestrune::testing::FakeReceiverRecords;
using kestrune::testing::Gate;
using kestrune::testing::host_ipv4;
using kestrune::testing::kFakeReceiverId;
using kestrune::testing::RecordingOutput;
using kestrune::testing::wait_until;

constexpr platform::IpAddress kLink = {198, 18, 0, 2};

FakeReceiverRecords short_lived_receiver() {
  FakeReceiverRecords r;
  r.ttl = 1;  // renewed after 0.75 s, retried at 1 s, given up on at 2 s
  return r;
}

class Owner : public ::testing::Test {
 protected:
  Owner() {
    network->set_interfaces(std::vector{host_ipv4(kLink)});
    auto spawned = spawn_discovery_owner(output, network);
    EXPECT_TRUE(spawned);
    if (spawned) owner.emplace(std::move(*spawned));
  }
  ~Owner() override {
    if (owner) drop_discovery_owner(*owner);
  }

  // Answers the first `answered` queries with the receiver's records, then stays silent.
  void answer_first(std::size_t answered, FakeReceiverRecords receiver = FakeReceiverRecords()) {
    auto count = std::make_shared<std::atomic<std::size_t>>(0);
    network->set_responder([=](const platform::Ipv4InterfaceAddress&) {
      return count->fetch_add(1) < answered ? std::vector<Datagram>{receiver.answer()}
                                            : std::vector<Datagram>{};
    });
  }
  static std::vector<std::string> ids_of(const ScanResult& result) {
    std::vector<std::string> ids;
    for (const auto& device : result.devices) ids.push_back(device.id);
    return ids;
  }

  std::shared_ptr<FakeBrowseNetwork> network = std::make_shared<FakeBrowseNetwork>();
  std::shared_ptr<RecordingOutput> output = std::make_shared<RecordingOutput>();
  std::optional<DiscoveryOwner> owner;
};

TEST_F(Owner, TouchesNoNetworkBeforeTheFirstScanAndStopsAtOnce) {
  std::this_thread::sleep_for(300ms);
  EXPECT_EQ(network->interface_reads(), 0U);
  EXPECT_TRUE(network->queries().empty());
  const auto start = Clock::now();
  stop_discovery_owner(*owner);
  EXPECT_LT(Clock::now() - start, 2s) << "the Stop request wakes the owner's wait";
  stop_discovery_owner(*owner);  // a second stop finds nothing to join
  drop_discovery_owner(*owner);
  EXPECT_TRUE(output->events().empty());
  EXPECT_EQ(request_scan(*owner, 100ms), std::nullopt) << "a stopped owner answers nothing";
}

TEST_F(Owner, ScanRunsOnePassOfItsTimeAndRepliesAfterItsEvents) {
  answer_first(1);
  const auto start = Clock::now();
  const auto result = request_scan(*owner, 1000ms);
  EXPECT_GE(Clock::now() - start, 1000ms) << "the pass lasts the whole scan time";
  ASSERT_TRUE(result);
  EXPECT_EQ(ids_of(*result), std::vector<std::string>{kFakeReceiverId});
  EXPECT_TRUE(result->warnings.empty());
  EXPECT_EQ(output->summary(),
            std::vector<std::string>{"deviceDiscovered " + std::string(kFakeReceiverId)})
      << "queued before the reply";
  EXPECT_EQ(network->queries().size(), 1U);
}

TEST_F(Owner, ScanWithoutUsableInterfacesReportsTheWarning) {
  network->set_interfaces(std::vector{host_ipv4({127, 0, 0, 1}, "lo")});
  const auto result = request_scan(*owner, 100ms);
  ASSERT_TRUE(result);
  EXPECT_TRUE(result->devices.empty());
  EXPECT_EQ(result->warnings, (std::vector<DiscoveryWarning>{{"discovery_interface_failed", 1}}));
  EXPECT_TRUE(result->complete);
}

TEST_F(Owner, SilentReceiverIsRenewedRetriedAndExpiredOnTheSchedule) {
  answer_first(1, short_lived_receiver());
  ASSERT_TRUE(request_scan(*owner, 500ms));
  ASSERT_TRUE(output->wait_for_events(2, 10s)) << "no renewal miss";
  const auto expired_seen = Clock::now();
  EXPECT_EQ(output->summary()[1], "deviceExpired " + std::string(kFakeReceiverId) + " renewalMiss");

  // The scan's query, the regular renewal at three quarters of the lifetime, the retry at the
  // expiry; nothing more before the receiver is given up on.
  const auto queries = network->queries();
  ASSERT_EQ(queries.size(), 3U);
  const auto first = queries[0].at;
  EXPECT_GE(queries[1].at - first, 800ms) << "0.25 * scan end + 0.75 * expiry";
  EXPECT_GE(queries[2].at - first, 1s) << "the retry waits for the expiry";
  EXPECT_GE(expired_seen - first, 2s) << "expiry + 1 s of grace";
  EXPECT_EQ(network->open_sockets(), 0U);
}

TEST_F(Owner, AnsweringReceiverIsRenewedAndStays) {
  network->set_responder([](const platform::Ipv4InterfaceAddress&) {
    return std::vector<Datagram>{short_lived_receiver().answer()};
  });
  ASSERT_TRUE(request_scan(*owner, 500ms));
  // Every renewal pass that hears the receiver announces it again.
  ASSERT_TRUE(output->wait_for_events(4, 10s));
  for (const auto& line : output->summary()) {
    EXPECT_EQ(line, "deviceDiscovered " + std::string(kFakeReceiverId));
  }
  EXPECT_GE(network->queries().size(), 4U);
}

TEST_F(Owner, ScansDuringARenewalPassShareItsResult) {
  auto renewal_started = std::make_shared<Gate>();
  auto release_renewal = std::make_shared<Gate>();
  auto count = std::make_shared<std::atomic<int>>(0);
  network->set_responder([=](const platform::Ipv4InterfaceAddress&) {
    if (count->fetch_add(1) == 1) {
      renewal_started->open();
      (void)release_renewal->wait(5s);
    }
    return std::vector<Datagram>{short_lived_receiver().answer()};
  });
  ASSERT_TRUE(request_scan(*owner, 200ms));
  ASSERT_TRUE(renewal_started->wait(10s)) << "no renewal pass";

  const auto start = Clock::now();
  auto first = std::async(std::launch::async, [&] { return request_scan(*owner, 5000ms); });
  auto second = std::async(std::launch::async, [&] { return request_scan(*owner, 5000ms); });
  std::this_thread::sleep_for(200ms);  // both requests are queued by now
  release_renewal->open();
  const auto first_result = first.get();
  const auto second_result = second.get();

  EXPECT_LT(Clock::now() - start, 3s) << "answered when the renewal pass ended";
  ASSERT_TRUE(first_result);
  ASSERT_TRUE(second_result);
  EXPECT_EQ(*first_result, *second_result);
  EXPECT_EQ(ids_of(*first_result), std::vector<std::string>{kFakeReceiverId});
  EXPECT_EQ(network->queries().size(), 2U) << "no pass of their own";
}

TEST_F(Owner, ScansQueuedBehindAScanPassShareItsResult) {
  auto release_scan = std::make_shared<Gate>();
  network->set_responder([=](const platform::Ipv4InterfaceAddress&) {
    (void)release_scan->wait(10s);
    return std::vector<Datagram>{FakeReceiverRecords().answer()};
  });
  auto first = std::async(std::launch::async, [&] { return request_scan(*owner, 300ms); });
  ASSERT_TRUE(network->wait_for_queries(1, 10s)) << "no scan pass";
  auto second = std::async(std::launch::async, [&] { return request_scan(*owner, 5000ms); });
  auto third = std::async(std::launch::async, [&] { return request_scan(*owner, 5000ms); });
  std::this_thread::sleep_for(1s);  // both requests are queued by now
  release_scan->open();

  // The first caller may have given up meanwhile (its wait counts the held pass); the queued
  // ones are answered with the result of that same pass.
  const auto first_result = first.get();
  const auto second_result = second.get();
  const auto third_result = third.get();
  ASSERT_TRUE(second_result);
  EXPECT_EQ(ids_of(*second_result), std::vector<std::string>{kFakeReceiverId});
  EXPECT_EQ(third_result, second_result);
  if (first_result) {
    EXPECT_EQ(first_result, second_result);
  }
  EXPECT_EQ(network->queries().size(), 1U) << "the queued scans ran no pass of their own";
}

TEST_F(Owner, ScanSentAfterTheLastReplyRunsAPassOfItsOwn) {
  // Back to back, each scan is sent only once the previous one has its reply, so none of them
  // was waiting during an earlier pass and none may be answered with an earlier result.
  answer_first(1000);
  constexpr std::size_t kScans = 25;
  for (std::size_t scan = 1; scan <= kScans; ++scan) {
    ASSERT_TRUE(request_scan(*owner, 100ms)) << "scan " << scan;
    ASSERT_EQ(network->queries().size(), scan) << "scan " << scan << " ran no pass";
  }
}

TEST_F(Owner, ScanGivesUpAfterItsTimeAndOneSecondWhileARenewalPassHoldsTheOwner) {
  auto renewal_started = std::make_shared<Gate>();
  auto release_renewal = std::make_shared<Gate>();
  auto count = std::make_shared<std::atomic<int>>(0);
  network->set_responder([=](const platform::Ipv4InterfaceAddress&) {
    if (count->fetch_add(1) == 1) {
      renewal_started->open();
      (void)release_renewal->wait(5s);
    }
    return std::vector<Datagram>{short_lived_receiver().answer()};
  });
  ASSERT_TRUE(request_scan(*owner, 200ms));
  ASSERT_TRUE(renewal_started->wait(10s)) << "no renewal pass";

  // 1 s of scan time: the caller waits 2 s, not 1 s, 3 s nor twice the scan time and a second.
  const auto start = Clock::now();
  EXPECT_EQ(request_scan(*owner, 1000ms), std::nullopt);
  const auto waited = Clock::now() - start;
  EXPECT_GE(waited, 2s) << "the scan time plus one second";
  EXPECT_LT(waited, 2500ms);

  // The owner's late reply to the abandoned scan goes nowhere, and the owner carries on.
  release_renewal->open();
  const auto next = request_scan(*owner, 200ms);
  ASSERT_TRUE(next);
  EXPECT_EQ(ids_of(*next), std::vector<std::string>{kFakeReceiverId});
}

TEST_F(Owner, StopDuringAScanEndsItSoonAndTheScanIsStillAnswered) {
  auto scan = std::async(std::launch::async, [&] { return request_scan(*owner, 5000ms); });
  ASSERT_TRUE(network->wait_for_queries(1, 5s));
  const auto start = Clock::now();
  stop_discovery_owner(*owner);
  EXPECT_LT(Clock::now() - start, 2s);
  ASSERT_EQ(scan.wait_for(2s), std::future_status::ready);
  const auto result = scan.get();
  ASSERT_TRUE(result) << "the pass that ended early still replies";
  EXPECT_TRUE(result->complete);
}

TEST_F(Owner, OutputClosedDuringAScanStillRepliesThenTheOwnerEnds) {
  auto release = std::make_shared<Gate>();
  network->set_responder([=](const platform::Ipv4InterfaceAddress&) {
    (void)release->wait(5s);
    return std::vector<Datagram>{FakeReceiverRecords().answer()};
  });
  auto scan = std::async(std::launch::async, [&] { return request_scan(*owner, 5000ms); });
  ASSERT_TRUE(network->wait_for_queries(1, 5s));
  output->close();
  release->open();
  ASSERT_EQ(scan.wait_for(3s), std::future_status::ready);
  EXPECT_TRUE(scan.get());

  // Ended: it stops looking at the output. Its last look may still be on its way, so the count
  // is sampled until it stands still for longer than several of the owner's turns.
  const bool stood_still = wait_until(
      [&] {
        const std::size_t seen = output->closed_checks();
        std::this_thread::sleep_for(300ms);
        return output->closed_checks() == seen;
      },
      30s);
  EXPECT_TRUE(stood_still) << "the owner went on after the output closed";
  EXPECT_EQ(request_scan(*owner, 100ms), std::nullopt);
}

TEST_F(Owner, LooksAtTheOutputAtLeastEveryFiftyMillisecondsWhileIdle) {
  const std::size_t before = output->closed_checks();
  std::this_thread::sleep_for(500ms);
  EXPECT_GE(output->closed_checks() - before, 3U);
}

TEST(DiscoveryOwner, MovedFromHandleOwnsNothing) {
  auto owner = spawn_discovery_owner(std::make_shared<RecordingOutput>(),
                                     std::make_shared<FakeBrowseNetwork>());
  ASSERT_TRUE(owner);
  DiscoveryOwner moved(std::move(*owner));
  drop_discovery_owner(*owner);  // harmless on the moved-from handle
  EXPECT_EQ(request_scan(*owner, 100ms), std::nullopt);
  drop_discovery_owner(moved);
}

TEST(DiscoveryOwner, SpawnFailureIsReturned) {
  support::inject_spawn_failure_for_testing("kestrune-discovery-owner");
  auto owner = spawn_discovery_owner(std::make_shared<RecordingOutput>(),
                                     std::make_shared<FakeBrowseNetwork>());
  support::inject_spawn_failure_for_testing("");
  EXPECT_FALSE(owner);
}

}  // namespace
}  // namespace kestrune::discovery
