#pragma once
// A test seam of the packet history. Compiled into the library; included only by tests.

#include "engine/rtp/packet_history.hpp"
#include "support/mutex.hpp"

namespace kestrune::engine {

// The history's slots and their lock, for inspection (and for poisoning the lock).
support::Mutex<HistorySlots>& history_slots_for_testing(PacketHistory& history);

}  // namespace kestrune::engine
