#include "support/error.hpp"

#include <gtest/gtest.h>

#include <cerrno>

namespace kestrune::support {
namespace {

Result<int> parse_positive(int value) {
  if (value <= 0) return fail("not positive");
  return value;
}

Result<int> read_config(int value) {
  auto parsed = parse_positive(value);
  if (!parsed) return fail_with_context(std::move(parsed), "read config");
  return *parsed * 2;
}

TEST(Error, ContextChainIsOutermostFirst) {
  auto result = read_config(-1);
  ASSERT_FALSE(result);
  Error error = std::move(result).error().context("start session");
  EXPECT_EQ(error.root_message(), "not positive");
  EXPECT_EQ(error.contexts(), (std::vector<std::string>{"start session", "read config"}));
  EXPECT_EQ(error.describe(), "start session: read config: not positive");
  EXPECT_EQ(read_config(4).value(), 8);
}

TEST(Error, ContextOnACopyLeavesTheOriginal) {
  const Error base("root");
  const Error outer = base.context("outer");
  EXPECT_TRUE(base.contexts().empty());
  EXPECT_EQ(outer.describe(), "outer: root");
}

TEST(Error, ErrnoKindsAndTimeoutQuestion) {
  struct Case {
    int value;
    ErrorKind kind;
    bool timeout;
  };
  const Case cases[] = {
      {EAGAIN, ErrorKind::would_block, true},
      {ETIMEDOUT, ErrorKind::timed_out, true},
      {EINTR, ErrorKind::interrupted, false},
      {EPIPE, ErrorKind::connection_closed, false},
      {ECONNRESET, ErrorKind::connection_closed, false},
      {ENOENT, ErrorKind::other, false},
  };
  for (const Case& c : cases) {
    const Error error = Error::from_errno("recv", c.value).context("read response");
    EXPECT_EQ(error.kind(), c.kind) << c.value;
    EXPECT_EQ(error.os_code(), c.value);
    EXPECT_EQ(is_timeout_error(error), c.timeout) << c.value;
    EXPECT_EQ(error.root_message().rfind("recv: ", 0), 0u);
  }
}

}  // namespace
}  // namespace kestrune::support
