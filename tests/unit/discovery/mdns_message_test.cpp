#include "discovery/mdns_message.hpp"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "tests/support/dns_message_builder.hpp"
#include "tests/unit/discovery/discovery_test_support.hpp"

namespace kestrune::discovery {
namespace {

using testing::DnsMessageBuilder;
using Bytes = std::vector<std::uint8_t>;

constexpr std::string_view kInstance = "Kitchen._airplay._tcp.local";

DnsResult<std::vector<MdnsRecord>> decode(const Bytes& datagram) {
  return decode_mdns_message(datagram);
}

std::vector<MdnsRecord> decode_ok(const Bytes& datagram) {
  auto records = decode(datagram);
  if (!records) {
    ADD_FAILURE() << "refused: " << describe_dns_fault(records.error());
    return {};
  }
  return std::move(*records);
}

std::vector<std::string> strings_of_keys(std::size_t count, std::string_view value = "v") {
  std::vector<std::string> strings;
  for (std::size_t i = 0; i < count; ++i)
    strings.push_back("k" + std::to_string(i) + "=" + std::string(value));
  return strings;
}

Bytes txt_datagram(const std::vector<std::string>& strings) {
  return DnsMessageBuilder().txt(kInstance, strings).bytes();
}

TxtEntries txt_entries(const Bytes& datagram) {
  const auto records = decode_ok(datagram);
  if (records.size() != 1) {
    ADD_FAILURE() << "expected one record, got " << records.size();
    return {};
  }
  return std::get<TxtRecordData>(records[0].data).entries;
}

// Datagrams that are refused whole, each for one reason.
struct FaultCase {
  const char* title;
  std::function<Bytes()> build;
  DnsFault fault;
};

const std::vector<FaultCase>& fault_cases() {
  static const std::vector<FaultCase> cases = {
      {"11 bytes", [] { return Bytes(11, 0); }, DnsFault::message_too_short},
      {"QDCOUNT 257 without questions",
       [] { return DnsMessageBuilder().set_counts(257, 0, 0, 0).bytes(); },
       DnsFault::too_many_questions},
      {"QDCOUNT 256 is allowed but the questions are missing",
       [] { return DnsMessageBuilder().set_counts(256, 0, 0, 0).bytes(); },
       DnsFault::name_past_end},
      {"AN 100 + NS 100 + AR 57",
       [] { return DnsMessageBuilder().set_counts(0, 100, 100, 57).bytes(); },
       DnsFault::too_many_records},
      {"counts of 65535 do not wrap",
       [] { return DnsMessageBuilder().set_counts(0, 65535, 65535, 65535).bytes(); },
       DnsFault::too_many_records},
      {"question without QTYPE and QCLASS",
       [] {
         DnsMessageBuilder b;
         b.name("_airplay._tcp.local");
         b.u16(12).u8(0);
         return b.set_counts(1, 0, 0, 0).bytes();
       },
       DnsFault::question_truncated},
      {"question name with a loop",
       [] { return DnsMessageBuilder().pointer(12).u32(0).set_counts(1, 0, 0, 0).bytes(); },
       DnsFault::pointer_loop},
      {"record fields cut short",
       [] {
         DnsMessageBuilder b;
         b.name("host.local");
         b.u16(1).u16(1).u32(120).u8(0);
         return b.set_counts(0, 1, 0, 0).bytes();
       },
       DnsFault::record_truncated},
      {"RDATA longer than the datagram",
       [] {
         DnsMessageBuilder b;
         b.name("host.local");
         b.u16(1).u16(1).u32(120).u16(4).u8(10).u8(0).u8(0);
         return b.set_counts(0, 1, 0, 0).bytes();
       },
       DnsFault::record_truncated},
      {"record count above the records present",
       [] {
         return DnsMessageBuilder().a("host.local", {10, 0, 0, 2}).set_counts(0, 2, 0, 0).bytes();
       },
       DnsFault::name_past_end},
      {"owner name with a reserved label type",
       [] {
         DnsMessageBuilder b;
         b.u8(0x80);
         b.begin_record_fields(kTypeA, 1, 120).u32(0x0A000002).end_record();
         return b.bytes();
       },
       DnsFault::reserved_label_type},
      {"SRV with RDLENGTH 5",
       [] {
         return DnsMessageBuilder()
             .begin_record(kInstance, kTypeSrv, 1, 120)
             .u16(0)
             .u16(0)
             .u8(1)
             .end_record()
             .bytes();
       },
       DnsFault::srv_too_short},
      {"SRV target ending after its RDATA",
       [] {
         DnsMessageBuilder b;
         b.begin_record(kInstance, kTypeSrv, 1, 120).u16(0).u16(0).u16(7000);
         b.name("kitchen.local");
         const std::size_t rdlength_at = b.rdata_offset() - 2;
         b.end_record();
         Bytes bytes = b.bytes();
         // RDATA stops three bytes before the name does.
         bytes[rdlength_at + 1] = static_cast<std::uint8_t>(bytes[rdlength_at + 1] - 3);
         return bytes;
       },
       DnsFault::name_past_rdata},
      {"PTR target ending after its RDATA",
       [] {
         DnsMessageBuilder b;
         b.begin_record("_airplay._tcp.local", kTypePtr, 1, 4500);
         b.name("Kitchen");
         b.end_record();
         b.a("kitchen.local", {10, 0, 0, 2});
         Bytes bytes = b.bytes();
         // RDLENGTH 3 of a 9-byte name: the next record starts inside the name.
         bytes[12 + 21 + 8 + 1] = 3;
         return bytes;
       },
       DnsFault::name_past_rdata},
      {"PTR with a looping target",
       [] {
         DnsMessageBuilder b;
         b.begin_record("_airplay._tcp.local", kTypePtr, 1, 4500);
         b.pointer(b.rdata_offset());
         return b.end_record().bytes();
       },
       DnsFault::pointer_loop},
      {"TXT string starting with an equals sign",
       [] { return txt_datagram({"model=AudioAccessory6,1", "=value"}); }, DnsFault::txt_empty_key},
      {"TXT zero-length string", [] { return txt_datagram({"a=1", ""}); }, DnsFault::txt_empty_key},
      {"TXT 65th key", [] { return txt_datagram(strings_of_keys(65)); },
       DnsFault::txt_too_many_keys},
      {"TXT 65th string after 64 keys, even a repeat",
       [] {
         auto strings = strings_of_keys(64);
         strings.push_back("k0=again");
         return txt_datagram(strings);
       },
       DnsFault::txt_too_many_keys},
      {"TXT key of 65 bytes", [] { return txt_datagram({std::string(65, 'k') + "=v"}); },
       DnsFault::txt_key_too_long},
      {"TXT RDLENGTH 2049",
       [] {
         DnsMessageBuilder b;
         b.begin_record(kInstance, kTypeTxt, 1, 4500);
         for (int i = 0; i < 8; ++i) b.label("k" + std::to_string(i) + "=" + std::string(252, 'x'));
         b.label("");
         return b.end_record().bytes();
       },
       DnsFault::txt_too_long},
      {"TXT string running past its RDATA",
       [] {
         DnsMessageBuilder b;
         b.begin_record(kInstance, kTypeTxt, 1, 4500).u8(20).raw(std::string_view("a=1"));
         b.end_record();
         b.a("host.local", {10, 0, 0, 2});  // bytes follow, but outside the TXT RDATA
         return b.bytes();
       },
       DnsFault::txt_string_past_end},
      {"TXT string that is not UTF-8", [] { return txt_datagram({"name=\xFF\xFE"}); },
       DnsFault::txt_not_utf8},
      {"one bad record refuses the good ones before it",
       [] {
         auto strings = std::vector<std::string>{"ok=1", "=bad"};
         return DnsMessageBuilder()
             .ptr("_airplay._tcp.local", kInstance)
             .txt(kInstance, strings)
             .bytes();
       },
       DnsFault::txt_empty_key},
  };
  return cases;
}

TEST(DecodeMdnsMessage, RefusesFaultyDatagramsWhole) {
  for (const FaultCase& c : fault_cases()) {
    SCOPED_TRACE(c.title);
    const auto records = decode(c.build());
    ASSERT_FALSE(records) << records->size() << " records decoded";
    EXPECT_EQ(records.error(), c.fault);
  }
}

TEST(DecodeMdnsMessage, HeaderOnlyAndQueriesGiveNoRecords) {
  EXPECT_TRUE(decode_ok(Bytes(12, 0)).empty());
  DnsMessageBuilder query;
  query.question("_airplay._tcp.local").question("_raop._tcp.local");
  const Bytes bytes = query.bytes();
  EXPECT_EQ(bytes.size(), 59u);
  EXPECT_TRUE(decode_ok(bytes).empty());
}

TEST(DecodeMdnsMessage, TwoHundredFiftySixRecordsAcrossSections) {
  DnsMessageBuilder b;
  b.question("_airplay._tcp.local");
  const std::array sections = {DnsMessageBuilder::Section::answer,
                               DnsMessageBuilder::Section::authority,
                               DnsMessageBuilder::Section::additional};
  const std::array counts = {100, 100, 56};
  std::uint32_t n = 0;
  for (std::size_t s = 0; s < sections.size(); ++s) {
    b.section(sections[s]);
    for (int i = 0; i < counts[s]; ++i, ++n) {
      b.a("host.local", {10, 0, static_cast<std::uint8_t>(n >> 8), static_cast<std::uint8_t>(n)});
    }
  }
  const auto records = decode_ok(b.bytes());
  ASSERT_EQ(records.size(), 256u);
  for (std::uint32_t i = 0; i < 256; ++i) {
    const auto& a = std::get<ARecordData>(records[i].data);
    EXPECT_EQ(a.address.v4_value() & 0xFFFF, i) << "records keep datagram order";
  }
}

TEST(DecodeMdnsMessage, TypicalAnswerDecodesEveryKind) {
  DnsMessageBuilder b;
  b.ptr("_airplay._tcp.local", "Kitchen._airplay._tcp.local", 4500);
  b.section(DnsMessageBuilder::Section::additional);
  b.srv("Kitchen._airplay._tcp.LOCAL", 7000, "Kitchen-Pod.local", 120, true);
  b.txt("Kitchen._airplay._tcp.local", {"deviceid=AA:BB:CC:DD:EE:FF", "model=AudioAccessory6,1"},
        4294967295u, true);
  b.a("Kitchen-Pod.local", {192, 168, 1, 40}, 120, true);

  const auto records = decode_ok(b.bytes());
  ASSERT_EQ(records.size(), 4u);
  EXPECT_EQ(records[0],
            (MdnsRecord{"_airplay._tcp.local",
                        PtrRecordData{"kitchen._airplay._tcp.local", "Kitchen._airplay._tcp.local"},
                        4500, kTypePtr, false}));
  EXPECT_EQ(records[1],
            (MdnsRecord{"kitchen._airplay._tcp.local", SrvRecordData{"kitchen-pod.local", 7000},
                        120, kTypeSrv, true}));
  EXPECT_EQ(records[2], (MdnsRecord{"kitchen._airplay._tcp.local",
                                    TxtRecordData{{{"deviceid", "AA:BB:CC:DD:EE:FF"},
                                                   {"model", "AudioAccessory6,1"}}},
                                    4294967295u, kTypeTxt, true}));
  EXPECT_EQ(records[3],
            (MdnsRecord{"kitchen-pod.local", ARecordData{{192, 168, 1, 40}}, 120, kTypeA, true}));
}

TEST(DecodeMdnsMessage, SkipsRecordsItDoesNotKeep) {
  DnsMessageBuilder b;
  b.ptr("_airplay._tcp.local", kInstance);
  const Bytes aaaa(16, 0xFE);
  b.record("host.local", 28, 1, 120, aaaa);
  b.record("host.local", 47, 1, 120, std::vector<std::uint8_t>{0xC0});  // NSEC, not even read
  b.record("host.local", kTypeA, 1, 120, aaaa);                         // A with 16 bytes
  b.record("host.local", kTypeA, 1, 120, std::vector<std::uint8_t>{10, 0, 0});
  b.begin_record(kInstance, kTypeTxt, 3, 4500).label("=not read").end_record();  // class CHAOS
  b.begin_record(kInstance, kTypeSrv, 0x8003, 120).u8(1).end_record();  // flush bit, class 3
  b.srv(kInstance, 7000, "host.local");

  const auto records = decode_ok(b.bytes());
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0].type, kTypePtr);
  EXPECT_EQ(records[1].type, kTypeSrv);
  EXPECT_EQ(std::get<SrvRecordData>(records[1].data).port, 7000);
}

