#include "engine/wire/retransmit_request.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace kestrune::engine {
namespace {

TEST(RetransmitRequest, TheFormsOfARequest) {
  struct Case {
    const char* name;
    std::vector<std::uint8_t> datagram;
    ControlDatagramKind kind;
    std::uint16_t first = 0, count = 0;
  };
  std::vector<std::uint8_t> long_form = {0x80, 0xD5, 0x00, 0x01, 0x11, 0x11, 0x22, 0x22,
                                         0xFF, 0xFF, 0x00, 0x02, 0x09, 0x09, 0x09, 0x09};
  std::vector<std::uint8_t> wrong_type(20, 0);
  wrong_type[1] = 0x54;
  const Case cases[] = {
      {"8 bytes",
       {0x80, 0xD5, 0x12, 0x34, 0x00, 0x0A, 0x00, 0x02},
       ControlDatagramKind::request,
       10,
       2},
      {"8 bytes, no marker",
       {0x80, 0x55, 0, 0, 0x01, 0x00, 0x00, 0x03},
       ControlDatagramKind::request,
       256,
       3},
      {"16 bytes", long_form, ControlDatagramKind::request, 65535, 2},
      {"12 bytes",
       {0, 0x55, 0, 0, 0, 0, 0, 0, 0x00, 0x07, 0x00, 0x00},
       ControlDatagramKind::request,
       7,
       0},
      {"4 bytes", {0x80, 0xD5, 0, 0}, ControlDatagramKind::malformed},
      {"5 bytes", {0x80, 0xD5, 0, 0, 1}, ControlDatagramKind::malformed},
      {"10 bytes", {0x80, 0xD5, 0, 0, 0, 1, 0, 1, 0, 1}, ControlDatagramKind::malformed},
      {"11 bytes", std::vector<std::uint8_t>{0x80, 0xD5, 0, 0, 0, 0, 0, 0, 0, 0, 0},
       ControlDatagramKind::malformed},
      {"3 bytes", {0x80, 0xD5, 0}, ControlDatagramKind::ignored},
      {"empty", {}, ControlDatagramKind::ignored},
      {"payload type 84", wrong_type, ControlDatagramKind::ignored},
      {"payload type 86, 8 bytes", {0x80, 0xD6, 0, 0, 0, 1, 0, 1}, ControlDatagramKind::ignored},
  };
  for (const Case& c : cases) {
    const ControlDatagram parsed = parse_control_datagram(c.datagram);
    EXPECT_EQ(parsed.kind, c.kind) << c.name;
    if (c.kind != ControlDatagramKind::request) continue;
    EXPECT_EQ(parsed.request.first_sequence_number, c.first) << c.name;
    EXPECT_EQ(parsed.request.count, c.count) << c.name;
  }
}

}  // namespace
}  // namespace kestrune::engine
