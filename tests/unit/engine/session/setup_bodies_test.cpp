#include "engine/session/setup_bodies.hpp"

#include <gtest/gtest.h>

#include <limits>
#include <string>

#include "tests/support/secret_scan.hpp"

namespace kestrune::engine {
namespace {

using Bytes = std::vector<std::uint8_t>;

std::string xml_plist(const std::string& inner) {
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">" + inner + "</plist>";
}

Bytes bytes_of(const std::string& text) { return {text.begin(), text.end()}; }

// The binary form of an XML property list, written by the library.
Bytes binary_of(const std::string& xml) {
  plist_t raw = nullptr;
  plist_from_xml(xml.data(), static_cast<std::uint32_t>(xml.size()), &raw);
  EXPECT_NE(raw, nullptr) << xml;
  PlistValue value(raw);
  auto binary = encode_binary_plist(value.get());
  EXPECT_TRUE(binary);
  return *binary;
}

// Both forms of the same answer: every reader must treat them alike.
std::vector<std::pair<const char*, Bytes>> both_forms(const std::string& inner) {
  const std::string xml = xml_plist(inner);
  return {{"xml", bytes_of(xml)}, {"binary", binary_of(xml)}};
}

std::string integer_entry(const char* key, const char* value) {
  return std::string("<key>") + key + "</key><integer>" + value + "</integer>";
}

TEST(SetupPhase1Body, IsABinaryDictionaryInTheFixedKeyOrder) {
  auto body =
      build_setup_phase1_body("5A:0F:33:C1:09:7E", "0f1e2d3c-aaaa-4bbb-8ccc-ddddeeeeffff", 6002);
  ASSERT_TRUE(body);
  ASSERT_GE(body->size(), 8u);
  EXPECT_EQ(std::string(body->begin(), body->begin() + 8), "bplist00");
  auto shape = describe_plist_dictionary(*body);
  ASSERT_TRUE(shape);
  EXPECT_EQ(*shape, "deviceID:string,sessionUUID:string,timingPort:integer,timingProtocol:string");
  auto value = decode_binary_plist(*body);
  ASSERT_TRUE(value);
  const struct {
    const char* key;
    const char* text;
  } strings[] = {{"deviceID", "5A:0F:33:C1:09:7E"},
                 {"sessionUUID", "0F1E2D3C-AAAA-4BBB-8CCC-DDDDEEEEFFFF"},
                 {"timingProtocol", "NTP"}};
  for (const auto& expected : strings) {
    SCOPED_TRACE(expected.key);
    char* text = nullptr;
    plist_get_string_val(plist_dict_get_item(value->get(), expected.key), &text);
    EXPECT_STREQ(text, expected.text);
    std::free(text);
  }
  EXPECT_EQ(plist_u16_field(value->get(), "timingPort"), 6002);
}

TEST(SetupPhase2Body, HoldsOneAudioStreamWithTheKeyAsData) {
  std::array<std::uint8_t, kAudioKeySize> key{};
  key.fill(0x3C);
  auto body = build_setup_phase2_body(6001, key, 0xDEADBEEF);
  ASSERT_TRUE(body);
  auto value = decode_binary_plist(body->bytes());
  ASSERT_TRUE(value);
  const plist_t streams = plist_dict_get_item(value->get(), "streams");
  ASSERT_EQ(plist_array_get_size(streams), 1u);
  const plist_t stream = plist_array_get_item(streams, 0);
  EXPECT_EQ(plist_dictionary_shape(stream),
            "type:integer,audioFormat:integer,audioMode:string,sr:integer,ct:integer,"
            "controlPort:integer,isMedia:boolean,latencyMin:integer,latencyMax:integer,shk:data,"
            "spf:integer,supportsDynamicStreamID:boolean,streamConnectionID:integer");
  const struct {
    const char* key;
    std::uint64_t value;
  } integers[] = {{"type", 96},
                  {"audioFormat", 2048},
                  {"sr", 44100},
                  {"ct", 1},
                  {"controlPort", 6001},
                  {"latencyMin", 11025},
                  {"latencyMax", 88200},
                  {"spf", 352},
                  {"streamConnectionID", 0xDEADBEEF}};
  for (const auto& expected : integers) {
    SCOPED_TRACE(expected.key);
    EXPECT_EQ(plist_integer(plist_dict_get_item(stream, expected.key))->unsigned_value(),
              expected.value);
  }
  char* mode = nullptr;
  plist_get_string_val(plist_dict_get_item(stream, "audioMode"), &mode);
  EXPECT_STREQ(mode, "default");
  std::free(mode);
  std::uint64_t size = 0;
  const char* shk = plist_get_data_ptr(plist_dict_get_item(stream, "shk"), &size);
  ASSERT_EQ(size, kAudioKeySize);
  EXPECT_EQ(Bytes(shk, shk + size), Bytes(key.begin(), key.end()));
  EXPECT_TRUE(plist_bool_val_is_true(plist_dict_get_item(stream, "isMedia")));
  EXPECT_FALSE(plist_bool_val_is_true(plist_dict_get_item(stream, "supportsDynamicStreamID")));
}

// The key goes into a property list that the library encodes into a buffer of its own; neither
// may leave a copy in freed memory, and the body wipes its own when it goes.
TEST(SetupPhase2Body, IsTheOnlyCopyOfTheKeyAndWipesItself) {
  kestrune::testing::SecretScanner scanner;
  ASSERT_EQ(scanner.copies(), 0u);
  {
    auto body = build_setup_phase2_body(6001, scanner.secret(), 0xDEADBEEF);
    ASSERT_TRUE(body);
    EXPECT_EQ(scanner.copies(), 1u);  // the body's own, which shows the scan finds a copy
  }
  EXPECT_EQ(scanner.copies(), 0u);
}

TEST(SetupBodies, AnUnboundPortFailsBeforeAnythingIsEncoded) {
  auto phase1 = build_setup_phase1_body("02:00:00:00:00:01", "uuid", 0);
  ASSERT_FALSE(phase1);
  EXPECT_EQ(phase1.error().describe(), "SETUP phase 1 timingPort must be bound and non-zero");
  const std::array<std::uint8_t, kAudioKeySize> key{};
  auto phase2 = build_setup_phase2_body(0, key, 1);
  ASSERT_FALSE(phase2);
  EXPECT_EQ(phase2.error().describe(), "SETUP phase 2 controlPort must be bound and non-zero");
}

TEST(SetupPhase1Answer, ReadsEventPortAndOptionalTimingPortInEitherForm) {
  struct Case {
    const char* name;
    std::string dict;
    std::uint16_t event_port;
    std::optional<std::uint16_t> timing_port;
    const char* error;  // nullptr: read
  };
  const Case cases[] = {
      {"both ports",
       "<dict>" + integer_entry("eventPort", "7000") + integer_entry("timingPort", "0") + "</dict>",
       7000, 0, nullptr},
      {"no timing port", "<dict>" + integer_entry("eventPort", "7000") + "</dict>", 7000,
       std::nullopt, nullptr},
      {"largest port", "<dict>" + integer_entry("eventPort", "65535") + "</dict>", 65535,
       std::nullopt, nullptr},
      {"other keys ignored",
       "<dict><key>x</key><string>y</string>" + integer_entry("eventPort", "1") + "</dict>", 1,
       std::nullopt, nullptr},
      {"event port 0", "<dict>" + integer_entry("eventPort", "0") + "</dict>", 0, std::nullopt,
       "plist eventPort must be non-zero"},
      {"event port too large", "<dict>" + integer_entry("eventPort", "70000") + "</dict>", 0,
       std::nullopt, "plist eventPort exceeds u16"},
      {"largest unsigned 64-bit value",
       "<dict>" + integer_entry("eventPort", "18446744073709551615") + "</dict>", 0, std::nullopt,
       "plist eventPort exceeds u16"},
      {"negative event port", "<dict>" + integer_entry("eventPort", "-1") + "</dict>", 0,
       std::nullopt, "plist field eventPort is not a non-negative integer"},
      {"event port as text", "<dict><key>eventPort</key><string>7000</string></dict>", 0,
       std::nullopt, "plist field eventPort is not an integer"},
      {"no event port", "<dict></dict>", 0, std::nullopt, "plist missing eventPort"},
      {"bad timing port fails the read",
       "<dict>" + integer_entry("eventPort", "7000") + integer_entry("timingPort", "-2") +
           "</dict>",
       0, std::nullopt, "plist field timingPort is not a non-negative integer"},
      {"not a dictionary", "<array></array>", 0, std::nullopt, "plist value is not a dictionary"},
  };
  for (const Case& c : cases) {
    for (const auto& [form, body] : both_forms(c.dict)) {
      SCOPED_TRACE(std::string(c.name) + " / " + form);
      auto answer = parse_setup1_response(body);
      ASSERT_EQ(answer.has_value(), c.error == nullptr)
          << (answer ? "" : answer.error().describe());
      if (c.error) {
        EXPECT_EQ(answer.error().describe(), c.error);
        continue;
      }
      EXPECT_EQ(answer->event_port, c.event_port);
      EXPECT_EQ(answer->remote_timing_port, c.timing_port);
    }
  }
}

TEST(SetupAnswers, BytesThatAreNoPropertyListFailUnderTheDecodeContext) {
  for (const std::string& body : {std::string("not a plist"), std::string(),
                                  std::string("bplist00"), std::string("<plist><dict>")}) {
    SCOPED_TRACE(body);
    auto answer = parse_setup1_response(bytes_of(body));
    ASSERT_FALSE(answer);
    ASSERT_FALSE(answer.error().contexts().empty());
    EXPECT_EQ(answer.error().contexts().front(), "decode binary plist");
  }
}

// {key: 1} in the binary form, the key written as a string object with `marker` and `text`.
Bytes binary_dict_with_key(std::uint8_t marker, const Bytes& text) {
  Bytes bytes = bytes_of("bplist00");
  const auto root = static_cast<std::uint8_t>(bytes.size());
  bytes.insert(bytes.end(), {0xD1, 0x01, 0x02});
  const auto key = static_cast<std::uint8_t>(bytes.size());
  bytes.push_back(marker);
  bytes.insert(bytes.end(), text.begin(), text.end());
  const auto value = static_cast<std::uint8_t>(bytes.size());
  bytes.insert(bytes.end(), {0x10, 0x01});
  const auto table = static_cast<std::uint8_t>(bytes.size());
  bytes.insert(bytes.end(), {root, key, value});
  Bytes trailer(32, 0);
  trailer[6] = 1;   // offset size
  trailer[7] = 1;   // reference size
  trailer[15] = 3;  // objects
  trailer[31] = table;
  bytes.insert(bytes.end(), trailer.begin(), trailer.end());
  return bytes;
}

TEST(SetupAnswers, StringsWithANulCharacterAreRefusedBeforeTheLibrarySeesThem) {
  struct Case {
    const char* name;
    std::uint8_t marker;
    Bytes text;
    const char* shape;  // nullptr: refused
  };
  const Case cases[] = {
      {"UTF-16 key", 0x62, {0x00, 'o', 0x00, 'k'}, "ok:integer"},
      {"UTF-16 key with U+0000", 0x63, {0x00, 'a', 0x00, 0x00, 0x00, 'b'}, nullptr},
      {"UTF-16 key of only U+0000", 0x61, {0x00, 0x00}, nullptr},
      {"ASCII key with a NUL byte", 0x53, {'a', 0x00, 'b'}, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Bytes body = binary_dict_with_key(c.marker, c.text);
    auto shape = describe_plist_dictionary(body);
    if (c.shape) {
      ASSERT_TRUE(shape) << shape.error().describe();
      EXPECT_EQ(*shape, c.shape);
    } else {
      ASSERT_FALSE(shape);
      EXPECT_EQ(shape.error().describe(),
                "decode binary plist: binary property list holds a string with a NUL character");
    }
  }
}

// A binary property list of the given objects (object 0 is the top one), with 4-byte offsets and
// object references of `ref_size` bytes.
Bytes binary_plist(const std::vector<Bytes>& objects, std::size_t ref_size) {
  Bytes bytes = bytes_of("bplist00");
  std::vector<std::size_t> offsets;
  for (const Bytes& object : objects) {
    offsets.push_back(bytes.size());
    bytes.insert(bytes.end(), object.begin(), object.end());
  }
  const std::size_t table = bytes.size();
  for (const std::size_t offset : offsets) {
    for (int shift = 24; shift >= 0; shift -= 8) bytes.push_back((offset >> shift) & 0xFF);
  }
  Bytes trailer(32, 0);
  trailer[6] = 4;
  trailer[7] = static_cast<std::uint8_t>(ref_size);
  for (int i = 0; i < 8; ++i) {
    trailer[8 + i] = (static_cast<std::uint64_t>(objects.size()) >> (56 - 8 * i)) & 0xFF;
    trailer[24 + i] = (static_cast<std::uint64_t>(table) >> (56 - 8 * i)) & 0xFF;
  }
  bytes.insert(bytes.end(), trailer.begin(), trailer.end());
  return bytes;
}

// An array object holding the references `refs` (fewer than 15), each `ref_size` bytes.
Bytes array_object(const std::vector<std::size_t>& refs, std::size_t ref_size) {
  Bytes object{static_cast<std::uint8_t>(0xA0 | refs.size())};
  for (const std::size_t ref : refs) {
    for (std::size_t k = ref_size; k-- > 0;) object.push_back((ref >> (8 * k)) & 0xFF);
  }
  return object;
}

// Arrays nested `depth` deep, each holding `fan_out` references to the next one; an integer
// at the bottom. The objects are shared, but every reference is a value of its own when read.
Bytes nested_arrays(std::size_t depth, std::size_t fan_out) {
  std::vector<Bytes> objects;
  for (std::size_t i = 0; i < depth; ++i) {
    objects.push_back(array_object(std::vector<std::size_t>(fan_out, i + 1), 2));
  }
  objects.push_back({0x10, 0x01});
  return binary_plist(objects, 2);
}

std::string nested_xml_arrays(std::size_t depth) {
  std::string inner;
  for (std::size_t i = 0; i < depth; ++i) inner += "<array>";
  inner += "<integer>1</integer>";
  for (std::size_t i = 0; i < depth; ++i) inner += "</array>";
  return xml_plist(inner);
}

// The library builds one value per reference and reads nested values recursively: a short answer
// must neither make it build millions of values nor run it out of stack.
TEST(SetupAnswers, ListsTooDeepOrTooLargeWhenReadAreRefusedBeforeTheLibrarySeesThem) {
  struct Case {
    const char* name;
    Bytes body;
    const char* error;  // nullptr: read
  };
  // {eventPort: v, timingPort: v}: two keys sharing one value object, as writers do.
  const Bytes shared_value = binary_plist({{0xD2, 0x01, 0x02, 0x03, 0x03},
                                           bytes_of("\x59"
                                                    "eventPort"),
                                           bytes_of("\x5A"
                                                    "timingPort"),
                                           {0x11, 0x1B, 0x58}},
                                          1);
  const Case cases[] = {
      {"shared value", shared_value, nullptr},
      {"binary, 60 deep", nested_arrays(60, 1), nullptr},
      {"binary, 2000 deep", nested_arrays(2000, 1),
       "decode binary plist: property list nests deeper than 128 levels"},
      {"binary, doubling 10 times", nested_arrays(10, 2), nullptr},
      {"binary, doubling 17 times", nested_arrays(17, 2),
       "decode binary plist: binary property list expands to more than 65536 values"},
      {"binary, referring to itself", binary_plist({array_object({0}, 1)}, 1),
       "decode binary plist: binary property list refers to itself"},
      {"XML, 60 deep", bytes_of(nested_xml_arrays(60)), nullptr},
      {"XML, 2000 deep", bytes_of(nested_xml_arrays(2000)),
       "decode binary plist: property list nests deeper than 128 levels"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto value = decode_binary_plist(c.body);
    ASSERT_EQ(value.has_value(), c.error == nullptr) << (value ? "" : value.error().describe());
    if (c.error) {
      EXPECT_EQ(value.error().describe(), c.error);
    }
  }
  auto ports = parse_setup1_response(shared_value);
  ASSERT_TRUE(ports) << ports.error().describe();
  EXPECT_EQ(ports->event_port, 7000);
  EXPECT_EQ(ports->remote_timing_port, 7000);
}

std::string stream(const std::string& entries) { return "<dict>" + entries + "</dict>"; }

std::string setup2(const std::string& streams_value) {
  return "<dict><key>streams</key>" + streams_value + "</dict>";
}

const std::string kPorts = integer_entry("dataPort", "6000") + integer_entry("controlPort", "6001");

// An integer object of the binary form: 8 bytes (signed) or 16 bytes (high half, then low half).
Bytes binary_integer8(std::uint64_t value) {
  Bytes object{0x13};
  for (int shift = 56; shift >= 0; shift -= 8) object.push_back((value >> shift) & 0xFF);
  return object;
}
Bytes binary_integer16(std::uint64_t high, std::uint64_t low) {
  Bytes object{0x14};
  for (const std::uint64_t half : {high, low}) {
    for (int shift = 56; shift >= 0; shift -= 8) object.push_back((half >> shift) & 0xFF);
  }
  return object;
}

// {eventPort: value} in the binary form.
Bytes binary_event_port(const Bytes& value) {
  return binary_plist({{0xD1, 0x01, 0x02},
                       bytes_of("\x59"
                                "eventPort"),
                       value},
                      1);
}

constexpr std::uint64_t kAllOnes = std::numeric_limits<std::uint64_t>::max();

// libplist 2.2 keeps only the low half of a 16-byte integer and reads XML integers with strtoull
// in base 0 after stripping one sign; the readers must see the value itself, or the nearest end
// of the 64-bit range when it lies beyond, and never a port made up from the wrapped bits.
TEST(SetupPhase1Answer, IntegersTheLibraryWouldMisreadKeepTheirValueOrAreClamped) {
  struct Case {
    const char* name;
    Bytes body;
    std::uint16_t event_port;
    const char* error;  // nullptr: read
  };
  const auto xml = [](const std::string& integer_text) {
    return bytes_of(
        xml_plist("<dict><key>eventPort</key><integer>" + integer_text + "</integer></dict>"));
  };
  const Case cases[] = {
      {"binary 16 bytes, 2^64 + 7000", binary_event_port(binary_integer16(1, 7000)), 0,
       "plist eventPort exceeds u16"},
      {"binary 16 bytes, -1", binary_event_port(binary_integer16(kAllOnes, kAllOnes)), 0,
       "plist field eventPort is not a non-negative integer"},
      {"binary 16 bytes, -2^64 + 7000", binary_event_port(binary_integer16(kAllOnes, 7000)), 0,
       "plist field eventPort is not a non-negative integer"},
      {"binary 16 bytes within 64 bits", binary_event_port(binary_integer16(0, 7000)), 7000,
       nullptr},
      {"binary 8 bytes, -1", binary_event_port(binary_integer8(kAllOnes)), 0,
       "plist field eventPort is not a non-negative integer"},
      {"XML, -(2^64 - 7000)", xml("-18446744073709544616"), 0,
       "plist field eventPort is not a non-negative integer"},
      {"XML, beyond 64 bits negative", xml("-99999999999999999999"), 0,
       "plist field eventPort is not a non-negative integer"},
      {"XML, beyond 64 bits", xml("99999999999999999999"), 0, "plist eventPort exceeds u16"},
      {"XML, leading zero is decimal", xml("010"), 10, nullptr},
      {"XML, hexadecimal", xml("0x1B58"), 7000, nullptr},
      {"XML, sign and white space", xml("\n +7000 \t"), 7000, nullptr},
      {"XML, minus zero", xml("-0"), 0, "plist eventPort must be non-zero"},
      {"XML, integer text inside a comment is no integer",
       bytes_of(xml_plist("<dict><!-- <integer>x</integer> -->" +
                          integer_entry("eventPort", "7000") + "</dict>")),
       7000, nullptr},
      {"XML, letters after the digits", xml("7000abc"), 0,
       "decode binary plist: property list integer is not a number"},
      {"XML, two signs", xml("+-5"), 0,
       "decode binary plist: property list integer is not a number"},
      {"XML, empty", xml(""), 0, "decode binary plist: property list integer is not a number"},
      {"XML, a comment inside", xml("70<!-- c -->00"), 0,
       "decode binary plist: property list integer is not a number"},
      {"XML, empty element", bytes_of(xml_plist("<dict><key>eventPort</key><integer/></dict>")), 0,
       "decode binary plist: property list integer is not a number"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto answer = parse_setup1_response(c.body);
    ASSERT_EQ(answer.has_value(), c.error == nullptr) << (answer ? "" : answer.error().describe());
    if (c.error) {
      EXPECT_EQ(answer.error().describe(), c.error);
    } else {
      EXPECT_EQ(answer->event_port, c.event_port);
    }
  }
}

// {streams: [{type: 96, dataPort: 6000, controlPort: 6001, streamID: value}]} in the binary form.
Bytes binary_stream_id(const Bytes& value) {
  return binary_plist({{0xD1, 0x01, 0x02},
                       bytes_of("\x57"
                                "streams"),
                       {0xA1, 0x03},
                       {0xD4, 0x04, 0x05, 0x06, 0x07, 0x08, 0x09, 0x0A, 0x0B},
                       bytes_of("\x54"
                                "type"),
                       bytes_of("\x58"
                                "dataPort"),
                       bytes_of("\x5B"
                                "controlPort"),
                       bytes_of("\x58"
                                "streamID"),
                       {0x10, 0x60},
                       {0x11, 0x17, 0x70},
                       {0x11, 0x17, 0x71},
                       value},
                      1);
}

TEST(SetupPhase2Answer, StreamIdsBeyond64BitsAreClampedInEitherForm) {
  constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();
  struct Case {
    const char* name;
    Bytes body;
    PlistInteger stream_id;
  };
  const auto xml = [](const std::string& integer_text) {
    return bytes_of(
        xml_plist(setup2("<array>" +
                         stream(integer_entry("type", "96") +
                                integer_entry("streamID", integer_text.c_str()) + kPorts) +
                         "</array>")));
  };
  const Case cases[] = {
      {"binary 16 bytes, -5", binary_stream_id(binary_integer16(kAllOnes, kAllOnes - 4)),
       PlistInteger::negative(-5)},
      {"binary 16 bytes, 2^64", binary_stream_id(binary_integer16(1, 0)),
       PlistInteger::non_negative(kAllOnes)},
      {"binary 16 bytes, -2^64", binary_stream_id(binary_integer16(kAllOnes, 0)),
       PlistInteger::negative(kMin)},
      {"binary 16 bytes, UINT64_MAX", binary_stream_id(binary_integer16(0, kAllOnes)),
       PlistInteger::non_negative(kAllOnes)},
      {"binary 8 bytes, INT64_MIN", binary_stream_id(binary_integer8(std::uint64_t{1} << 63)),
       PlistInteger::negative(kMin)},
      {"XML, INT64_MIN", xml("-9223372036854775808"), PlistInteger::negative(kMin)},
      {"XML, INT64_MIN - 1", xml("-9223372036854775809"), PlistInteger::negative(kMin)},
      {"XML, 2^64", xml("18446744073709551616"), PlistInteger::non_negative(kAllOnes)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto answer = parse_setup2_response(c.body);
    ASSERT_TRUE(answer) << answer.error().describe();
    EXPECT_EQ(answer->stream_id, c.stream_id) << answer->stream_id->to_string();
    EXPECT_EQ(answer->data_port, 6000);
    EXPECT_EQ(answer->control_port, 6001);
  }
}

TEST(SetupPhase2Answer, UsesTheFirstType96StreamAndReadsItsPortsInEitherForm) {
  struct Case {
    const char* name;
    std::string answer;
    std::optional<PlistInteger> stream_id;
    const char* error;
  };
  const Case cases[] = {
      {"second stream is the audio one",
       setup2("<array>" +
              stream(integer_entry("type", "100") + integer_entry("dataPort", "1") +
                     integer_entry("controlPort", "2")) +
              stream(integer_entry("type", "96") + kPorts) + "</array>"),
       std::nullopt, nullptr},
      {"element without type skipped",
       setup2("<array>" + stream(kPorts) +
              stream(integer_entry("type", "96") + integer_entry("streamID", "9") + kPorts) +
              "</array>"),
       PlistInteger::non_negative(9), nullptr},
      {"largest unsigned stream id",
       setup2("<array>" +
              stream(integer_entry("type", "96") +
                     integer_entry("streamID", "18446744073709551615") + kPorts) +
              "</array>"),
       PlistInteger::non_negative(18446744073709551615u), nullptr},
      {"negative stream id",
       setup2("<array>" +
              stream(integer_entry("type", "96") + integer_entry("streamID", "-5") + kPorts) +
              "</array>"),
       PlistInteger::negative(-5), nullptr},
      // libplist cannot hold more than 64 bits: it saturates the value when it reads XML.
      {"stream id beyond 64 bits saturates",
       setup2("<array>" +
              stream(integer_entry("type", "96") +
                     integer_entry("streamID", "18446744073709551616") + kPorts) +
              "</array>"),
       PlistInteger::non_negative(18446744073709551615u), nullptr},
      {"stream id as text",
       setup2(
           "<array>" +
           stream(integer_entry("type", "96") + "<key>streamID</key><string>1</string>" + kPorts) +
           "</array>"),
       std::nullopt, "streamID is not an integer"},
      {"type as text stops the search",
       setup2("<array>" + stream("<key>type</key><string>96</string>" + kPorts) +
              stream(integer_entry("type", "96") + kPorts) + "</array>"),
       std::nullopt, "plist field type is not an integer"},
      {"negative type",
       setup2("<array>" + stream(integer_entry("type", "-96") + kPorts) + "</array>"), std::nullopt,
       "plist field type is not a non-negative integer"},
      {"element not a dictionary",
       setup2("<array><string>x</string>" + stream(integer_entry("type", "96") + kPorts) +
              "</array>"),
       std::nullopt, "plist value is not a dictionary"},
      {"empty streams", setup2("<array></array>"), std::nullopt,
       "SETUP phase 2 response contains no type 96 stream"},
      {"no audio stream", setup2("<array>" + stream(integer_entry("type", "103")) + "</array>"),
       std::nullopt, "SETUP phase 2 response contains no type 96 stream"},
      {"streams is a dictionary", setup2("<dict></dict>"), std::nullopt,
       "SETUP phase 2 response has no streams array"},
      {"no streams", "<dict></dict>", std::nullopt, "SETUP phase 2 response has no streams array"},
      {"data port 0",
       setup2("<array>" +
              stream(integer_entry("type", "96") + integer_entry("dataPort", "0") +
                     integer_entry("controlPort", "6001")) +
              "</array>"),
       std::nullopt, "plist dataPort must be non-zero"},
      {"control port 0",
       setup2("<array>" +
              stream(integer_entry("type", "96") + integer_entry("dataPort", "6000") +
                     integer_entry("controlPort", "0")) +
              "</array>"),
       std::nullopt, "plist controlPort must be non-zero"},
      {"no data port",
       setup2("<array>" +
              stream(integer_entry("type", "96") + integer_entry("controlPort", "6001")) +
              "</array>"),
       std::nullopt, "plist missing dataPort"},
      {"root not a dictionary", "<array></array>", std::nullopt, "plist value is not a dictionary"},
  };
  for (const Case& c : cases) {
    for (const auto& [form, body] : both_forms(c.answer)) {
      SCOPED_TRACE(std::string(c.name) + " / " + form);
      auto answer = parse_setup2_response(body);
      ASSERT_EQ(answer.has_value(), c.error == nullptr)
          << (answer ? "" : answer.error().describe());
      if (c.error) {
        EXPECT_EQ(answer.error().describe(), c.error);
        continue;
      }
      EXPECT_EQ(answer->data_port, 6000);
      EXPECT_EQ(answer->control_port, 6001);
      EXPECT_EQ(answer->stream_id, c.stream_id);
    }
  }
}

TEST(SetupSummaries, ListKeysWithTheTypeNamesOfTheirValues) {
  auto phase1 = describe_plist_dictionary(
      bytes_of(xml_plist("<dict>" + integer_entry("eventPort", "7000") +
                         integer_entry("timingPort", "7001") + "</dict>")));
  ASSERT_TRUE(phase1);
  EXPECT_EQ(*phase1, "eventPort:integer,timingPort:integer");

  auto empty = describe_plist_dictionary(bytes_of(xml_plist("<dict></dict>")));
  ASSERT_TRUE(empty);
  EXPECT_EQ(*empty, "");

  auto stream_fields = describe_setup2_stream_fields(bytes_of(xml_plist(setup2(
      "<array>" +
      stream(integer_entry("type", "96") + "<key>shk</key><data>AAEC</data><key>on</key><true/>" +
             "<key>r</key><real>1.5</real><key>d</key><date>2020-01-01T00:00:00Z</date>" +
             "<key>a</key><array/><key>o</key><dict/><key>s</key><string>x</string>") +
      "</array>"))));
  ASSERT_TRUE(stream_fields);
  EXPECT_EQ(*stream_fields,
            "type:integer,shk:data,on:boolean,r:real,d:date,a:array,o:dictionary,s:string");

  PlistValue with_uid(plist_new_dict());
  plist_dict_set_item(with_uid.get(), "u", plist_new_uid(3));
  auto encoded = encode_binary_plist(with_uid.get());
  ASSERT_TRUE(encoded);
  auto uid_shape = describe_plist_dictionary(*encoded);
  ASSERT_TRUE(uid_shape);
  EXPECT_EQ(*uid_shape, "u:other");

  auto no_stream = describe_setup2_stream_fields(bytes_of(xml_plist(setup2("<array/>"))));
  ASSERT_FALSE(no_stream);
  EXPECT_EQ(no_stream.error().describe(), "SETUP phase 2 response contains no type 96 stream");
}

}  // namespace
}  // namespace kestrune::engine
