#include "discovery/dns_name.hpp"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "tests/support/dns_message_builder.hpp"
#include "tests/unit/discovery/discovery_test_support.hpp"

namespace kestrune::discovery {
namespace {

using testing::DnsMessageBuilder;

// A message and where to start decoding.
struct NameInput {
  std::vector<std::uint8_t> message;
  std::size_t start;
};

struct NameCase {
  const char* title;
  std::function<NameInput()> build;
  std::variant<DnsFault, std::string> expected;
  std::size_t expected_next = 0;  // checked when a name is expected
};

NameInput plain(std::string_view dotted) {
  DnsMessageBuilder b;
  const std::size_t start = b.name(dotted);
  return {b.bytes(), start};
}

std::string joined(const std::vector<std::string>& labels) {
  std::string text;
  for (const std::string& label : labels) text += (text.empty() ? "" : ".") + label;
  return text;
}

NameInput of_labels(const std::vector<std::string>& labels) {
  DnsMessageBuilder b;
  for (const std::string& label : labels) b.label(label);
  b.end_name();
  return {b.bytes(), 12};
}

// "local" at 12, then `jumps` pointers, each aiming at the one before; starts at the last.
NameInput pointer_chain(std::size_t jumps) {
  DnsMessageBuilder b;
  std::size_t previous = b.name("local");
  for (std::size_t i = 0; i < jumps; ++i) {
    const std::size_t here = b.offset();
    b.pointer(previous);
    previous = here;
  }
  b.raw(std::string_view("tail"));
  return {b.bytes(), previous};
}

const std::vector<NameCase>& name_cases() {
  static const std::vector<NameCase> cases = {
      {"plain name", [] { return plain("Kitchen._airplay._tcp.local"); },
       "Kitchen._airplay._tcp.local", 12 + 29},
      {"root name is empty", [] { return plain(""); }, "", 13},
      {"a label keeps dots and capitals", [] { return of_labels({"Living.Room", "LOCAL"}); },
       "Living.Room.LOCAL", 12 + 19},
      {"backward pointer returns after the pointer",
       [] {
         DnsMessageBuilder b;
         const std::size_t local = b.name("local");
         const std::size_t start = b.name_then_pointer("_tcp", local);
         b.raw(std::string_view("xx"));
         return NameInput{b.bytes(), start};
       },
       "_tcp.local", 19 + 5 + 2},
      {"forward pointer",
       [] {
         DnsMessageBuilder b;
         b.pointer(14);
         b.name("ahead.local");
         return NameInput{b.bytes(), 12};
       },
       "ahead.local", 14},
      {"16 pointers are followed", [] { return pointer_chain(16); }, "local", 19 + 2 * 16},
      {"a 17th jump fails", [] { return pointer_chain(17); }, DnsFault::too_many_jumps},
      {"pointer to itself is a loop",
       [] {
         DnsMessageBuilder b;
         b.pointer(12);
         return NameInput{b.bytes(), 12};
       },
       DnsFault::pointer_loop},
      {"two pointers aiming at each other",
       [] {
         DnsMessageBuilder b;
         b.pointer(14).pointer(12);
         return NameInput{b.bytes(), 12};
       },
       DnsFault::pointer_loop},
      {"a label then a pointer back to it",
       [] {
         DnsMessageBuilder b;
         b.name_then_pointer("again", 12);
         return NameInput{b.bytes(), 12};
       },
       DnsFault::pointer_loop},
      {"pointer at the end of the message",
       [] {
         DnsMessageBuilder b;
         b.pointer(14);
         return NameInput{b.bytes(), 12};
       },
       DnsFault::pointer_past_end},
      {"pointer missing its second byte",
       [] {
         DnsMessageBuilder b;
         b.u8(0xC0);
         return NameInput{b.bytes(), 12};
       },
       DnsFault::name_past_end},
      {"64 one-byte labels", [] { return of_labels(std::vector<std::string>(64, "x")); },
       joined(std::vector<std::string>(64, "x")), 12 + 129},
      {"65 labels", [] { return of_labels(std::vector<std::string>(65, "x")); },
       DnsFault::too_many_labels},
      {"255 text bytes",
       [] {
         return of_labels({std::string(63, 'a'), std::string(63, 'b'), std::string(63, 'c'),
                           std::string(63, 'd')});
       },
       std::string(63, 'a') + "." + std::string(63, 'b') + "." + std::string(63, 'c') + "." +
           std::string(63, 'd'),
       12 + 4 * 64 + 1},
      {"256 text bytes",
       [] {
         return of_labels({std::string(63, 'a'), std::string(63, 'b'), std::string(63, 'c'),
                           std::string(62, 'd'), "e"});
       },
       DnsFault::name_too_long},
      {"length byte 0x40 is reserved",
       [] {
         DnsMessageBuilder b;
         b.label(std::string(64, 'a')).end_name();
         return NameInput{b.bytes(), 12};
       },
       DnsFault::reserved_label_type},
      {"length byte 0xBF is reserved",
       [] {
         DnsMessageBuilder b;
         b.u8(0xBF).raw(std::string(0xBF, 'a')).end_name();
         return NameInput{b.bytes(), 12};
       },
       DnsFault::reserved_label_type},
      {"label runs past the end",
       [] {
         DnsMessageBuilder b;
         b.u8(10).raw(std::string_view("short"));
         return NameInput{b.bytes(), 12};
       },
       DnsFault::name_past_end},
      {"no terminating zero",
       [] {
         DnsMessageBuilder b;
         b.label("local");
         return NameInput{b.bytes(), 12};
       },
       DnsFault::name_past_end},
      {"start at the end", [] { return NameInput{DnsMessageBuilder().bytes(), 12}; },
       DnsFault::name_past_end},
      {"label that is not UTF-8",
       [] {
         DnsMessageBuilder b;
         b.label("caf\xC3").end_name();
         return NameInput{b.bytes(), 12};
       },
       DnsFault::label_not_utf8},
      {"label in UTF-8", [] { return of_labels({"Caf\xC3\xA9", "local"}); }, "Caf\xC3\xA9.local",
       12 + 13},
  };
  return cases;
}

TEST(DecodeDnsName, Cases) {
  for (const NameCase& c : name_cases()) {
    SCOPED_TRACE(c.title);
    const NameInput input = c.build();
    const auto decoded = decode_dns_name(input.message, input.start);
    if (const auto* fault = std::get_if<DnsFault>(&c.expected)) {
      ASSERT_FALSE(decoded) << decoded->text;
      EXPECT_EQ(decoded.error(), *fault);
    } else {
      ASSERT_TRUE(decoded) << describe_dns_fault(decoded.error());
      EXPECT_EQ(decoded->text, std::get<std::string>(c.expected));
      EXPECT_EQ(decoded->next_offset, c.expected_next);
    }
  }
}

}  // namespace
}  // namespace kestrune::discovery
