#pragma once
// Retransmission requests (payload type 85 in the low 7 bits of byte 1) and their replies
// (0x80 0xD6, the sequence number, then the stored packet byte for byte). An 8-byte request
// carries the first missing sequence number and the count at offsets 4 and 6; one of 12 bytes or
// more carries them at offsets 8 and 10 and the rest is ignored. Lengths 4 to 7 and 9 to 11 are
// malformed; shorter datagrams and other payload types are not requests at all.

#include <cstddef>
#include <cstdint>
#include <span>

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

// The reply's first bytes for `sequence_number`: 0x80 0xD6 and the sequence number, big-endian.
// The stored packet follows them byte for byte; `reply` holds at least
// kRetransmitReplyHeaderBytes bytes.
inline void put_retransmit_reply_header(std::span<std::uint8_t> reply,
                                        std::uint16_t sequence_number) {
  reply[0] = 0x80;
  reply[1] = 0xD6;
  put_be16(reply, 2, sequence_number);
}

}  // namespace kestrune::engine
