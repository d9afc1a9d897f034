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

TEST(WhiteSpace, TrimsUnicodeWhiteSpaceAtBothEndsOnly) {
  struct Case {
    const char* text;
    const char* trimmed;
  };
  const Case cases[] = {
      {"  value\t", "value"},
      {"\r\n\v\fvalue", "value"},
      {"a b", "a b"},
      {"\xC2\xA0value\xC2\xA0", "value"},          // U+00A0 no-break space
      {"\xE3\x80\x80value\xE2\x80\xA8", "value"},  // U+3000, U+2028
      {"\xE2\x80\x8Bvalue", "\xE2\x80\x8Bvalue"},  // U+200B is not white space
      {"value\xC3\xA9", "value\xC3\xA9"},          // a letter with a two-byte form stays
      {"   ", ""},
      {"", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(trim_unicode_white_space(c.text), c.trimmed);
  }
}

TEST(Utf8, RefusesMalformedSequencesInRtspHeads) {
  struct Case {
    std::string bytes;
    bool valid;
  };
  const Case cases[] = {
      {"plain ascii", true},
      {"\xC3\xA9", true},
      {"\xF0\x9F\x8E\xB5", true},
      {"\xC3", false},              // cut short
      {"\xC0\xAF", false},          // overlong
      {"\xE0\x80\xAF", false},      // overlong three-byte form
      {"\xED\xA0\x80", false},      // surrogate
      {"\xF4\x90\x80\x80", false},  // above U+10FFFF
      {"\xFF", false},
      {"a\x80", false},  // stray continuation byte
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.bytes);
    EXPECT_EQ(is_valid_utf8(c.bytes), c.valid);
  }
}

}  // namespace
}  // namespace kestrune::support
