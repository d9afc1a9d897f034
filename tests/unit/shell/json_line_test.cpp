#include "shell/json_line.hpp"

#include <cmath>
#include <limits>
#include <string>

#include <gtest/gtest.h>

namespace kestrune::shell {
namespace {

using nlohmann::json;

std::string nested_arrays(std::size_t depth) {
  return std::string(depth, '[') + std::string(depth, ']');
}

std::string nested_objects(std::size_t depth) {
  std::string text;
  for (std::size_t i = 0; i < depth; ++i) text += "{\"a\":";
  text += "1";
  text += std::string(depth, '}');
  return text;
}

struct ParseCase {
  const char* name;
  std::string text;
  bool accepted;
};

// Test names and failure messages show the case, not its bytes.
void PrintTo(const ParseCase& c, std::ostream* os) { *os << c.name; }

class ParseJsonLine : public ::testing::TestWithParam<ParseCase> {};

TEST_P(ParseJsonLine, AcceptsOnlyOneWellFormedValue) {
  EXPECT_EQ(parse_json_line(GetParam().text).has_value(), GetParam().accepted);
}

INSTANTIATE_TEST_SUITE_P(
    Table, ParseJsonLine,
    ::testing::Values(
        ParseCase{"object", R"({"a":[1,2,{"b":null}]})", true}, ParseCase{"scalar", "17", true},
        ParseCase{"whitespace_around", " \t{\"a\":1} \r\t", true}, ParseCase{"empty", "", false},
        ParseCase{"only_spaces", "   ", false}, ParseCase{"trailing_value", "{} {}", false},
        ParseCase{"trailing_comma", "[1,]", false}, ParseCase{"unquoted_key", "{a:1}", false},
        ParseCase{"single_quotes", "{'a':1}", false}, ParseCase{"comment", "{} // note", false},
        ParseCase{"leading_zero", "[01]", false}, ParseCase{"plus_sign", "[+1]", false},
        ParseCase{"nan_literal", "[NaN]", false},
        ParseCase{"raw_control_in_string", std::string("[\"a\x01\"]"), false},
        ParseCase{"nul_outside_string", std::string("{}\0", 3), false},
        ParseCase{"byte_order_mark", "\xEF\xBB\xBF{}", false},
        ParseCase{"two_byte_utf8", "[\"\xC3\xA9\"]", true},
        ParseCase{"four_byte_utf8", "[\"\xF0\x9F\x8E\xB5\"]", true},
        ParseCase{"lone_continuation_byte", "[\"\x80\"]", false},
        ParseCase{"truncated_sequence", "[\"\xC3\"]", false},
        ParseCase{"overlong_encoding", "[\"\xC0\xAF\"]", false},
        ParseCase{"encoded_surrogate", "[\"\xED\xA0\x80\"]", false},
        ParseCase{"beyond_unicode", "[\"\xF4\x90\x80\x80\"]", false},
        ParseCase{"escaped_surrogate_pair", R"(["\ud83c\udfb5"])", true},
        ParseCase{"lone_escaped_surrogate", R"(["\ud83c"])", false},
        ParseCase{"invalid_escape", R"(["\q"])", false},
        ParseCase{"arrays_128_deep", nested_arrays(128), true},
        ParseCase{"arrays_129_deep", nested_arrays(129), false},
        ParseCase{"objects_128_deep", nested_objects(128), true},
        ParseCase{"objects_129_deep", nested_objects(129), false},
        // Far deeper than any stack could recurse: refused without growing with the depth.
        ParseCase{"arrays_million_deep", nested_arrays(1'000'000), false},
        ParseCase{"nul_inside_string", std::string("[\"a\0\"]", 6), false},
        ParseCase{"number_beyond_double", "[1e400]", false},
        ParseCase{"number_near_double_limit", "[1.7e308]", true}),
    [](const auto& row) { return std::string(row.param.name); });

TEST(ParseJsonLine, RepeatedKeyKeepsItsLastValue) {
  const auto value = parse_json_line(R"({"volume":0.2,"x":{"k":1,"k":[2]},"volume":0.4})");
  ASSERT_TRUE(value);
  EXPECT_EQ((*value)["volume"], json(0.4));
  EXPECT_EQ((*value)["x"], json::parse(R"({"k":[2]})"));
  EXPECT_EQ(value->size(), 2U);
}

TEST(ParseJsonLine, NumbersKeepHowTheyWereWritten) {
  struct Case {
    const char* text;
    json::value_t kind;
  };
  for (const Case& c :
       {Case{"0", json::value_t::number_unsigned},
        Case{"18446744073709551615", json::value_t::number_unsigned},
        Case{"18446744073709551616", json::value_t::number_float},
        Case{"-0", json::value_t::number_integer}, Case{"-1", json::value_t::number_integer},
        Case{"3000.0", json::value_t::number_float}, Case{"3e3", json::value_t::number_float},
        Case{"1E2", json::value_t::number_float}}) {
    SCOPED_TRACE(c.text);
    const auto value = parse_json_line(c.text);
    ASSERT_TRUE(value);
    EXPECT_EQ(value->type(), c.kind);
  }
  EXPECT_EQ(parse_json_line("18446744073709551615")->get<std::uint64_t>(),
            std::numeric_limits<std::uint64_t>::max());
}

struct WriteCase {
  const char* name;
  json value;
  std::string text;
};

// Test names and failure messages show the case, not its bytes.
void PrintTo(const WriteCase& c, std::ostream* os) { *os << c.name; }

class SerializeJsonLine : public ::testing::TestWithParam<WriteCase> {};

TEST_P(SerializeJsonLine, WritesTheProtocolForm) {
  EXPECT_EQ(serialize_json_line(GetParam().value), GetParam().text);
}

json object_in_insertion_order() {
  json object = json::object();
  object["version"] = 1;
  object["type"] = "event";
  object["Zeta"] = true;
  object["a"] = nullptr;
  object["B"] = json::array({3, 2, 1});
  return object;
}

INSTANTIATE_TEST_SUITE_P(
    Table, SerializeJsonLine,
    ::testing::Values(
        WriteCase{"keys_in_byte_order", object_in_insertion_order(),
                  R"({"B":[3,2,1],"Zeta":true,"a":null,"type":"event","version":1})"},
        WriteCase{"nested_keys_sorted", json::parse(R"({"b":{"y":1,"x":2},"a":[]})"),
                  R"({"a":[],"b":{"x":2,"y":1}})"},
        WriteCase{"quote_and_backslash", json("a\"b\\c"), R"("a\"b\\c")"},
        WriteCase{"named_control_escapes", json("\b\t\n\f\r"), R"("\b\t\n\f\r")"},
        WriteCase{"other_controls_lower_hex", json(std::string("\x00\x01\x1b\x1f", 4)),
                  R"("\u0000\u0001\u001b\u001f")"},
        WriteCase{"slash_delete_and_utf8_as_is", json("a/b\x7f\xC3\xA9\xF0\x9F\x8E\xB5"),
                  "\"a/b\x7f\xC3\xA9\xF0\x9F\x8E\xB5\""},
        WriteCase{"integers", json::array({0, -5, 18446744073709551615ULL}),
                  "[0,-5,18446744073709551615]"},
        WriteCase{"integral_double_has_fraction", json(1.0), "1.0"},
        WriteCase{"float_widened_to_double", json(static_cast<double>(0.3F)),
                  "0.30000001192092896"},
        WriteCase{"shortest_round_trip", json(0.1), "0.1"},
        WriteCase{"zeros_keep_their_sign", json::array({0.0, -0.0}), "[0.0,-0.0]"},
        WriteCase{"plain_up_to_sixteen_integral_digits", json::array({1e15, 123456789012345.6}),
                  "[1000000000000000.0,123456789012345.6]"},
        WriteCase{"exponent_from_seventeen_integral_digits",
                  json::array({1e16, 3.132231570226741e16, 1.7976931348623157e308}),
                  "[1e16,3.132231570226741e16,1.7976931348623157e308]"},
        WriteCase{"plain_down_to_one_hundred_thousandth", json::array({0.0001, 1e-5, 0.00012}),
                  "[0.0001,0.00001,0.00012]"},
        WriteCase{"exponent_below_one_hundred_thousandth",
                  json::array({1e-6, static_cast<double>(1e-7F), -2.5e-228, 5e-324}),
                  "[1e-6,1.0000000116860974e-7,-2.5e-228,5e-324]"},
        // The digits are the fewest that read back as the same double, and of two equally near
        // candidates the even one.
        WriteCase{"fewest_digits", json::array({-8.48162069870304e18, 4.1752050594835e78}),
                  "[-8.48162069870304e18,4.1752050594835e78]"},
        WriteCase{"tie_rounds_to_even", json(static_cast<double>(0.50000762939453125F)),
                  "0.5000076293945312"},
        WriteCase{"non_finite_as_null",
                  json::array({std::numeric_limits<double>::infinity(),
                               -std::numeric_limits<double>::infinity(),
                               std::numeric_limits<double>::quiet_NaN()}),
                  "[null,null,null]"},
        WriteCase{"literals", json::array({true, false, nullptr}), "[true,false,null]"},
        WriteCase{"invalid_utf8_repaired", json("a\xFF"), "\"a\xEF\xBF\xBD\""}),
    [](const auto& row) { return std::string(row.param.name); });

TEST(SerializeJsonLine, RoundTripsThroughTheParser) {
  const json value = json::parse(R"({"s":"line\nbreak \u0007","d":[0.5,1e-7,-2.25],"n":null})");
  const auto back = parse_json_line(serialize_json_line(value));
  ASSERT_TRUE(back);
  EXPECT_EQ(*back, value);
  EXPECT_EQ(serialize_json_line(value).find('\n'), std::string::npos);
}

}  // namespace
}  // namespace kestrune::shell
