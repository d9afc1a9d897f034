#pragma once
// The last 512 sealed audio packets, for retransmission. Sequence number s lives in slot s AND 511;
// storing a packet replaces whatever that slot held. One mutex guards every slot and is held only
// while one slot is copied in or out. The coordinator thread is the only writer; "rt-control"
// reads.
//
// The bytes of all 512 slots are one block, made with the history and not touched until packets
// are stored: creating a history is one allocation and no page of it is written, and storing a
// packet never allocates, from the first packet on.

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
  std::uint16_t length = 0;  // bytes of the packet, at most kHistorySlotBytes
};

// The slots and the block their packets are kept in (slot i at i * kHistorySlotBytes).
struct HistorySlots {
  HistorySlots();

  std::size_t size() const { return slots.size(); }
  std::span<std::uint8_t, kHistorySlotBytes> room(std::size_t slot) {
    return std::span<std::uint8_t, kHistorySlotBytes>(bytes.get() + slot * kHistorySlotBytes,
                                                      kHistorySlotBytes);
  }

  std::array<HistorySlot, kPacketHistorySlots> slots{};
  std::unique_ptr<std::uint8_t[]> bytes;
};

class PacketHistory {
 public:
  // Every slot empty.
  PacketHistory() = default;
  PacketHistory(const PacketHistory&) = delete;
  PacketHistory& operator=(const PacketHistory&) = delete;

  // Stores a copy of `packet` under `sequence_number`; a packet longer than kHistorySlotBytes
  // (which no audio packet is) is not kept, and the slot is left empty. A poisoned lock ends the
  // calling thread with "history lock poisoned".
  void store(std::uint16_t sequence_number, std::span<const std::uint8_t> packet);

  // Appends the packet stored under `sequence_number` to `out` and returns true; false (and `out`
  // untouched) when the slot is empty or holds another sequence number. A poisoned lock is read
  // regardless.
  bool append_packet_to(std::uint16_t sequence_number, std::vector<std::uint8_t>& out);

 private:
  friend struct PacketHistoryAccess;  // the slots and their lock, from outside the class

  support::Mutex<HistorySlots> slots_;
};

// A history with every slot empty, ready to be shared by the sender state and "rt-control".
std::shared_ptr<PacketHistory> new_packet_history();

}  // namespace kestrune::engine
