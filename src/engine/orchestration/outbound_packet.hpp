#pragma once
// What the coordinator hands to "rt-sender": one sealed RTP audio packet and, when one was due,
// the sync packet to send before it. Ownership moves with the value.

#include <cstdint>
#include <optional>
#include <vector>

#include "engine/wire/sync_packet.hpp"

namespace kestrune::engine {

struct OutboundPacket {
  std::vector<std::uint8_t> audio;
  std::optional<SyncPacket> sync;
};

}  // namespace kestrune::engine
