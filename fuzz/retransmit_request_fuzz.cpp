// Retransmission requests as "rt-control" receives them: parsing, and answering from a history
// that holds packets of several lengths, some displaced. Every reply must be the 4-byte prefix
// for its sequence number followed by exactly the stored packet, in request order.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <vector>

#include "engine/orchestration/retransmit_answer.hpp"
#include "engine/wire/retransmit_request.hpp"

namespace {

using namespace kestrune::engine;

void require(bool condition) {
  if (!condition) std::abort();
}

PacketHistory& history() {
  static PacketHistory* const filled = [] {
    auto* h = new PacketHistory();
    // 65,000 to 65,535, then 0 to 199: the oldest 224 are displaced again by the newest.
    for (std::uint32_t i = 0; i < 736; ++i) {
      const auto s = static_cast<std::uint16_t>(65'000 + i);
      std::vector<std::uint8_t> packet(36 + (s % 7) * 100, static_cast<std::uint8_t>(s));
      h->store(s, packet);
    }
    return h;
  }();
  return *filled;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::span<const std::uint8_t> datagram(data, size);
  const ControlDatagram parsed = parse_control_datagram(datagram);
  const bool retransmit_type = size >= 4 && (data[1] & 0x7F) == 85;
  switch (parsed.kind) {
    case ControlDatagramKind::ignored:
      require(!retransmit_type);
      return 0;
    case ControlDatagramKind::malformed:
      require(retransmit_type && size != 8 && size < 12);
      return 0;
    case ControlDatagramKind::request:
      require(retransmit_type && (size == 8 || size >= 12));
      break;
  }

  const RetransmitRequest request = parsed.request;
  StreamStats stats;
  std::vector<std::uint8_t> reply;
  std::vector<std::uint8_t> stored;
  std::uint32_t next_index = 0;
  std::uint64_t accepted = 0;
  const auto send_reply = [&](std::span<const std::uint8_t> bytes) {
    require(bytes.size() >= 4 && bytes[0] == 0x80 && bytes[1] == 0xD6);
    const std::uint16_t s = get_be16(bytes, 2);
    // Skipped sequence numbers are those the history does not hold.
    while (static_cast<std::uint16_t>(request.first_sequence_number + next_index) != s) {
      stored.clear();
      require(!history().append_packet_to(
          static_cast<std::uint16_t>(request.first_sequence_number + next_index), stored));
      require(++next_index < request.count);
    }
    ++next_index;
    stored.clear();
    require(history().append_packet_to(s, stored));
    require(std::equal(stored.begin(), stored.end(), bytes.begin() + 4, bytes.end()));
    const bool sent = (s & 1) == 0;  // every odd one fails to send
    accepted += sent ? 1 : 0;
    return sent;
  };
  answer_retransmit_request(request, history(), stats, reply, send_reply);
  require(stats.retransmitRequested.load() == request.count);
  require(stats.retransmitFulfilled.load() == accepted);
  return 0;
}
