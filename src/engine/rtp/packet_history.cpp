#include "engine/rtp/packet_history.hpp"

#include "support/thread.hpp"

namespace kestrune::engine {

namespace {

std::size_t slot_of(std::uint16_t sequence_number) {
  return sequence_number & (kPacketHistorySlots - 1);
}

}  // namespace

PacketHistory::PacketHistory() {
  auto slots = slots_.lock();
  for (HistorySlot& slot : *slots) slot.packet.reserve(kHistorySlotBytes);
}

void PacketHistory::store(std::uint16_t sequence_number, std::span<const std::uint8_t> packet) {
  auto slots = slots_.lock();
  if (slots.poisoned()) support::end_thread("history lock poisoned");
  HistorySlot& slot = (*slots)[slot_of(sequence_number)];
  slot.packet.assign(packet.begin(), packet.end());
  slot.sequence_number = sequence_number;
  slot.occupied = true;
}

bool PacketHistory::append_packet_to(std::uint16_t sequence_number,
                                     std::vector<std::uint8_t>& out) {
  auto slots = slots_.lock();
  const HistorySlot& slot = (*slots)[slot_of(sequence_number)];
  if (!slot.occupied || slot.sequence_number != sequence_number) return false;
  out.insert(out.end(), slot.packet.begin(), slot.packet.end());
  return true;
}

std::shared_ptr<PacketHistory> new_packet_history() { return std::make_shared<PacketHistory>(); }

}  // namespace kestrune::engine
