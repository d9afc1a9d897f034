#include "support/mutex.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <stdexcept>
#include <thread>

#include "platform/thread_name.hpp"
#include "support/thread.hpp"

namespace kestrune::support {
namespace {

using platform::spawn_named;

TEST(Mutex, GuardsItsValue) {
  Mutex<int> counter(0);
  std::thread a([&] {
    for (int i = 0; i < 10000; ++i) ++*counter.lock();
  });
  std::thread b([&] {
    for (int i = 0; i < 10000; ++i) ++*counter.lock();
  });
  a.join();
  b.join();
  EXPECT_EQ(*counter.lock(), 20000);
  EXPECT_FALSE(counter.is_poisoned());
}

TEST(Mutex, ExceptionWhileHeldPoisonsForever) {
  Mutex<int> value(1);
  auto handle = spawn_named("poisoner", [&] {
    auto guard = value.lock();
    *guard = 2;
    end_thread("history lock poisoned");
  });
  ASSERT_TRUE(handle);
  EXPECT_FALSE(handle->join());
  EXPECT_TRUE(value.is_poisoned());
  {
    auto guard = value.lock();
    EXPECT_TRUE(guard.poisoned());
    EXPECT_EQ(*guard, 2) << "the data stays as the failed thread left it";
  }
  EXPECT_TRUE(value.lock().poisoned()) << "the mark is never cleared";
}

TEST(Mutex, ExceptionCaughtInsideTheScopeDoesNotPoison) {
  Mutex<int> value(0);
  {
    auto guard = value.lock();
    try {
      throw std::runtime_error("handled");
    } catch (const std::runtime_error&) {
    }
  }
  EXPECT_FALSE(value.is_poisoned());
}

TEST(Mutex, GuardTakenDuringUnwindingPoisonsOnlyIfItFails) {
  // A guard created while an exception is already in flight (in a destructor) must not poison by
  // itself: only unwinding that starts while it is held counts.
  Mutex<int> value(0);
  struct LocksInDestructor {
    Mutex<int>& m;
    ~LocksInDestructor() { ++*m.lock(); }
  };
  try {
    LocksInDestructor locker{value};
    throw std::runtime_error("unwinding");
  } catch (const std::runtime_error&) {
  }
  EXPECT_FALSE(value.is_poisoned());
  EXPECT_EQ(*value.lock(), 1);
}

TEST(Mutex, TryLockFailsWhileHeld) {
  Mutex<int> value(0);
  {
    auto guard = value.lock();
    std::thread other([&] { EXPECT_FALSE(value.try_lock().has_value()); });
    other.join();
  }
  auto again = value.try_lock();
  ASSERT_TRUE(again.has_value());
  EXPECT_FALSE(again->poisoned());
}

}  // namespace
}  // namespace kestrune::support
