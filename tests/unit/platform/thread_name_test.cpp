#include "platform/thread_name.hpp"

#include <gtest/gtest.h>
#include <pthread.h>

#include <mutex>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "platform/stderr_log_testing.hpp"

namespace kestrune::platform {
namespace {

TEST(Thread, OsNameIsCutTo15BytesAndFullNameKept) {
  std::string os_name;
  auto handle = spawn_named("kestrune-discovery-owner", [&] {
    char buffer[32] = {};
    pthread_getname_np(pthread_self(), buffer, sizeof buffer);
    os_name = buffer;
  });
  ASSERT_TRUE(handle);
  EXPECT_EQ(handle->name(), "kestrune-discovery-owner");
  ASSERT_TRUE(handle->join());
  EXPECT_EQ(os_name, "kestrune-discov");
}

TEST(Thread, AnAbnormalEndIsOneLineOnStandardError) {
  std::mutex mutex;
  std::vector<std::string> lines;  // guarded by mutex
  set_stderr_observer_for_testing([&](std::string_view line) {
    const std::lock_guard<std::mutex> lock(mutex);
    lines.emplace_back(line);
  });
  auto handle =
      spawn_named("rt-control", [] { throw std::runtime_error("control lock poisoned"); });
  ASSERT_TRUE(handle);
  EXPECT_FALSE(handle->join());
  set_stderr_observer_for_testing({});
  const std::lock_guard<std::mutex> lock(mutex);
  EXPECT_EQ(lines,
            std::vector<std::string>{"error[thread]: rt-control ended: control lock poisoned"});
}

}  // namespace
}  // namespace kestrune::platform
