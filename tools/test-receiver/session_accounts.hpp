#pragma once
// Follows the sessions a receiver serves, one after another, and keeps one account for each (a
// session is one control connection): once kPacketsBeforeRetransmission of a session's audio
// packets have arrived it asks that session's sender for kRetransmittedCount of them again, and
// once the session's connection has closed and everything that had arrived has been read, it takes
// the session's account, describes it (comparing its audio with the samples expected of that
// session, if any) and forgets the session's datagrams, so that a receiver process serves any
// number of sessions in a row with a clean account for each.

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "test-receiver/test_receiver.hpp"

namespace kestrune::test_receiver {

inline constexpr std::uint64_t kPacketsBeforeRetransmission = 40;
inline constexpr std::size_t kRetransmittedFrom = 5;  // the session's sixth audio packet
inline constexpr std::uint16_t kRetransmittedCount = 2;

class SessionAccounts {
 public:
  // `expected[i]`: the samples the session on connection i + 1 is expected to send (a file's).
  SessionAccounts(TestReceiver& receiver, std::vector<std::vector<std::int16_t>> expected);

  // Asks for the retransmissions that are due and returns the lines of every account that could
  // be taken since the last call (describe_audio_account), in session order.
  std::vector<std::string> follow();

  // Once the receiver has stopped: the lines of the sessions not yet accounted for.
  std::vector<std::string> finish();

  // Whether every session that was compared with expected samples sent exactly them.
  bool all_audio_matched() const { return all_matched_; }

 private:
  std::vector<std::string> account_for(const ServedConnection& session);

  TestReceiver& receiver_;
  std::vector<std::vector<std::int16_t>> expected_;
  std::map<std::size_t, std::uint64_t> requested_;  // retransmitted packets, by session number
  std::size_t accounted_ = 0;                       // sessions 1 to accounted_ are done
  bool all_matched_ = true;
};

}  // namespace kestrune::test_receiver