TEST(DecodeMdnsMessage, CacheFlushBitAndClass) {
  struct Case {
    std::uint16_t record_class;
    bool kept;
    bool cache_flush;
  };
  for (const Case c :
       {Case{0x0001, true, false}, Case{0x8001, true, true}, Case{0x0003, false, false},
        Case{0x00FF, false, false}, Case{0x8000, false, false}}) {
    SCOPED_TRACE(c.record_class);
    const auto records = decode_ok(DnsMessageBuilder()
                                       .record("host.local", kTypeA, c.record_class, 120,
                                               std::vector<std::uint8_t>{10, 0, 0, 2})
                                       .bytes());
    ASSERT_EQ(records.size(), c.kept ? 1u : 0u);
    if (c.kept) {
      EXPECT_EQ(records[0].cache_flush, c.cache_flush);
    }
  }
}

TEST(DecodeMdnsMessage, NamesThroughPointersAndNormalisation) {
  DnsMessageBuilder b;
  b.begin_record("_airplay._tcp.local", kTypePtr, 1, 4500);
  const std::size_t instance = b.name_then_pointer("Living Room@HOME", 12);  // the owner
  b.end_record();
  // Owner through a pointer to the PTR target; SRV target through a pointer to ".local".
  b.pointer(instance).begin_record_fields(kTypeSrv, 1, 120).u16(0).u16(0).u16(7000);
  b.name_then_pointer("Pod", 12 + 9);
  b.u16(0xFFFF);  // bytes left inside the RDATA are ignored
  b.end_record();
  // A label that ends in a dot leaves no trailing dot after normalisation.
  b.label("POD")
      .label("LOCAL.")
      .end_name()
      .begin_record_fields(kTypeA, 1, 120)
      .raw(std::vector<std::uint8_t>{10, 0, 0, 7});
  b.end_record();

  const auto records = decode_ok(b.bytes());
  ASSERT_EQ(records.size(), 3u);
  const auto& ptr = std::get<PtrRecordData>(records[0].data);
  EXPECT_EQ(ptr.target_as_received, "Living Room@HOME._airplay._tcp.local");
  EXPECT_EQ(ptr.target, "living room@home._airplay._tcp.local");
  EXPECT_EQ(records[1].owner_name, "living room@home._airplay._tcp.local");
  EXPECT_EQ(std::get<SrvRecordData>(records[1].data).target, "pod._tcp.local");
  EXPECT_EQ(records[2].owner_name, "pod.local");
}

