#include "platform/thread_name.hpp"

#include <gtest/gtest.h>
#include <pthread.h>

#include <string>

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

}  // namespace
}  // namespace kestrune::platform
