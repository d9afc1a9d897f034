#include "shell/payloads.hpp"

#include <cmath>
#include <limits>
#include <string>

#include <gtest/gtest.h>

#include "shell/json_line.hpp"

namespace kestrune::shell {
namespace {

using nlohmann::json;

enum class Type {
  empty,
  scan,
  set_volume,
  device,
  audio_source,
  buffer_profile,
  start_session,
  diagnose,
  export_diagnostics
};

bool decodes(Type type, const json& value) {
  switch (type) {
    case Type::empty:
      return decode_empty_payload(value).has_value();
    case Type::scan:
      return decode_scan_payload(value).has_value();
    case Type::set_volume:
      return decode_set_volume_payload(value).has_value();
    case Type::device:
      return decode_device_payload(value).has_value();
    case Type::audio_source:
      return decode_audio_source_payload(value).has_value();
    case Type::buffer_profile:
      return decode_buffer_profile_payload(value).has_value();
    case Type::start_session:
      return decode_start_session_payload(value).has_value();
    case Type::diagnose:
      return decode_diagnose_payload(value).has_value();
    case Type::export_diagnostics:
      return decode_export_diagnostics_payload(value).has_value();
  }
  return false;
}

json parse(const std::string& text) {
  auto value = parse_json_line(text);
  EXPECT_TRUE(value) << text;
  return value ? *value : json();
}

constexpr const char* kDevice =
    R"({"stableId":"dev_1","displayName":"Kitchen","addresses":["192.168.1.20"],"port":7000})";
constexpr const char* kProfile =
    R"({"capacityMs":150,"startFillPercent":90,"refillPercent":50,"startMaxWaitMs":250})";

// A start payload with one member replaced (or added) as raw JSON text.
std::string start_with(const std::string& key, const std::string& value) {
  json payload = parse(R"({"audioSource":{"kind":"windowsDefaultOutput"},"initialVolume":0.5})");
  payload["device"] = parse(kDevice);
  std::string text = serialize_json_line(payload);
  text.pop_back();  // reopen the object; a repeated key keeps its last value
  return text + ",\"" + key + "\":" + value + "}";
}

std::string device_with(const std::string& key, const std::string& value) {
  std::string text = kDevice;
  text.pop_back();
  return start_with("device", text + ",\"" + key + "\":" + value + "}");
}

std::string profile_with(const std::string& key, const std::string& value) {
  std::string text = kProfile;
  text.pop_back();
  return start_with("bufferProfile", text + ",\"" + key + "\":" + value + "}");
}

struct DecodeCase {
  const char* name;
  Type type;
  std::string payload;
  bool decodes;
};

// Test names and failure messages show the case, not its bytes.
void PrintTo(const DecodeCase& c, std::ostream* os) { *os << c.name; }

class PayloadDecoding : public ::testing::TestWithParam<DecodeCase> {};

TEST_P(PayloadDecoding, DecodesOrRefusesAsAWhole) {
  EXPECT_EQ(decodes(GetParam().type, parse(GetParam().payload)), GetParam().decodes)
      << GetParam().payload;
}

INSTANTIATE_TEST_SUITE_P(
    Empty, PayloadDecoding,
    ::testing::Values(DecodeCase{"empty_object", Type::empty, "{}", true},
                      DecodeCase{"any_member", Type::empty, R"({"verbose":true})", false},
                      DecodeCase{"null_member", Type::empty, R"({"x":null})", false},
                      DecodeCase{"not_a_record", Type::empty, R"("")", false}),
    [](const auto& row) { return std::string(row.param.name); });

INSTANTIATE_TEST_SUITE_P(
    UnsignedIntegers, PayloadDecoding,
    ::testing::Values(
        DecodeCase{"u32_absent", Type::scan, "{}", true},
        DecodeCase{"u32_null", Type::scan, R"({"timeoutMs":null})", true},
        DecodeCase{"u32_zero", Type::scan, R"({"timeoutMs":0})", true},
        DecodeCase{"u32_max", Type::scan, R"({"timeoutMs":4294967295})", true},
        DecodeCase{"u32_over", Type::scan, R"({"timeoutMs":4294967296})", false},
        DecodeCase{"fraction", Type::scan, R"({"timeoutMs":3000.0})", false},
        DecodeCase{"exponent", Type::scan, R"({"timeoutMs":3e3})", false},
        DecodeCase{"negative", Type::scan, R"({"timeoutMs":-1})", false},
        DecodeCase{"minus_zero", Type::scan, R"({"timeoutMs":-0})", false},
        DecodeCase{"string", Type::scan, R"({"timeoutMs":"3000"})", false},
        DecodeCase{"boolean", Type::scan, R"({"timeoutMs":true})", false},
        DecodeCase{"array", Type::scan, R"({"timeoutMs":[3000]})", false},
        DecodeCase{"object", Type::scan, R"({"timeoutMs":{}})", false},
        DecodeCase{"key_in_other_case", Type::scan, R"({"TimeoutMs":3000})", false},
        DecodeCase{"unknown_key", Type::scan, R"({"timeoutMs":3000,"extra":1})", false},
        DecodeCase{"u16_max", Type::start_session, device_with("port", "65535"), true},
        DecodeCase{"u16_over", Type::start_session, device_with("port", "65536"), false},
        DecodeCase{"u16_far_over", Type::start_session, device_with("port", "70000"), false},
        DecodeCase{"u16_zero", Type::start_session, device_with("port", "0"), true},
        DecodeCase{"u8_max", Type::start_session, profile_with("startFillPercent", "255"), true},
        DecodeCase{"u8_over", Type::start_session, profile_with("refillPercent", "256"), false},
        DecodeCase{"u64_max", Type::start_session,
                   start_with("maxDurationMs", "18446744073709551615"), true},
        DecodeCase{"u64_over", Type::start_session,
                   start_with("maxDurationMs", "18446744073709551616"), false},
        DecodeCase{"u64_minus_zero", Type::start_session, start_with("maxDurationMs", "-0"), false},
        DecodeCase{"u64_in_profile", Type::start_session,
                   profile_with("startMaxWaitMs", "18446744073709551615"), true}),
    [](const auto& row) { return std::string(row.param.name); });

INSTANTIATE_TEST_SUITE_P(
    FloatsStringsAndArrays, PayloadDecoding,
    ::testing::Values(
        DecodeCase{"float_integer", Type::set_volume, R"({"volume":1})", true},
        DecodeCase{"float_negative_exponent", Type::set_volume, R"({"volume":-2.5e-1})", true},
        DecodeCase{"float_beyond_range", Type::set_volume, R"({"volume":1e39})", true},
        DecodeCase{"float_string", Type::set_volume, R"({"volume":"0.5"})", false},
        DecodeCase{"float_null_required", Type::set_volume, R"({"volume":null})", false},
        DecodeCase{"float_missing", Type::set_volume, "{}", false},
        DecodeCase{"float_boolean", Type::set_volume, R"({"volume":false})", false},
        DecodeCase{"string_empty", Type::export_diagnostics, R"({"destination":""})", true},
        DecodeCase{"string_number", Type::export_diagnostics, R"({"destination":5})", false},
        DecodeCase{"optional_string_null", Type::export_diagnostics,
                   R"({"destination":"d","sessionId":null})", true},
        DecodeCase{"optional_string_number", Type::export_diagnostics,
                   R"({"destination":"d","sessionId":7})", false},
        DecodeCase{"addresses_empty", Type::start_session, device_with("addresses", "[]"), true},
        DecodeCase{"addresses_not_array", Type::start_session,
                   device_with("addresses", R"("192.168.1.20")"), false},
        DecodeCase{"addresses_number_element", Type::start_session,
                   device_with("addresses", R"(["1.2.3.4",5])"), false},
        DecodeCase{"addresses_null_element", Type::start_session,
                   device_with("addresses", R"([null])"), false},
        DecodeCase{"model_null", Type::start_session, device_with("model", "null"), true},
        DecodeCase{"features_number", Type::start_session, device_with("featuresHex", "31"), false},
        DecodeCase{"device_unknown_key", Type::start_session, device_with("room", R"("x")"), false},
        DecodeCase{"stable_id_null", Type::start_session, device_with("stableId", "null"), false},
        DecodeCase{"device_missing", Type::start_session,
                   R"({"audioSource":["windowsDefaultOutput"],"initialVolume":0})", false}),
    [](const auto& row) { return std::string(row.param.name); });

INSTANTIATE_TEST_SUITE_P(
    RecordForms, PayloadDecoding,
    ::testing::Values(
        DecodeCase{"device_five_elements", Type::device,
                   R"(["dev_1","Kitchen",null,["10.0.0.2"],7000])", true},
        DecodeCase{"device_six_elements", Type::device,
                   R"(["dev_1","Kitchen","AudioAccessory5,1",["10.0.0.2"],7000,"0x1f"])", true},
        DecodeCase{"device_six_with_nulls", Type::device,
                   R"(["dev_1","Kitchen",null,[],7000,null])", true},
        DecodeCase{"device_without_model_slot", Type::device,
                   R"(["dev_1","Kitchen",["10.0.0.2"],7000])", false},
        DecodeCase{"device_seven_elements", Type::device,
                   R"(["dev_1","Kitchen",null,[],7000,null,null])", false},
        DecodeCase{"device_required_null", Type::device, R"(["dev_1",null,null,[],7000])", false},
        DecodeCase{"device_scalar", Type::device, "7000", false},
        DecodeCase{"profile_array_four", Type::buffer_profile, "[150,90,50,250]", true},
        DecodeCase{"profile_array_three", Type::buffer_profile, "[150,90,50]", false},
        DecodeCase{"profile_array_five", Type::buffer_profile, "[150,90,50,250,1]", false},
        DecodeCase{"profile_array_float", Type::buffer_profile, "[150,90,50,250.0]", false},
        DecodeCase{"profile_null", Type::start_session, start_with("bufferProfile", "null"), true},
        DecodeCase{"profile_empty_object", Type::start_session, start_with("bufferProfile", "{}"),
                   false},
        DecodeCase{"profile_three_members", Type::start_session,
                   start_with("bufferProfile",
                              R"({"capacityMs":150,"startFillPercent":90,"refillPercent":50})"),
                   false},
        DecodeCase{"profile_given_whole", Type::start_session,
                   start_with("bufferProfile", kProfile), true},
        DecodeCase{"profile_as_array", Type::start_session,
                   start_with("bufferProfile", "[150,90,50,250]"), true},
        DecodeCase{"nested_failure_fails_all", Type::start_session,
                   start_with("bufferProfile", "[150,90,50,-1]"), false},
        DecodeCase{"diagnose_device_only", Type::diagnose,
                   std::string(R"({"device":)") + kDevice + "}", true},
        DecodeCase{"diagnose_without_device", Type::diagnose, R"({"timeoutMs":5})", false}),
    [](const auto& row) { return std::string(row.param.name); });

INSTANTIATE_TEST_SUITE_P(
    AudioSource, PayloadDecoding,
    ::testing::Values(
        DecodeCase{"default_output", Type::audio_source, R"({"kind":"windowsDefaultOutput"})",
                   true},
        DecodeCase{"default_output_ignores_members", Type::audio_source,
                   R"({"kind":"windowsDefaultOutput","path":5,"gain":{}})", true},
        DecodeCase{"file_with_path", Type::audio_source, R"({"kind":"file","path":"/a.wav"})",
                   true},
        DecodeCase{"file_without_path", Type::audio_source, R"({"kind":"file"})", false},
        DecodeCase{"file_path_null", Type::audio_source, R"({"kind":"file","path":null})", false},
        DecodeCase{"file_third_member", Type::audio_source,
                   R"({"kind":"file","path":"/a.wav","gain":1})", false},
        DecodeCase{"kind_capitalised", Type::audio_source, R"({"kind":"File","path":"/a.wav"})",
                   false},
        DecodeCase{"kind_unknown", Type::audio_source, R"({"kind":"microphone"})", false},
        DecodeCase{"kind_missing", Type::audio_source, R"({"path":"/a.wav"})", false},
        DecodeCase{"kind_not_string", Type::audio_source, R"({"kind":1})", false},
        DecodeCase{"array_file", Type::audio_source, R"(["file","/a.wav"])", true},
        DecodeCase{"array_file_without_path", Type::audio_source, R"(["file"])", false},
        DecodeCase{"array_file_path_number", Type::audio_source, R"(["file",1])", false},
        DecodeCase{"array_default_output", Type::audio_source, R"(["windowsDefaultOutput"])", true},
        DecodeCase{"array_default_output_extra", Type::audio_source,
                   R"(["windowsDefaultOutput","/a.wav"])", false},
        DecodeCase{"array_empty", Type::audio_source, "[]", false},
        DecodeCase{"string", Type::audio_source, R"("file")", false}),
    [](const auto& row) { return std::string(row.param.name); });

TEST(PayloadValues, OptionalFieldsAbsentOrNullAreNotGiven) {
  EXPECT_EQ(decode_scan_payload(parse("{}"))->timeoutMs, std::nullopt);
  EXPECT_EQ(decode_scan_payload(parse(R"({"timeoutMs":null})"))->timeoutMs, std::nullopt);
  EXPECT_EQ(decode_scan_payload(parse(R"({"timeoutMs":99})"))->timeoutMs, 99U);

  const auto device = decode_device_payload(parse(R"(["dev_1","K",null,["10.0.0.2"],7000])"));
  ASSERT_TRUE(device);
  EXPECT_EQ(device->stableId, "dev_1");
  EXPECT_EQ(device->displayName, "K");
  EXPECT_EQ(device->model, std::nullopt);
  EXPECT_EQ(device->addresses, std::vector<std::string>{"10.0.0.2"});
  EXPECT_EQ(device->port, 7000);
  EXPECT_EQ(device->featuresHex, std::nullopt);
}

TEST(PayloadValues, StartSessionFieldsLandWhereTheyBelong) {
  const auto payload = decode_start_session_payload(parse(
      R"({"device":{"stableId":"s","displayName":"d","model":"m","addresses":["::1","1.2.3.4"],
      "port":7000,"featuresHex":"0x1F"},"audioSource":["file","/tmp/x.wav"],
      "bufferProfile":[200,80,40,300],"initialVolume":0.25,"maxDurationMs":18446744073709551615})"));
  ASSERT_TRUE(payload);
  EXPECT_EQ(payload->device.model, "m");
  EXPECT_EQ(payload->device.addresses, (std::vector<std::string>{"::1", "1.2.3.4"}));
  EXPECT_EQ(payload->device.featuresHex, "0x1F");
  EXPECT_EQ(payload->audioSource.kind, AudioSourcePayload::Kind::file);
  EXPECT_EQ(payload->audioSource.path, "/tmp/x.wav");
  ASSERT_TRUE(payload->bufferProfile);
  EXPECT_EQ(payload->bufferProfile->capacityMs, 200U);
  EXPECT_EQ(payload->bufferProfile->startFillPercent, 80);
  EXPECT_EQ(payload->bufferProfile->refillPercent, 40);
  EXPECT_EQ(payload->bufferProfile->startMaxWaitMs, 300U);
  EXPECT_EQ(payload->initialVolume, 0.25F);
  EXPECT_EQ(payload->maxDurationMs, std::numeric_limits<std::uint64_t>::max());

