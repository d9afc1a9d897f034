#include "discovery/discovery_owner.hpp"

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>

#include <gtest/gtest.h>

namespace kestrune::discovery {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

class RecordingOutput final : public DiscoveryOutput {
 public:
  bool push_event(std::string_view, nlohmann::json) override {
    pushes.fetch_add(1);
    return !closed.load();
  }
  bool output_closed() override {
    checks.fetch_add(1);
    return closed.load();
  }

  std::atomic<bool> closed{false};
  std::atomic<int> checks{0};
  std::atomic<int> pushes{0};
};

TEST(DiscoveryOwner, StopsAtOnceWhenNoScanWasEverMade) {
  auto output = std::make_shared<RecordingOutput>();
  auto owner = spawn_discovery_owner(output);
  ASSERT_TRUE(owner);
  const auto start = Clock::now();
  stop_discovery_owner(*owner);
  EXPECT_LT(Clock::now() - start, 2s);
  stop_discovery_owner(*owner);  // a second stop finds nothing to join
  drop_discovery_owner(*owner);
  EXPECT_EQ(output->pushes.load(), 0) << "nothing goes to the host before the first scan";
}

TEST(DiscoveryOwner, ScanWithoutAReplyReturnsNothingWithoutWaitingOutItsTime) {
  auto output = std::make_shared<RecordingOutput>();
  auto owner = spawn_discovery_owner(output);
  ASSERT_TRUE(owner);
  const auto start = Clock::now();
  EXPECT_EQ(request_scan(*owner, 5000ms), std::nullopt);
  // The owner drops the request unanswered, so the caller need not wait out 6 s.
  EXPECT_LT(Clock::now() - start, 3s);
  stop_discovery_owner(*owner);
  EXPECT_EQ(request_scan(*owner, 100ms), std::nullopt) << "a stopped owner answers nothing";
}

TEST(DiscoveryOwner, EndsByItselfOnceTheOutputIsClosed) {
  auto output = std::make_shared<RecordingOutput>();
  auto owner = spawn_discovery_owner(output);
  ASSERT_TRUE(owner);
  // A running owner looks at the output at every turn, at least every 50 ms.
  const int before = output->checks.load();
  std::this_thread::sleep_for(300ms);
  EXPECT_GT(output->checks.load(), before);

  output->closed.store(true);
  // Ended: the owner stops looking. Its last look may still be on its way, so the count is
  // sampled until it stands still for longer than several of the owner's turns.
  bool stood_still = false;
  for (int attempt = 0; attempt < 50 && !stood_still; ++attempt) {
    const int seen = output->checks.load();
    std::this_thread::sleep_for(300ms);
    stood_still = output->checks.load() == seen;
  }
  EXPECT_TRUE(stood_still) << "the owner went on after the output closed";
  drop_discovery_owner(*owner);
}

TEST(DiscoveryOwner, MovedFromHandleOwnsNothing) {
  auto output = std::make_shared<RecordingOutput>();
  auto owner = spawn_discovery_owner(output);
  ASSERT_TRUE(owner);
  DiscoveryOwner moved(std::move(*owner));
  drop_discovery_owner(*owner);  // harmless on the moved-from handle
  EXPECT_EQ(request_scan(*owner, 100ms), std::nullopt);
  drop_discovery_owner(moved);
}

TEST(DiscoveryOwner, SpawnFailureIsReturned) {
  support::inject_spawn_failure_for_testing("kestrune-discovery-owner");
  auto owner = spawn_discovery_owner(std::make_shared<RecordingOutput>());
  support::inject_spawn_failure_for_testing("");
  EXPECT_FALSE(owner);
}

}  // namespace
}  // namespace kestrune::discovery
