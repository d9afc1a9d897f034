#include "support/utf8.hpp"

#include <gtest/gtest.h>

#include <string>

namespace kestrune::support {
namespace {

TEST(Utf8, StrictValidation) {
  struct Case {
    std::string text;
    bool valid;
  };
  const Case cases[] = {
      {"plain", true},
      {"\xC3\xA9", true},
      {"\xE2\x82\xAC", true},
      {"\xF0\x9F\x8E\xB5", true},
      {"\xF4\x8F\xBF\xBF", true},   // U+10FFFF
      {"\xF4\x90\x80\x80", false},  // above U+10FFFF
      {"\xC0\xAF", false},          // overlong
      {"\xE0\x80\xAF", false},      // overlong
      {"\xED\xA0\x80", false},      // surrogate
      {"\xC3", false},              // cut short
      {"\x80", false},              // lone continuation
      {"\xE2\x82", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.text));
    EXPECT_EQ(is_valid_utf8(c.text), c.valid);
  }
  EXPECT_EQ(trim_unicode_white_space("\xE2\x80\xA8 a b\xE3\x80\x80\r\n"), "a b");
  EXPECT_EQ(trim_unicode_white_space("\xC3\xA9"), "\xC3\xA9");
  EXPECT_EQ(trim_unicode_white_space(" \xC2\x85 "), "");
}

}  // namespace
}  // namespace kestrune::support
