// Datagrams on the timing port: only 32-byte requests of payload type 82 are answered, and a
// reply echoes the request's sequence bytes and transmit time around the sender's two times,
// falling back as it must when a clock reading fails.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>

#include "engine/wire/byte_order.hpp"
#include "engine/wire/timing_reply.hpp"

namespace {

using namespace kestrune;

constexpr std::uint64_t kFirstReading = 0x1000'0000'0000'0000u;

void require(bool condition) {
  if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::span<const std::uint8_t> datagram(data, size);
  // Bits 0 and 1 of the first byte make the first or the second clock reading fail.
  const std::uint8_t failures = size > 0 ? data[0] : 0;
  int readings = 0;
  const auto read_clock = [&]() -> support::Result<std::uint64_t> {
    const int reading = readings++;
    if ((failures >> reading) & 1) return support::fail("system clock is before Unix epoch");
    return kFirstReading + static_cast<std::uint64_t>(reading);
  };
  const auto reply = engine::answer_timing_datagram(datagram, read_clock);

  const bool is_request = size == engine::kTimingPacketBytes && (data[1] & 0x7F) == 82;
  require(reply.has_value() == is_request);
  if (!reply) {
    require(readings == 0);
    return 0;
  }
  require(readings == 2);
  const engine::TimingReply& r = *reply;
  require(r[0] == 0x80 && r[1] == 0xD3 && r[2] == data[2] && r[3] == data[3]);
  require(r[4] == 0 && r[5] == 0 && r[6] == 0 && r[7] == 0);
  require(std::equal(r.begin() + 8, r.begin() + 16, data + 24));
  const std::uint64_t want_received = (failures & 1) ? 0 : kFirstReading;
  const std::uint64_t want_transmitted = (failures & 2) ? want_received : kFirstReading + 1;
  require(engine::get_be64(r, 16) == want_received);
  require(engine::get_be64(r, 24) == want_transmitted);
  return 0;
}
