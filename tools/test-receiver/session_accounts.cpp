#include "test-receiver/session_accounts.hpp"

#include <chrono>

#include "test-receiver/audio_account.hpp"

namespace kestrune::test_receiver {

namespace {

// The endpoints read what waits in a turn or two; a longer wait means a machine that is very busy.
constexpr std::chrono::seconds kReadUpPatience{10};

}  // namespace

SessionAccounts::SessionAccounts(TestReceiver& receiver,
                                 std::vector<std::vector<std::int16_t>> expected)
    : receiver_(receiver), expected_(std::move(expected)) {}

std::vector<std::string> SessionAccounts::follow() {
  const std::vector<ServedConnection> connections = receiver_.connections();
  const SessionEndpoints& endpoints = receiver_.endpoints();
  if (!connections.empty()) {
    const ServedConnection& latest = connections.back();
    if (!latest.closed && !requested_.contains(latest.number) &&
        endpoints.datagram_count(UdpEndpoint::data) >=
            latest.first_data_datagram + kPacketsBeforeRetransmission &&
        request_retransmission(receiver_, latest, kRetransmittedFrom, kRetransmittedCount)) {
      requested_[latest.number] = kRetransmittedCount;
    }
  }
  std::vector<std::string> lines;
  for (const ServedConnection& session : connections) {
    if (session.number <= accounted_ || !session.closed) continue;
    // Its datagrams all arrived before its connection closed; some may still wait to be read.
    (void)endpoints.wait_until_read_up(kReadUpPatience);
    auto account = account_for(session);
    lines.insert(lines.end(), account.begin(), account.end());
  }
  return lines;
}

std::vector<std::string> SessionAccounts::finish() {
  std::vector<std::string> lines;
  for (const ServedConnection& session : receiver_.connections()) {
    if (session.number <= accounted_) continue;
    auto account = account_for(session);
    lines.insert(lines.end(), account.begin(), account.end());
  }
  return lines;
}

std::vector<std::string> SessionAccounts::account_for(const ServedConnection& session) {
  const auto requested = requested_.find(session.number);
  const AudioAccount account =
      take_audio_account(receiver_, session, requested == requested_.end() ? 0 : requested->second);
  std::optional<std::vector<std::int16_t>> expected;
  if (session.number <= expected_.size()) expected = expected_[session.number - 1];
  if (expected && check_audio(account, *expected) != AudioCheck::matches) all_matched_ = false;
  accounted_ = session.number;
  // What arrived before the next session began is this one's, or no one's; the next session's
  // datagrams are kept for its own account.
  SessionEndpoints& endpoints = receiver_.endpoints();
  std::uint64_t data_end = endpoints.datagram_count(UdpEndpoint::data);
  std::uint64_t control_end = endpoints.datagram_count(UdpEndpoint::control);
  for (const ServedConnection& next : receiver_.connections()) {
    if (next.number != session.number + 1) continue;
    data_end = next.first_data_datagram;
    control_end = next.first_control_datagram;
  }
  endpoints.forget_datagrams(UdpEndpoint::data, data_end);
  endpoints.forget_datagrams(UdpEndpoint::control, control_end);
  return describe_audio_account(account, expected);
}

}  // namespace kestrune::test_receiver
