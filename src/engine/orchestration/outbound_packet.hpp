#pragma once
// What the coordinator hands to "rt-sender": one sealed RTP audio packet and, when one was due,
// the sync packet to send before it. Ownership moves with the value.

#include <array>
#include <cstdint>
#include <optional>
#include <vector>

namespace kestrune::engine {

inline constexpr std::size_t kSyncPacketBytes = 20;
using SyncPacket = std::array<std::uint8_t, kSyncPacketBytes>;

struct OutboundPacket {
  std::vector<std::uint8_t> audio;
  std::optional<SyncPacket> sync;
};

}  // namespace kestrune::engine
