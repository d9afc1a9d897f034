#pragma once
// Sync packets tie an RTP timestamp to the sender's wall clock. One goes with the first audio
// packet and then with the first packet at least one second (44,100 frames) of timestamps after
// the last sync: with 352 frames a packet, every 126th packet.

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>

namespace kestrune::engine {

inline constexpr std::uint32_t kSyncIntervalFrames = 44'100;
inline constexpr std::size_t kSyncPacketBytes = 20;
using SyncPacket = std::array<std::uint8_t, kSyncPacketBytes>;

// Whether a sync is due with the audio packet of `timestamp`. The difference to the last sync is
// taken modulo 2^32, so the schedule carries on across a timestamp wrap.
bool sync_due(bool first_sync_pending, std::optional<std::uint32_t> last_sync,
              std::uint32_t timestamp);

// 0x90 (first) or 0x80, 0xD4, the sync sequence number, the timestamp, the NTP time, and the
// timestamp again; all big-endian.
SyncPacket build_sync_packet(bool first, std::uint16_t sync_sequence_number,
                             std::uint32_t timestamp, std::uint64_t ntp_time);

}  // namespace kestrune::engine