  const auto defaults = decode_start_session_payload(
      parse(start_with("audioSource", R"({"kind":"windowsDefaultOutput","path":"/ignored"})")));
  ASSERT_TRUE(defaults);
  EXPECT_EQ(defaults->audioSource.kind, AudioSourcePayload::Kind::windowsDefaultOutput);
  EXPECT_EQ(defaults->audioSource.path, "");
  EXPECT_EQ(defaults->bufferProfile, std::nullopt);
  EXPECT_EQ(defaults->maxDurationMs, std::nullopt);
}

struct FloatCase {
  const char* name;
  const char* number;
  float expected;
};

// Test names and failure messages show the case, not its bytes.
void PrintTo(const FloatCase& c, std::ostream* os) { *os << c.name; }

class FloatRounding : public ::testing::TestWithParam<FloatCase> {};

TEST_P(FloatRounding, RoundsToTheNearestFloat) {
  const auto payload =
      decode_set_volume_payload(parse(std::string(R"({"volume":)") + GetParam().number + "}"));
  ASSERT_TRUE(payload);
  EXPECT_EQ(payload->volume, GetParam().expected);
  EXPECT_EQ(std::signbit(payload->volume), std::signbit(GetParam().expected));
}

constexpr float kInfinity = std::numeric_limits<float>::infinity();

INSTANTIATE_TEST_SUITE_P(
    Table, FloatRounding,
    ::testing::Values(
        FloatCase{"integer_one", "1", 1.0F}, FloatCase{"decimal", "0.3", 0.3F},
        FloatCase{"negative", "-5", -5.0F}, FloatCase{"negative_zero_fraction", "-0.0", -0.0F},
        FloatCase{"negative_zero_integer", "-0", -0.0F}, FloatCase{"zero", "0", 0.0F},
        // Halfway between two floats: ties go to the even one.
        FloatCase{"tie_to_even", "16777217", 16777216.0F},
        // 2^60 + 2^36 + 1 lies just above a midpoint; rounded through a double it would land on
        // the midpoint and go to even (2^60). Rounded from the exact integer it goes up.
        FloatCase{"integer_rounded_once", "1152921573326323713", 0x1.000002p60F},
        FloatCase{"u64_max", "18446744073709551615", 18446744073709551616.0F},
        FloatCase{"largest_float", "3.4028234663852886e38", std::numeric_limits<float>::max()},
        FloatCase{"just_below_overflow_midpoint", "3.4028235677973362e38",
                  std::numeric_limits<float>::max()},
        FloatCase{"overflow_midpoint", "3.4028235677973366e38", kInfinity},
        FloatCase{"beyond_range", "1e39", kInfinity},
        FloatCase{"beyond_range_negative", "-1e39", -kInfinity},
        FloatCase{"integer_beyond_u64", "18446744073709551616000", 18446744073709551616000.0F}),
    [](const auto& row) { return std::string(row.param.name); });

TEST(PayloadValues, RepeatedKeyDecodesFromItsLastOccurrence) {
  const auto payload = decode_set_volume_payload(parse(R"({"volume":0.2,"volume":0.4})"));
  ASSERT_TRUE(payload);
  EXPECT_EQ(payload->volume, 0.4F);
}

TEST(PayloadValues, EveryFailureIsTheSameError) {
  const auto refused = decode_scan_payload(parse(R"({"timeoutMs":"x"})"));
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error(), protocol_errors::kInvalidPayload);
  const auto source = decode_audio_source_payload(parse("[]"));
  ASSERT_FALSE(source);
  EXPECT_EQ(source.error(), protocol_errors::kInvalidPayload);
}

}  // namespace
}  // namespace kestrune::shell
