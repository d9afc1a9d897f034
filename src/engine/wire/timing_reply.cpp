#include "engine/wire/timing_reply.hpp"

#include <algorithm>

#include "engine/wire/byte_order.hpp"

namespace kestrune::engine {

namespace {

constexpr std::uint8_t kTimingRequestPayloadType = 82;

}  // namespace

bool is_timing_request(std::span<const std::uint8_t> datagram) {
  return datagram.size() == kTimingPacketBytes && (datagram[1] & 0x7F) == kTimingRequestPayloadType;
}

TimingReply build_timing_reply(std::span<const std::uint8_t, kTimingPacketBytes> request,
                               std::uint64_t receive_time, std::uint64_t transmit_time) {
  TimingReply reply{};
  reply[0] = 0x80;
  reply[1] = 0xD3;
  reply[2] = request[2];
  reply[3] = request[3];
  std::copy(request.begin() + 24, request.end(), reply.begin() + 8);
  put_be64(reply, 16, receive_time);
  put_be64(reply, 24, transmit_time);
  return reply;
}

}  // namespace kestrune::engine
