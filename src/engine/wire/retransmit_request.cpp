#include "engine/wire/retransmit_request.hpp"

namespace kestrune::engine {

namespace {

constexpr std::uint8_t kRetransmitRequestPayloadType = 85;
constexpr std::size_t kShortestControlDatagram = 4;
constexpr std::size_t kShortRequestBytes = 8;
constexpr std::size_t kLongRequestBytes = 12;

}  // namespace

ControlDatagram parse_control_datagram(std::span<const std::uint8_t> datagram) {
  if (datagram.size() < kShortestControlDatagram ||
      (datagram[1] & 0x7F) != kRetransmitRequestPayloadType) {
    return {ControlDatagramKind::ignored, {}};
  }
  if (datagram.size() == kShortRequestBytes) {
    return {ControlDatagramKind::request, {get_be16(datagram, 4), get_be16(datagram, 6)}};
  }
  if (datagram.size() >= kLongRequestBytes) {
    return {ControlDatagramKind::request, {get_be16(datagram, 8), get_be16(datagram, 10)}};
  }
  return {ControlDatagramKind::malformed, {}};
}

}  // namespace kestrune::engine
