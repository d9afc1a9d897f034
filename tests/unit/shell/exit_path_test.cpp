#include <fcntl.h>
#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

#include "shell/kestrune_main.hpp"
#include "support/thread.hpp"
#include "support/thread_testing.hpp"

namespace kestrune::shell {
namespace {

// Each start-up thread that cannot be created ends the process with exit code 1 after the one
// lifecycle line on standard error. The process runs in a fresh child, so the threads that were
// already started die with it.
class StartupThreadFailure : public ::testing::TestWithParam<const char*> {};

[[noreturn]] void run_with_failed_spawn(const std::string& thread_name) {
  support::inject_spawn_failure_for_testing(thread_name);
  // Nothing reaches the test's own output; standard input holds no command.
  const int null_fd = ::open("/dev/null", O_RDWR);
  ::dup2(null_fd, 0);
  ::dup2(null_fd, 1);
  std::_Exit(100 + kestrune_main());  // only reached if kestrune_main returns
}

TEST_P(StartupThreadFailure, EndsWithExitCodeOne) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(run_with_failed_spawn(GetParam()), ::testing::ExitedWithCode(1),
              "^error\\[kestrune\\]: process lifecycle failed\n$");
}

INSTANTIATE_TEST_SUITE_P(Threads, StartupThreadFailure,
                         ::testing::Values("kestrune-json-writer", "kestrune-discovery-owner",
                                           "kestrune-stdin-reader"),
                         [](const auto& row) {
                           std::string name = row.param;
                           for (char& c : name) {
                             if (c == '-') c = '_';
                           }
                           return name;
                         });

}  // namespace
}  // namespace kestrune::shell
