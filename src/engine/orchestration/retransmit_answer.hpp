#pragma once
// Answering a retransmission request from the packet history, on "rt-control".

#include <cstdint>
#include <span>
#include <vector>

#include "engine/orchestration/stream_stats.hpp"
#include "engine/rtp/packet_history.hpp"
#include "engine/wire/retransmit_request.hpp"

namespace kestrune::engine {

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
    put_retransmit_reply_header(reply, sequence_number);
    if (!history.append_packet_to(sequence_number, reply)) continue;
    if (send_reply(std::span<const std::uint8_t>(reply))) {
      stats.retransmitFulfilled.fetch_add(1, std::memory_order_relaxed);
    }
  }
}

}  // namespace kestrune::engine
