#pragma once
// A plain summary of one stream's counters and pacing, in microseconds, as the sender's statistics
// give it to the session report. Every counter counts up from 0 over the stream's life.

#include <cstdint>

namespace kestrune::engine {

struct StreamSummary {
  std::uint64_t packetsPrepared = 0;
  std::uint64_t packetsSent = 0;
  std::uint64_t underrunSilencePackets = 0;
  std::uint64_t retransmitRequested = 0;
  std::uint64_t retransmitFulfilled = 0;
  std::uint64_t jitterP50Us = 0;
  std::uint64_t jitterP95Us = 0;
  std::uint64_t jitterP99Us = 0;
  std::uint64_t jitterMaxUs = 0;
  std::uint64_t bufferOverflows = 0;  // capture chunks the live loop dropped to bound its delay

  friend bool operator==(const StreamSummary&, const StreamSummary&) = default;
};

}  // namespace kestrune::engine
