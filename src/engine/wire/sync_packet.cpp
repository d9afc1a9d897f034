#include "engine/wire/sync_packet.hpp"

#include "engine/wire/byte_order.hpp"

namespace kestrune::engine {

bool sync_due(bool first_sync_pending, std::optional<std::uint32_t> last_sync,
              std::uint32_t timestamp) {
  if (first_sync_pending || !last_sync) return true;
  return static_cast<std::uint32_t>(timestamp - *last_sync) >= kSyncIntervalFrames;
}

SyncPacket build_sync_packet(bool first, std::uint16_t sync_sequence_number,
                             std::uint32_t timestamp, std::uint64_t ntp_time) {
  SyncPacket packet{};
  packet[0] = first ? 0x90 : 0x80;
  packet[1] = 0xD4;
  put_be16(packet, 2, sync_sequence_number);
  put_be32(packet, 4, timestamp);
  put_be64(packet, 8, ntp_time);
  put_be32(packet, 16, timestamp);
  return packet;
}

}  // namespace kestrune::engine
