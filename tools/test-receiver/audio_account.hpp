#pragma once
// The receiver's own account of what one session sent it: the audio packets that reached the data
// port, the sequence numbers skipped between them, the packets that did not open with the
// session's audio key, the retransmissions it asked for and got back byte for byte, the volume it
// was last set to, the level and dominant frequency of each channel of the audio that opened, and
// whether that audio equals what was expected (a file's samples, padded with silence to whole
// packets as the sender pads the last one).
//
// A session is one control connection. Its packets are the data port's datagrams that open with
// the audio key of its pairing, from those that arrived after its connection was accepted; a
// datagram that no session's key opens is a decrypt failure of the session whose connection was
// the latest one accepted when it was read.

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "test-receiver/sound_analysis.hpp"
#include "test-receiver/test_receiver.hpp"

namespace kestrune::test_receiver {

// Asks the session's sender once for the packets of `count` sequence numbers starting at that of
// the session's `first`-th audio packet (from 0), from the control port to the one its SETUP
// phase 2 announced, at the address the audio came from. False when that packet has not arrived
// or the session announced no control port.
bool request_retransmission(const TestReceiver& receiver, const ServedConnection& session,
                            std::size_t first, std::uint16_t count);

struct AudioAccount {
  std::size_t session = 0;  // the connection's number
  std::uint64_t packets_received = 0;
  std::uint64_t sequence_gaps = 0;  // sequence numbers skipped between packets in arrival order
  std::uint64_t decrypt_failures = 0;
  std::uint64_t retransmissions_requested = 0;
  std::uint64_t retransmissions_answered = 0;  // replies equal to a packet the session sent
  std::optional<std::string> volume_db;        // of the session's last volume request, as sent
  bool all_packets_kept = true;                // every packet that arrived was recorded
  std::vector<std::int16_t> samples;           // the opened audio, in arrival order
};

// `requested`: the packets asked for again (request_retransmission's counts, added up).
AudioAccount take_audio_account(const TestReceiver& receiver, const ServedConnection& session,
                                std::uint64_t requested);

// `samples` padded with zeros to whole packets of 352 stereo frames.
std::vector<std::int16_t> padded_to_packets(std::span<const std::int16_t> samples);

// Whether the session's audio is `expected` padded to whole packets; unchecked when packets
// arrived that were not kept.
enum class AudioCheck { matches, differs, unchecked };
AudioCheck check_audio(const AudioAccount& account, std::span<const std::int16_t> expected);

// One "account <session> <name>=<value>" line per figure, for each channel its level and
// frequency (analyse_sound), with `expected` an "audio=" line ("matches", or "differs" with the
// first frame that differs), and last "account <session> end".
std::vector<std::string> describe_audio_account(
    const AudioAccount& account, const std::optional<std::vector<std::int16_t>>& expected);

}  // namespace kestrune::test_receiver
