#include "discovery/renewal_schedule.hpp"
#include "discovery/renewal_schedule_testing.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "discovery/device_events.hpp"
#include "discovery/mdns_message.hpp"
#include "tests/support/fake_receiver_records.hpp"
#include "tests/unit/discovery/discovery_test_support.hpp"
#include "tests/unit/discovery/recording_output.hpp"

namespace kestrune::discovery {
namespace {

using namespace std::chrono_literals;
using kestrune::testing::FakeReceiverRecords;
using kestrune::testing::RecordingOutput;
using Kind = ScheduleOutcome::Kind;

const platform::Ipv4InterfaceAddress kLink = lan_interface({198, 18, 0, 2});

OwnerTime at(double seconds) {
  return OwnerTime::from_duration(
      std::chrono::round<std::chrono::nanoseconds>(std::chrono::duration<double>(seconds)));
}

// Stable ids as tests/vectors/discovery/stable_ids.txt gives them.
const std::string kA = kestrune::testing::kFakeReceiverId;  // aabbccddeeff
const std::string kB = "dev_35d09c03531002cb337230db87541d8011e9f691af861c8a73be7e194bbec461";
const std::string kC = "dev_4da25808d242677770100f715937d8bab6f3165e973e42dccc737ebf93df8b32";

FakeReceiverRecords device_a(std::uint32_t ttl) {
  FakeReceiverRecords r;
  r.ttl = ttl;
  return r;
}
FakeReceiverRecords device_b(std::uint32_t ttl) {
  FakeReceiverRecords r = device_a(ttl);
  r.device_id = "00:11:22:33:44:55";
  r.instance = "Hall";
  r.host = "hall-pod.local";
  return r;
}
FakeReceiverRecords device_c(std::uint32_t ttl) {
  FakeReceiverRecords r = device_a(ttl);
  r.device_id = "F0:E1:D2:C3:B4:A5";
  r.instance = "Den";
  r.host = "den-pod.local";
  return r;
}

ScheduleOutcome wait_for(std::chrono::nanoseconds duration) { return {Kind::wait, duration}; }
ScheduleOutcome pass_of(std::chrono::nanoseconds duration) {
  return {Kind::renewal_pass, duration};
}

class Schedule : public ::testing::Test {
 protected:
  Schedule() { cache.interfaces = std::vector{kLink}; }

  // The receiver answers at `when`; the answer is published as a browse pass would.
  void hear(const std::vector<std::uint8_t>& datagram, OwnerTime when) {
    auto records = decode_mdns_message(datagram);
    ASSERT_TRUE(records);
    ingest_mdns_records(cache, *records, when, kLink);
    ASSERT_TRUE(
        emit_device_events(cache, output, ExpiryReason::authoritative_removal, Announce::no));
  }
  ScheduleOutcome step(OwnerTime now) { return schedule.step(now, cache, output); }
  void settle(StableIdSet seen) { schedule.settle_renewal_pass(seen, cache); }