TEST(DecodeMdnsMessage, TxtKeysAndValues) {
  EXPECT_EQ(txt_entries(txt_datagram({"DeviceID=AA:BB", "Flag", "path=/a=b", "empty="})),
            (TxtEntries{{"deviceid", "AA:BB"}, {"empty", ""}, {"flag", ""}, {"path", "/a=b"}}));

  const auto keys = txt_entries(txt_datagram(strings_of_keys(64)));
  EXPECT_EQ(keys.size(), 64u);

  std::vector<std::string> repeats;
  for (int i = 0; i < 70; ++i) repeats.push_back("Model=" + std::to_string(i));
  EXPECT_EQ(txt_entries(txt_datagram(repeats)), (TxtEntries{{"model", "69"}}));

  EXPECT_EQ(txt_entries(txt_datagram({std::string(64, 'K') + "=v"})),
            (TxtEntries{{std::string(64, 'k'), "v"}}));
  EXPECT_TRUE(
      txt_entries(DnsMessageBuilder().txt(kInstance, std::vector<std::string>{}).bytes()).empty());
}

TEST(DecodeMdnsMessage, TxtRdataOfExactly2048Bytes) {
  DnsMessageBuilder b;
  b.begin_record(kInstance, kTypeTxt, 1, 4500);
  for (int i = 0; i < 8; ++i) b.label("k" + std::to_string(i) + "=" + std::string(252, 'x'));
  const std::size_t length = b.offset() - b.rdata_offset();
  b.end_record();
  EXPECT_EQ(length, 2048u);
  EXPECT_EQ(txt_entries(b.bytes()).size(), 8u);
}

}  // namespace
}  // namespace kestrune::discovery
