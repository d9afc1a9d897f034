// A thread leaves what went through its frames in the stack it gives up, and glibc keeps that
// stack for the next thread: every thread the program starts zeroes it before it ends.

#include "platform/stack_wipe.hpp"

#include <gtest/gtest.h>
#include <pthread.h>

#include <cstddef>
#include <cstdint>
#include <span>

#include "platform/thread_name.hpp"
#include "support/thread.hpp"
#include "tests/support/secret_scan.hpp"

namespace kestrune::platform {
namespace {

using Secret = std::span<const std::uint8_t, testing::SecretScanner::kSecretSize>;

// Copies the secret into a frame of its own, given up when it returns (volatile: the stores are
// made, as a cipher's would be).
[[gnu::noinline]] void pass_through_a_frame(Secret secret) {
  volatile std::uint8_t copy[testing::SecretScanner::kSecretSize];
  for (std::size_t i = 0; i < secret.size(); ++i) copy[i] = secret[i];
  (void)copy[0];
}

// Goes `depth` frames of 4 KiB down before the secret passes through.
[[gnu::noinline]] void descend(Secret secret, int depth) {
  volatile std::uint8_t padding[4096];
  padding[0] = 1;
  if (depth == 0) {
    pass_through_a_frame(secret);
  } else {
    descend(secret, depth - 1);
  }
  padding[1] = padding[0];
}

// What a frame left 4 KiB down, below what the thread's own way out overwrites, is gone once a
// thread of the program has ended. The row of a bare spawn shows that the copy would stay (glibc
// keeps the 16 KiB below an ended thread's outermost frame), so the first row tells something.
TEST(StackWipe, AThreadOfTheProgramLeavesNothingInTheStackItGaveUp) {
  struct Case {
    const char* name;
    bool program_thread;  // spawned as the program does, or with no hook at its end
    bool copy_left;
  };
  for (const Case& c : {Case{"spawn_named", true, false}, Case{"bare spawn", false, true}}) {
    SCOPED_TRACE(c.name);
    testing::SecretScanner scanner;  // a secret of its own for each row
    const Secret secret = scanner.secret();
    auto body = [secret] { descend(secret, 1); };
    auto handle = c.program_thread ? spawn_named("secret-holder", body)
                                   : support::spawn_thread("secret-holder", {}, body);
    ASSERT_TRUE(handle);
    ASSERT_TRUE(handle->join());
    EXPECT_EQ(scanner.copies() > 0, c.copy_left);
  }
}

// The wipe reaches what frames deep down left, on the thread that calls it.
TEST(StackWipe, ZeroesTheFramesFarBelowTheCaller) {
  for (const int depth : {1, 3, 10}) {  // 4, 12 and 40 KiB down
    SCOPED_TRACE(depth);
    testing::SecretScanner scanner;
    const Secret secret = scanner.secret();
    std::size_t before = 0;
    std::size_t after = 0;
    auto handle = spawn_named("secret-holder", [&] {
      descend(secret, depth);
      before = scanner.copies();
      wipe_unused_stack();
      after = scanner.copies();
    });
    ASSERT_TRUE(handle);
    ASSERT_TRUE(handle->join());
    EXPECT_GE(before, 1u);
    EXPECT_EQ(after, 0u);
  }
}

// A thread whose whole stack is smaller than the wipe's reach is wiped to near its end, not past
// it (past it lies the guard page: the process would die).
TEST(StackWipe, StopsShortOfTheEndOfASmallStack) {
  constexpr std::size_t kSmallStack = 48 * 1024;
  static_assert(kSmallStack < kStackWipeBytes);
  pthread_attr_t attributes;
  ASSERT_EQ(pthread_attr_init(&attributes), 0);
  ASSERT_EQ(pthread_attr_setstacksize(&attributes, kSmallStack), 0);
  pthread_t thread;
  ASSERT_EQ(pthread_create(
                &thread, &attributes,
                [](void*) -> void* {
                  wipe_unused_stack();
                  return nullptr;
                },
                nullptr),
            0);
  pthread_attr_destroy(&attributes);
  EXPECT_EQ(pthread_join(thread, nullptr), 0);
}

}  // namespace
}  // namespace kestrune::platform
