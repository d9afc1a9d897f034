#pragma once
// Retransmission requests (payload type 85 in the low 7 bits of byte 1) and their replies
// (0x80 0xD6, the sequence number, then the stored packet byte for byte). An 8-byte request
// carries the first missing sequence number and the count at offsets 4 and 6; one of 12 bytes or
// more carries them at offsets 8 and 10 and the rest is ignored. Lengths 4 to 7 and 9 to 11 are
// malformed; shorter datagrams and other payload types are not requests at all.

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "engine/orchestration/stream_stats.hpp"
#include "engine/rtp/packet_history.hpp"
#include "engine/wire/byte_order.hpp"

namespace kestrune::engine {

inline constexpr std::size_t kRetransmitReplyHeaderBytes = 4;

struct RetransmitRequest {
  std::uint16_t first_sequence_number;
  std::uint16_t count;
};

enum class ControlDatagramKind { ignored, malformed, request };

struct ControlDatagram {
  ControlDatagramKind kind;
  RetransmitRequest request;  // meaningful for ControlDatagramKind::request only
};

ControlDatagram parse_control_datagram(std::span<const std::uint8_t> datagram);

// Counts `request.count` in retransmitRequested, then for each sequence number first + i (modulo
// 65,536) still in the history builds the reply in `reply` (its capacity is reused) and passes it
// to `send_reply` (a callable taking std::span<const std::uint8_t>, returning true when sent);
// each reply sent adds 1 to retransmitFulfilled. Displaced or never-stored packets are skipped.
template <class SendReply>
void answer_retransmit_request(const RetransmitRequest& request, PacketHistory& history,
                               StreamStats& stats, std::vector<std::uint8_t>& reply,
                               SendReply&& send_reply) {
  stats.retransmitRequested.fetch_add(request.count, std::memory_order_relaxed);
  for (std::uint32_t i = 0; i < request.count; ++i) {
    const auto sequence_number = static_cast<std::uint16_t>(request.first_sequence_number + i);
    reply.resize(kRetransmitReplyHeaderBytes);
    reply[0] = 0x80;
    reply[1] = 0xD6;
    put_be16(reply, 2, sequence_number);
    if (!history.append_packet_to(sequence_number, reply)) continue;
    if (send_reply(std::span<const std::uint8_t>(reply))) {
      stats.retransmitFulfilled.fetch_add(1, std::memory_order_relaxed);
    }
  }
}

}  // namespace kestrune::engine
