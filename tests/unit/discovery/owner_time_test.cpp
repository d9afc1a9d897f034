#include "discovery/owner_time.hpp"

#include <gtest/gtest.h>

#include <chrono>

namespace kestrune::discovery {
namespace {

using std::chrono::nanoseconds;
using std::chrono::seconds;

TEST(OwnerTime, FromDurationClampsNegativeToZero) {
  EXPECT_EQ(OwnerTime::from_duration(nanoseconds(-5)), OwnerTime{});
  EXPECT_EQ(OwnerTime::from_duration(nanoseconds(3'000'000'007)), (OwnerTime{3, 7}));
}

TEST(OwnerTime, SumsSaturateAtTheLargestTime) {
  const OwnerTime near_end{UINT64_MAX - 1, 999'999'999};
  EXPECT_EQ(near_end.plus_seconds(1), (OwnerTime{UINT64_MAX, 999'999'999}));
  EXPECT_EQ(near_end.plus_seconds(2), OwnerTime::max());
  EXPECT_EQ((OwnerTime{UINT64_MAX, 5}).plus_seconds(1), OwnerTime::max());
  EXPECT_EQ((OwnerTime{10, 5}).plus_seconds(86'400), (OwnerTime{86'410, 5}));

  EXPECT_EQ((OwnerTime{1, 600'000'000}).plus(nanoseconds(500'000'000)),
            (OwnerTime{2, 100'000'000}));
  EXPECT_EQ((OwnerTime{UINT64_MAX, 600'000'000}).plus(nanoseconds(500'000'000)), OwnerTime::max());
  EXPECT_EQ((OwnerTime{UINT64_MAX, 1}).plus(nanoseconds(1)), (OwnerTime{UINT64_MAX, 2}));
  EXPECT_EQ((OwnerTime{4, 0}).plus(nanoseconds(-1)), (OwnerTime{4, 0}));
}

TEST(OwnerTime, DifferencesSaturateAtZeroAndAtTheLargestDuration) {
  const OwnerTime later{5, 100};
  const OwnerTime earlier{3, 200};
  EXPECT_EQ(later.duration_since(earlier), seconds(2) - nanoseconds(100));
  EXPECT_EQ(earlier.duration_since(later), nanoseconds::zero());
  EXPECT_EQ(OwnerTime::max().duration_since(OwnerTime{}), nanoseconds::max());
  EXPECT_LT(OwnerTime{}, (OwnerTime{0, 1}));
  EXPECT_LT((OwnerTime{0, 999'999'999}), (OwnerTime{1, 0}));
}

}  // namespace
}  // namespace kestrune::discovery
