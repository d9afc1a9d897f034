#include "engine/orchestration/jitter_buffer.hpp"

#include <algorithm>

namespace kestrune::engine {

namespace {

constexpr std::uint32_t kMillisecondsPerPacket = 8;

std::size_t percent_of(std::size_t packets, std::uint8_t percent) {
  const std::size_t scaled = packets * percent;
  return std::max<std::size_t>((scaled + 99) / 100, 1);
}

}  // namespace

JitterTargets jitter_targets(const BufferProfile& profile) {
  JitterTargets targets;
  targets.capacity = std::max<std::size_t>(profile.capacityMs / kMillisecondsPerPacket, 1);
  targets.start = percent_of(targets.capacity, profile.startFillPercent);
  targets.refill = percent_of(targets.capacity, profile.refillPercent);
  return targets;
}

JitterBuffer::JitterBuffer(std::size_t capacity) : slots_(std::max<std::size_t>(capacity, 1)) {}

bool JitterBuffer::push(const LivePacket& packet) {
  if (size_ == slots_.size()) return false;
  slots_[(head_ + size_) % slots_.size()] = packet;
  ++size_;
  return true;
}

void JitterBuffer::pop() {
  if (size_ == 0) return;
  head_ = (head_ + 1) % slots_.size();
  --size_;
}

void JitterBuffer::clear() {
  head_ = 0;
  size_ = 0;
}

}  // namespace kestrune::engine
