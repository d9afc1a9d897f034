#pragma once
// Timing requests and replies of the receiver's clock synchronisation. A request is exactly 32
// bytes with payload type 82 in the low 7 bits of byte 1; the reply echoes the request's bytes 2-3
// and its transmit time (bytes 24-31) and adds the sender's receive and transmit times.

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "support/error.hpp"

namespace kestrune::engine {

inline constexpr std::size_t kTimingPacketBytes = 32;
using TimingReply = std::array<std::uint8_t, kTimingPacketBytes>;

bool is_timing_request(std::span<const std::uint8_t> datagram);

// 0x80 0xD3, request bytes 2-3, four zero bytes, request bytes 24-31, then the two times in NTP
// form, big-endian.
TimingReply build_timing_reply(std::span<const std::uint8_t, kTimingPacketBytes> request,
                               std::uint64_t receive_time, std::uint64_t transmit_time);

// The reply to `datagram`, or nothing when it is not a timing request. `read_ntp_time` (a
// callable returning support::Result<std::uint64_t>) is read twice: for the receive time (0 when
// it fails) and then for the transmit time (the receive time when it fails).
template <class ReadNtpTime>
std::optional<TimingReply> answer_timing_datagram(std::span<const std::uint8_t> datagram,
                                                  ReadNtpTime&& read_ntp_time) {
  if (!is_timing_request(datagram)) return std::nullopt;
  const support::Result<std::uint64_t> received = read_ntp_time();
  const std::uint64_t receive_time = received ? *received : 0;
  const support::Result<std::uint64_t> transmitted = read_ntp_time();
  const std::uint64_t transmit_time = transmitted ? *transmitted : receive_time;
  return build_timing_reply(datagram.first<kTimingPacketBytes>(), receive_time, transmit_time);
}

}  // namespace kestrune::engine
