#pragma once
// A test seam of the packet history. Included only by tests.

#include "engine/rtp/packet_history.hpp"
#include "support/mutex.hpp"

namespace kestrune::engine {

struct PacketHistoryAccess {
  static support::Mutex<HistorySlots>& slots(PacketHistory& history) { return history.slots_; }
};

// The history's slots and their lock, for inspection (and for poisoning the lock).
inline support::Mutex<HistorySlots>& history_slots_for_testing(PacketHistory& history) {
  return PacketHistoryAccess::slots(history);
}

}  // namespace kestrune::engine
