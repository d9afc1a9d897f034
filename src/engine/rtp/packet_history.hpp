#pragma once
// The last 512 sealed audio packets, for retransmission. Sequence number s lives in slot s AND 511;
// storing a packet replaces whatever that slot held. One mutex guards every slot and is held only
// while one slot is copied in or out. The coordinator thread is the only writer; "rt-control"
// reads.

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "support/mutex.hpp"

namespace kestrune::engine {

inline constexpr std::size_t kPacketHistorySlots = 512;
// A full audio packet: the 12-byte header, 1408 bytes of payload, the tag and the nonce tail.
inline constexpr std::size_t kHistorySlotBytes = 1444;

struct HistorySlot {
  bool occupied = false;
  std::uint16_t sequence_number = 0;
  // The packet as sent. Room for a full packet is made when the history is created and kept when
  // the slot is reused, so storing a packet never allocates, from the first packet on.
  std::vector<std::uint8_t> packet;
};

using HistorySlots = std::array<HistorySlot, kPacketHistorySlots>;

class PacketHistory {
 public:
  // Every slot empty, with room for a full packet.
  PacketHistory();
  PacketHistory(const PacketHistory&) = delete;
  PacketHistory& operator=(const PacketHistory&) = delete;

  // Stores a copy of `packet` under `sequence_number`. A poisoned lock ends the calling thread
  // with "history lock poisoned".
  void store(std::uint16_t sequence_number, std::span<const std::uint8_t> packet);

  // Appends the packet stored under `sequence_number` to `out` and returns true; false (and `out`
  // untouched) when the slot is empty or holds another sequence number. A poisoned lock is read
  // regardless.
  bool append_packet_to(std::uint16_t sequence_number, std::vector<std::uint8_t>& out);

  // The slots and their lock, for inspection.
  support::Mutex<HistorySlots>& slots() { return slots_; }

 private:
  support::Mutex<HistorySlots> slots_;
};

// A history with every slot empty, ready to be shared by the sender state and "rt-control".
std::shared_ptr<PacketHistory> new_packet_history();

}  // namespace kestrune::engine
