#pragma once
// The receiver's own account of what a session sent it: the audio packets that reached the data
// port, the sequence numbers skipped between them, the packets that did not open with the
// session's audio key, the retransmissions it asked for and got back byte for byte, the volume it
// was last set to, and whether the audio that opened equals what was expected (a file's samples,
// padded with silence to whole packets as the sender pads the last one).

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "test-receiver/test_receiver.hpp"

namespace kestrune::test_receiver {

// Asks the sender once for the packets of `count` sequence numbers starting at that of the
// `first`-th packet that arrived, from the control port to the one its SETUP phase 2 announced.
// False when that packet has not arrived or the sender announced no control port.
bool request_retransmission(const TestReceiver& receiver, std::size_t first, std::uint16_t count);

struct AudioAccount {
  std::uint64_t packets_received = 0;
  std::uint64_t sequence_gaps = 0;  // sequence numbers skipped between packets in arrival order
  std::uint64_t decrypt_failures = 0;
  std::uint64_t retransmissions_requested = 0;
  std::uint64_t retransmissions_answered = 0;  // replies equal to the packet first sent
  std::optional<std::string> volume_db;        // of the last volume request, as it was sent
  bool all_packets_kept = true;                // every packet that arrived was recorded
  std::vector<std::int16_t> samples;           // the opened audio, in arrival order
};

// `requested`: the packets asked for again (request_retransmission's counts, added up).
AudioAccount take_audio_account(const TestReceiver& receiver, std::uint64_t requested);

// `samples` padded with zeros to whole packets of 352 stereo frames.
std::vector<std::int16_t> padded_to_packets(std::span<const std::int16_t> samples);

// One "account <name>=<value>" line per figure, and with `expected` an "account audio=" line:
// "matches", or "differs" with the first frame that differs.
std::vector<std::string> describe_audio_account(
    const AudioAccount& account, const std::optional<std::vector<std::int16_t>>& expected);

}  // namespace kestrune::test_receiver
