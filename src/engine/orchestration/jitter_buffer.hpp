#pragma once
// The live stream's jitter buffer: a first-in first-out ring of ready packets (352 stereo frames
// each) between the bursty capture and the steady sender, with its three sizes taken from the
// session's buffer profile. The ring's room is made once, at creation; pushing and popping never
// allocate.

#include <cstddef>
#include <vector>

#include "engine/audio/live_pcm_source.hpp"
#include "engine/core/session_config.hpp"

namespace kestrune::engine {

// capacity = capacityMs / 8 (a packet is about 8 ms), at least 1; the start and refill targets
// are the ceiling of that many packets times their percentage, at least 1 each.
struct JitterTargets {
  std::size_t capacity = 1;
  std::size_t start = 1;
  std::size_t refill = 1;

  friend bool operator==(const JitterTargets&, const JitterTargets&) = default;
};

JitterTargets jitter_targets(const BufferProfile& profile);

class JitterBuffer {
 public:
  explicit JitterBuffer(std::size_t capacity);

  std::size_t size() const { return size_; }
  std::size_t capacity() const { return slots_.size(); }
  bool empty() const { return size_ == 0; }

  // Appends at the back; false (and nothing stored) when the ring is full.
  bool push(const LivePacket& packet);
  // The oldest packet; only while not empty.
  const LivePacket& front() const { return slots_[head_]; }
  void pop();
  void clear();

 private:
  std::vector<LivePacket> slots_;
  std::size_t head_ = 0;
  std::size_t size_ = 0;
};

}  // namespace kestrune::engine
