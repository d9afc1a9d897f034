#include "engine/rtp/packet_history.hpp"

#include <algorithm>

#include "support/thread.hpp"

namespace kestrune::engine {

namespace {

std::size_t slot_of(std::uint16_t sequence_number) {
  return sequence_number & (kPacketHistorySlots - 1);
}

}  // namespace

// Default-initialised bytes: nothing writes the block before a packet is stored in it.
HistorySlots::HistorySlots()
    : bytes(
          std::make_unique_for_overwrite<std::uint8_t[]>(kPacketHistorySlots * kHistorySlotBytes)) {
}

void PacketHistory::store(std::uint16_t sequence_number, std::span<const std::uint8_t> packet) {
  auto slots = slots_.lock();
  if (slots.poisoned()) support::end_thread("history lock poisoned");
  const std::size_t index = slot_of(sequence_number);
  HistorySlot& slot = slots->slots[index];
  slot.occupied = packet.size() <= kHistorySlotBytes;
  if (!slot.occupied) return;
  std::ranges::copy(packet, slots->room(index).begin());
  slot.length = static_cast<std::uint16_t>(packet.size());
  slot.sequence_number = sequence_number;
}

bool PacketHistory::append_packet_to(std::uint16_t sequence_number,
                                     std::vector<std::uint8_t>& out) {
  auto slots = slots_.lock();
  const std::size_t index = slot_of(sequence_number);
  const HistorySlot& slot = slots->slots[index];
  if (!slot.occupied || slot.sequence_number != sequence_number) return false;
  const auto packet = slots->room(index).first(slot.length);
  out.insert(out.end(), packet.begin(), packet.end());
  return true;
}

std::shared_ptr<PacketHistory> new_packet_history() { return std::make_shared<PacketHistory>(); }

}  // namespace kestrune::engine
