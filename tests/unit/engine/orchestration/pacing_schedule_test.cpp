#include "engine/orchestration/pacing_schedule.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <optional>

namespace kestrune::engine {
namespace {

using namespace std::chrono_literals;
using std::chrono::nanoseconds;

const MonotonicClock::time_point kStart = MonotonicClock::time_point(1000s);

TEST(PacingSchedule, TheFirstPacketGoesAtOnceAndRecordsNoDeviation) {
  PacingSchedule schedule(kStart);
  EXPECT_EQ(schedule.deadline(), kStart);
  // Sent 5 s after the thread started (a long prefill): re-anchored there, nothing recorded.
  const auto first = kStart + 5s;
  EXPECT_EQ(schedule.begin_send(first), std::nullopt);
  EXPECT_EQ(schedule.deadline(), first);
  schedule.complete_send(first);
  EXPECT_EQ(schedule.deadline(), first + kPacketInterval);
}

TEST(PacingSchedule, LatenessOfAWholeIntervalOrMoreReanchors) {
  struct Case {
    nanoseconds lateness;
    bool reanchored;
  };
  const Case cases[] = {
      {0ns, false},
      {nanoseconds(7'981'859), false},
      {nanoseconds(7'981'860), true},
      {50ms, true},
  };
  for (const Case& c : cases) {
    PacingSchedule schedule(kStart);
    schedule.begin_send(kStart);
    schedule.complete_send(kStart);
    const auto due = kStart + kPacketInterval;
    const auto sent = due + c.lateness;
    schedule.begin_send(sent);
    EXPECT_EQ(schedule.deadline(), c.reanchored ? sent : due) << c.lateness.count();
    schedule.complete_send(sent);
    // Kept: the next packet is already due and goes out without sleeping. Re-anchored: it is
    // due one interval after this send.
    const auto next = schedule.deadline();
    EXPECT_EQ(next, (c.reanchored ? sent : due) + kPacketInterval) << c.lateness.count();
    EXPECT_EQ(next <= sent, !c.reanchored && c.lateness >= kPacketInterval) << c.lateness.count();
  }
}

TEST(PacingSchedule, DeviationOfEachSendInterval) {
  struct Case {
    nanoseconds gap;
    std::uint64_t deviation;
  };
  const Case cases[] = {
      {nanoseconds(7'981'859), 0},
      {nanoseconds(8'000'000), 18'141},
      {nanoseconds(7'971'859), 10'000},
      {2s, 2'000'000'000 - 7'981'859},
      {0ns, 7'981'859},
  };
  for (const Case& c : cases) {
    PacingSchedule schedule(kStart);
    schedule.begin_send(kStart);
    schedule.complete_send(kStart);
    EXPECT_EQ(schedule.begin_send(kStart + c.gap), c.deviation) << c.gap.count();
  }
}

TEST(PacingSchedule, TheLongTermRateIsTheNominalOneWhateverTheWakeUps) {
  PacingSchedule schedule(kStart);
  const nanoseconds wake_ups[] = {0ns, 900us, 10us, 3ms, 7ms, 0ns, 150us};
  constexpr int kPackets = 10'000;
  for (int i = 0; i < kPackets; ++i) {
    const auto sent = schedule.deadline() + wake_ups[i % std::size(wake_ups)];
    schedule.begin_send(sent);
    schedule.complete_send(sent);
  }
  EXPECT_EQ(schedule.deadline(), kStart + kPackets * kPacketInterval);
}

TEST(PacingSchedule, ADeviationIsRecordedOnlyAgainstACompletedSend) {
  // A send that failed is never completed, so the previous instant stays the last good send.
  PacingSchedule schedule(kStart);
  schedule.begin_send(kStart);
  schedule.complete_send(kStart);
  schedule.begin_send(kStart + 8ms);  // its send failed
  EXPECT_EQ(schedule.begin_send(kStart + 10ms), 10'000'000u - 7'981'859u);
}

}  // namespace
}  // namespace kestrune::engine