  DiscoveryCache cache;
  RecordingOutput output;
  RenewalSchedule schedule;
};

TEST(RenewalGrace, IsAQuarterOfTheTimeLeftWithinOneToFiveSeconds) {
  struct Row {
    double expiry, now;
    std::chrono::nanoseconds grace;
  };
  const Row rows[] = {{100, 100, 1s},     {100, 200, 1s}, {102, 100, 1s},
                      {110, 100, 2500ms}, {120, 100, 5s}, {1000, 100, 5s}};
  for (const Row& row : rows) {
    EXPECT_EQ(renewal_grace(at(row.expiry), at(row.now)), row.grace)
        << "expiry " << row.expiry << " now " << row.now;
  }
}

TEST_F(Schedule, NothingPublishedMeansNothingScheduled) {
  EXPECT_EQ(step(at(5)), wait_for(50ms));
  EXPECT_FALSE(regular_renewal(schedule));
}

// A device published at 10 s whose records live 120 s.
TEST_F(Schedule, SilentReceiverIsRenewedRetriedAndGivenUpOn) {
  hear(device_a(120).answer(), at(10));
  EXPECT_EQ(step(at(10)), wait_for(50ms));
  ASSERT_TRUE(regular_renewal(schedule));
  EXPECT_EQ(regular_renewal(schedule)->due_at, at(100));  // 10 + 0.75 * 120
  EXPECT_EQ(regular_renewal(schedule)->give_up_at.at(kA), at(135));
  EXPECT_EQ(step(at(99.99)), wait_for(10ms));

  EXPECT_EQ(step(at(100)), pass_of(3s)) << "min(30 s - 50 ms, 3 s)";
  ASSERT_TRUE(planned_pass(schedule));
  EXPECT_EQ(planned_pass(schedule)->kind, PassKind::regular);
  settle({});
  EXPECT_FALSE(regular_renewal(schedule)) << "the regular pass consumes its batch";
  EXPECT_EQ(retry_rows(schedule).at(kA), (RetryRow{at(130), at(135)}));

  EXPECT_EQ(step(at(110)), wait_for(50ms));
  EXPECT_EQ(step(at(130)), pass_of(3s)) << "min(5 s - 50 ms, 3 s)";
  EXPECT_EQ(planned_pass(schedule)->kind, PassKind::retry);
  settle({});
  EXPECT_TRUE(retry_rows(schedule).empty());
  EXPECT_EQ(failed_rows(schedule).at(kA), at(135));
  EXPECT_TRUE(output.events().empty());

  EXPECT_EQ(step(at(134.98)), wait_for(20ms));
  EXPECT_EQ(step(at(135)), ScheduleOutcome{Kind::continue_now});
  EXPECT_EQ(output.summary(), std::vector<std::string>{"deviceExpired " + kA + " renewalMiss"});
  EXPECT_TRUE(failed_rows(schedule).empty());
  EXPECT_FALSE(cache.published_view.contains(kA));
  EXPECT_EQ(step(at(135)), wait_for(50ms)) << "nothing is left to renew";
}

TEST_F(Schedule, RefusedRenewalMissEventEndsTheOwner) {
  hear(device_a(120).answer(), at(10));
  (void)step(at(10));
  (void)step(at(100));
  settle({});
  (void)step(at(130));
  settle({});
  output.accept_at_most(0);
  EXPECT_EQ(step(at(135)), ScheduleOutcome{Kind::end});
  EXPECT_TRUE(cache.published_view.contains(kA)) << "the host was not told, so it stays";
}

TEST_F(Schedule, AnswerToAnyPassReturnsTheReceiverToUnscheduled) {
  hear(device_a(120).answer(), at(10));
  (void)step(at(10));
  (void)step(at(100));
  settle({});  // missed the regular pass
  ASSERT_EQ(retry_rows(schedule).size(), 1U);

  hear(device_a(120).answer(), at(129));  // answers the retry pass
  EXPECT_EQ(step(at(130)), pass_of(3s)) << "the retry was planned before the answer came";
  settle({kA});
  EXPECT_TRUE(retry_rows(schedule).empty());
  EXPECT_TRUE(failed_rows(schedule).empty());
  EXPECT_EQ(step(at(130)), wait_for(50ms));
  ASSERT_TRUE(regular_renewal(schedule)) << "batched again from its new expiry";
  EXPECT_EQ(regular_renewal(schedule)->due_at, at(130 + 0.75 * 119));
}

TEST_F(Schedule, ExpiryAlreadyPastPlansTheShortestPassAndOneSecondOfGrace) {
  hear(device_a(120).answer(), at(10));
  EXPECT_EQ(step(at(200)), pass_of(1ms)) << "due at once";
  EXPECT_EQ(regular_renewal(schedule)->due_at, at(200));
  EXPECT_EQ(regular_renewal(schedule)->give_up_at.at(kA), at(131));
  settle({});
  EXPECT_EQ(retry_rows(schedule).at(kA), (RetryRow{at(130), at(131)}));
  EXPECT_EQ(step(at(200)), pass_of(1ms)) << "the retry is due at once as well";
  settle({});
  EXPECT_EQ(step(at(200)), ScheduleOutcome{Kind::continue_now});
  EXPECT_EQ(output.summary(), std::vector<std::string>{"deviceExpired " + kA + " renewalMiss"});
}

struct BatchCase {
  const char* name;
  bool a_answers_again;  // at 10 s, with a new expiry
  bool a_says_goodbye;
  double due_at;
  double give_up_a, give_up_b;
};

void PrintTo(const BatchCase& c, std::ostream* os) { *os << c.name; }

class ScheduleBatch : public Schedule, public ::testing::WithParamInterface<BatchCase> {};

// A (expiry 100 s) and B (200 s) are batched at 0 s; C (300 s) joins at 10 s.
TEST_P(ScheduleBatch, MergesWhileItsEarliestDeviceStaysElseRebuilds) {
  const BatchCase& c = GetParam();
  hear(device_a(100).answer(), at(0));
  hear(device_b(200).answer(), at(0));
  (void)step(at(0));
  ASSERT_EQ(regular_renewal(schedule)->due_at, at(75));
  ASSERT_EQ(regular_renewal(schedule)->give_up_at.at(kA), at(105));

  hear(device_c(290).answer(), at(10));
  if (c.a_answers_again) hear(device_a(100).answer(), at(10));
  if (c.a_says_goodbye) hear(device_a(100).goodbye(), at(10));
  (void)step(at(10));

  const auto& batch = regular_renewal(schedule);
  ASSERT_TRUE(batch);
  EXPECT_EQ(batch->due_at, at(c.due_at));
  EXPECT_EQ(batch->expiries.size(), c.a_says_goodbye ? 2U : 3U);
  if (!c.a_says_goodbye) {
    EXPECT_EQ(batch->give_up_at.at(kA), at(c.give_up_a));
  }
  EXPECT_EQ(batch->give_up_at.at(kB), at(c.give_up_b));
  EXPECT_EQ(batch->give_up_at.at(kC), at(305)) << "the newcomer gets its own deadline";
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ScheduleBatch,
    ::testing::Values(
        // 10 + 0.75 * 90 = 77.5 is later: the old due time stays, as do A's and B's deadlines.
        BatchCase{"newcomer_is_merged", false, false, 75, 105, 205},
        // A's new expiry 110 s: rebuilt at 10 s, due 10 + 0.75 * 100, every deadline anew.
        BatchCase{"earliest_changed_rebuilds", true, false, 85, 115, 205},
        // Without A the earliest is B: due 10 + 0.75 * 190.
        BatchCase{"earliest_gone_rebuilds", false, true, 152.5, 0, 205}),
    [](const auto& row) { return std::string(row.param.name); });

TEST_F(Schedule, RetryDueWithTheRegularRenewalRunsFirst) {
  hear(device_a(100).answer(), at(0));
  (void)step(at(0));
  (void)step(at(75));
  settle({});  // A: retry row due at 100 s
  hear(device_b(32).answer(), at(76));
  (void)step(at(76));  // B: batched, due 76 + 0.75 * 32 = 100 s
  ASSERT_EQ(regular_renewal(schedule)->due_at, at(100));

  EXPECT_EQ(step(at(100)), pass_of(3s)) << "min(105 - 100 - 0.05, 3)";
  EXPECT_EQ(planned_pass(schedule)->kind, PassKind::retry);
  EXPECT_EQ(planned_pass(schedule)->retry_at, (DeviceInstants{{kA, at(100)}}));
  settle({});
  EXPECT_EQ(step(at(100)), pass_of(3s));
  EXPECT_EQ(planned_pass(schedule)->kind, PassKind::regular);
  EXPECT_EQ(planned_pass(schedule)->retry_at, (DeviceInstants{{kB, at(108)}}));
}

TEST_F(Schedule, DueRetryRowsShareOnePassBoundByTheEarliestGiveUp) {
  hear(device_a(100).answer(), at(0));
  hear(device_b(104).answer(), at(0));
  hear(device_c(110).answer(), at(0));
  (void)step(at(0));
  (void)step(at(75));
  settle({});
  ASSERT_EQ(retry_rows(schedule).size(), 3U);
  EXPECT_EQ(step(at(104)), pass_of(950ms)) << "A gives up at 105 s, B at 109 s";
  EXPECT_EQ(planned_pass(schedule)->retry_at, (DeviceInstants{{kA, at(100)}, {kB, at(104)}}))
      << "C's retry is not due until 110 s";
  settle({kB});
  EXPECT_EQ(failed_rows(schedule), (DeviceInstants{{kA, at(105)}}));
  ASSERT_EQ(retry_rows(schedule).size(), 1U);
  EXPECT_EQ(retry_rows(schedule).begin()->first, kC) << "a row the pass did not take stays";
}

struct ScanCase {
  const char* name;
  double scan_end;
  bool saw_device;
  bool batch_left;  // the regular renewal is still pending
  bool retry_row;   // the device now has a retry row
};

void PrintTo(const ScanCase& c, std::ostream* os) { *os << c.name; }

class ScheduleScan : public Schedule, public ::testing::WithParamInterface<ScanCase> {};

// A's batch is due at 90 s (published at 0 s, expiry 120 s).
TEST_P(ScheduleScan, CountsAsTheRegularRenewalOnceItReachesTheDueTime) {
  const ScanCase& c = GetParam();
  hear(device_a(120).answer(), at(0));
  (void)step(at(0));
  ASSERT_EQ(regular_renewal(schedule)->due_at, at(90));
  schedule.after_scan(c.saw_device ? StableIdSet{kA} : StableIdSet{}, at(c.scan_end), cache);
  EXPECT_EQ(regular_renewal(schedule).has_value(), c.batch_left);
  EXPECT_EQ(retry_rows(schedule).contains(kA), c.retry_row);
  EXPECT_FALSE(planned_pass(schedule)) << "a scan plans nothing";
}

INSTANTIATE_TEST_SUITE_P(Cases, ScheduleScan,
                         ::testing::Values(ScanCase{"before_due_time", 89, false, true, false},
                                           ScanCase{"past_due_time_seen", 91, true, false, false},
                                           ScanCase{"past_due_time_silent", 91, false, false,
                                                    true}),
                         [](const auto& row) { return std::string(row.param.name); });

TEST_F(Schedule, ScanThatReachesARetryCountsAsTheRetry) {
  hear(device_a(120).answer(), at(0));
  (void)step(at(0));
  (void)step(at(90));
  settle({});
  ASSERT_EQ(retry_rows(schedule).at(kA).retry_at, at(120));
  schedule.after_scan({}, at(121), cache);
  EXPECT_TRUE(retry_rows(schedule).empty());
  EXPECT_EQ(failed_rows(schedule).at(kA), at(125));
}

TEST_F(Schedule, LastReceiverLeavingEmptiesEveryTable) {
  hear(device_a(100).answer(), at(0));
  hear(device_b(100).answer(), at(0));
  hear(device_c(300).answer(), at(0));
  (void)step(at(0));
  (void)step(at(75));
  settle({kC});  // A and B: retry rows; C: unscheduled
  (void)step(at(100));
  settle({kB});  // A: failed row; B and C: unscheduled, batched at the next step
  (void)step(at(100));
  ASSERT_FALSE(failed_rows(schedule).empty());
  ASSERT_TRUE(regular_renewal(schedule));

  hear(device_a(100).goodbye(), at(101));
  hear(device_b(100).goodbye(), at(101));
  hear(device_c(300).goodbye(), at(101));
  EXPECT_EQ(step(at(101)), wait_for(50ms));
  EXPECT_TRUE(retry_rows(schedule).empty());
  EXPECT_TRUE(failed_rows(schedule).empty());
  EXPECT_FALSE(regular_renewal(schedule));
}

TEST_F(Schedule, RenewalMissKeepsARecordThatAnotherReceiverStandsOn) {
  FakeReceiverRecords a = device_a(10);
  FakeReceiverRecords b = device_b(1000);
  a.host = b.host = "shared-pod.local";
  hear(a.answer(), at(0));
  hear(b.answer(), at(0));  // refreshes the shared address record to 1000 s
  EXPECT_EQ(step(at(20)), pass_of(1ms));
  settle({kB});
  EXPECT_EQ(step(at(20)), pass_of(1ms)) << "A's retry";
  settle({kB});
  // B moves to another port in records not yet told to the host; the renewal miss announces it.
  b.port = 7001;
  auto moved = decode_mdns_message(b.answer());
  ASSERT_TRUE(moved);
  ingest_mdns_records(cache, *moved, at(20), kLink);
  EXPECT_EQ(step(at(20)), ScheduleOutcome{Kind::continue_now});

  ASSERT_EQ(output.summary(), (std::vector<std::string>{"deviceExpired " + kA + " renewalMiss",
                                                        "deviceDiscovered " + kB}));
  EXPECT_EQ(output.events()[1].payload["device"]["port"], 7001);
  ASSERT_TRUE(cache.published_view.contains(kB));
  EXPECT_EQ(cache.published_view.at(kB).addresses, std::vector<std::string>{"198.18.0.1"});
  const RecordKey shared{"shared-pod.local", "198.18.0.1", kTypeA, true, kLink.address.v4_value()};
  EXPECT_TRUE(cache.records.contains(shared));
}

}  // namespace
}  // namespace kestrune::discovery
