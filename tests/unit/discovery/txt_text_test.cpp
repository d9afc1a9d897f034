#include "discovery/txt_text.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace kestrune::discovery {
namespace {

TEST(SanitizeTxtText, RefusesEmptyOverlongAndControlCharacters) {
  struct Case {
    std::string text;
    std::size_t cap;
    bool accepted;
  };
  const Case cases[] = {
      {"Kitchen", 128, true},
      {"   ", 128, true},  // nothing is trimmed
      {"Caf\xC3\xA9", 128, true},
      {std::string(128, 'a'), 128, true},
      {std::string(129, 'a'), 128, false},
      {std::string(64, 'a'), 64, true},
      {std::string(65, 'a'), 64, false},
      {"", 128, false},
      {"Kit\tchen", 128, false},
      {"Kitchen\n", 128, false},
      {std::string("Kit\0chen", 8), 128, false},
      {"\x1F", 128, false},
      {" ", 128, true},
      {"~", 128, true},           // U+007E
      {"\x7F", 128, false},       // DEL
      {"a\xC2\x80", 128, false},  // U+0080
      {"a\xC2\x9F", 128, false},  // U+009F
      {"a\xC2\xA0", 128, true},   // U+00A0
      {"\xFF", 128, false},       // not UTF-8
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.text));
    const auto sanitized = sanitize_txt_text(c.text, c.cap);
    EXPECT_EQ(sanitized.has_value(), c.accepted);
    if (sanitized) {
      EXPECT_EQ(*sanitized, c.text);
    }
  }
}

TEST(NormalizeFeaturesHex, HexDigitsAfterTrimAndOptionalPrefix) {
  struct Case {
    const char* text;
    std::optional<std::string> features;
  };
  const Case cases[] = {
      {"0x4A7FDFD5", "0x4a7fdfd5"},
      {"4A7FDFD5", "0x4a7fdfd5"},
      {"  0x1f \t", "0x1f"},
      {"\xE3\x80\x80"
       "0xAB\xC2\xA0",
       "0xab"},  // U+3000 and U+00A0 are white space
      {"0x0123456789abcdef", "0x0123456789abcdef"},
      {"0x0123456789abcdef0", std::nullopt},  // 17 digits
      {"0X4A7FDFD5", std::nullopt},           // only a lower-case x is a prefix
      {"0x4A7FDFD5,0xBCB46", std::nullopt},
      {"0x", std::nullopt},
      {"", std::nullopt},
      {"0x0x1", std::nullopt},
      {"0x 1", std::nullopt},
      {"x1", std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(normalize_features_hex(c.text), c.features);
  }
}

}  // namespace
}  // namespace kestrune::discovery
