#include "test-receiver/audio_account.hpp"

#include <algorithm>

#include "engine/crypto/chacha20_poly1305.hpp"
#include "test-receiver/session_routes.hpp"

namespace kestrune::test_receiver {

namespace {

constexpr std::size_t kHeaderSize = 12;
constexpr std::size_t kTagSize = 16;
constexpr std::size_t kNonceTailSize = 8;
constexpr std::size_t kSamplesPerPacket = 352 * 2;
constexpr std::uint8_t kRetransmitReply = 0xD6;
constexpr std::size_t kReplyHeaderSize = 4;

std::uint16_t sequence_of(std::span<const std::uint8_t> packet) {
  return static_cast<std::uint16_t>(packet[2] << 8 | packet[3]);
}

// The samples of one audio packet, opened with the key: header, payload, tag, nonce tail.
std::optional<std::vector<std::int16_t>> open_packet(std::span<const std::uint8_t> packet,
                                                     const engine::AeadKey& key) {
  if (packet.size() < kHeaderSize + kTagSize + kNonceTailSize) return std::nullopt;
  const std::size_t payload = packet.size() - kHeaderSize - kTagSize - kNonceTailSize;
  if (payload % 4 != 0) return std::nullopt;
  engine::AeadNonce nonce{};
  std::copy_n(packet.begin() + kHeaderSize + payload + kTagSize, kNonceTailSize, nonce.begin() + 4);
  engine::AeadTag tag{};
  std::copy_n(packet.begin() + kHeaderSize + payload, kTagSize, tag.begin());
  std::vector<std::uint8_t> plain(payload);
  if (!engine::chacha20_poly1305_open(key, nonce, packet.subspan(4, 8),
                                      packet.subspan(kHeaderSize, payload), tag, plain)) {
    return std::nullopt;
  }
  std::vector<std::int16_t> samples;
  samples.reserve(payload / 2);
  for (std::size_t i = 0; i < payload; i += 2) {
    samples.push_back(static_cast<std::int16_t>(plain[i] << 8 | plain[i + 1]));
  }
  return samples;
}

std::optional<std::string> last_volume(const TestReceiver& receiver) {
  std::optional<std::string> volume;
  constexpr std::string_view kPrefix = "volume: ";
  for (const ReceivedRequest& request : receiver.requests_with("SET_PARAMETER")) {
    std::string body(request.body.begin(), request.body.end());
    if (!body.starts_with(kPrefix)) continue;
    body.erase(0, kPrefix.size());
    while (!body.empty() && (body.back() == '\r' || body.back() == '\n')) body.pop_back();
    volume = body;
  }
  return volume;
}

}  // namespace

bool request_retransmission(const TestReceiver& receiver, std::size_t first, std::uint16_t count) {
  const auto setups = receiver.requests_with("SETUP");
  std::optional<std::uint16_t> control_port;
  for (const ReceivedRequest& setup : setups) {
    if (setup_phase_of(setup) == SetupPhase::two) control_port = announced_sender_port(setup);
  }
  const auto data = receiver.endpoints().datagrams(UdpEndpoint::data);
  if (!control_port || data.size() <= first || data[first].bytes.size() < kHeaderSize) {
    return false;
  }
  const std::uint16_t sequence = sequence_of(data[first].bytes);
  const std::vector<std::uint8_t> request = {0x80,
                                             0xD5,
                                             0x00,
                                             0x01,
                                             static_cast<std::uint8_t>(sequence >> 8),
                                             static_cast<std::uint8_t>(sequence & 0xFF),
                                             static_cast<std::uint8_t>(count >> 8),
                                             static_cast<std::uint8_t>(count & 0xFF)};
  const auto to_sender = platform::SocketAddress::of({127, 0, 0, 1}, *control_port);
  return receiver.endpoints().send_from(UdpEndpoint::control, request, to_sender).has_value();
}

AudioAccount take_audio_account(const TestReceiver& receiver, std::uint64_t requested) {
  AudioAccount account;
  const SessionEndpoints& endpoints = receiver.endpoints();
  const auto data = endpoints.datagrams(UdpEndpoint::data);
  account.packets_received = endpoints.datagram_count(UdpEndpoint::data);
  account.all_packets_kept = data.size() == account.packets_received;
  const auto keys = receiver.session_keys();

  std::optional<std::uint16_t> previous;
  for (const RecordedDatagram& datagram : data) {
    const std::span<const std::uint8_t> packet(datagram.bytes);
    if (packet.size() >= kHeaderSize) {
      const std::uint16_t sequence = sequence_of(packet);
      if (previous) account.sequence_gaps += static_cast<std::uint16_t>(sequence - *previous - 1);
      previous = sequence;
    }
    auto samples = keys ? open_packet(packet, keys->events_key) : std::nullopt;
    if (!samples) {
      ++account.decrypt_failures;
      continue;
    }
    account.samples.insert(account.samples.end(), samples->begin(), samples->end());
  }

  // Every retransmission reply carries a packet that arrived before; it counts when it is that
  // packet byte for byte.
  for (const RecordedDatagram& datagram : endpoints.datagrams(UdpEndpoint::control)) {
    const std::span<const std::uint8_t> reply(datagram.bytes);
    if (reply.size() <= kReplyHeaderSize + kHeaderSize || reply[1] != kRetransmitReply) continue;
    const auto resent = reply.subspan(kReplyHeaderSize);
    const bool same = std::any_of(data.begin(), data.end(), [&](const RecordedDatagram& first) {
      return std::equal(first.bytes.begin(), first.bytes.end(), resent.begin(), resent.end());
    });
    if (same) ++account.retransmissions_answered;
  }
  account.retransmissions_requested = requested;
  account.volume_db = last_volume(receiver);
  return account;
}

std::vector<std::int16_t> padded_to_packets(std::span<const std::int16_t> samples) {
  std::vector<std::int16_t> padded(samples.begin(), samples.end());
  const std::size_t partial = padded.size() % kSamplesPerPacket;
  if (partial != 0) padded.resize(padded.size() + kSamplesPerPacket - partial, 0);
  return padded;
}

std::vector<std::string> describe_audio_account(
    const AudioAccount& account, const std::optional<std::vector<std::int16_t>>& expected) {
  std::vector<std::string> lines = {
      "account packets_received=" + std::to_string(account.packets_received),
      "account sequence_gaps=" + std::to_string(account.sequence_gaps),
      "account decrypt_failures=" + std::to_string(account.decrypt_failures),
      "account retransmissions_answered=" + std::to_string(account.retransmissions_answered) +
          " of " + std::to_string(account.retransmissions_requested) + " requested",
      "account volume_db=" + account.volume_db.value_or("<never set>"),
  };
  if (!expected) return lines;
  const std::vector<std::int16_t> padded = padded_to_packets(*expected);
  const std::string frames = " frames=" + std::to_string(account.samples.size() / 2) +
                             " expected_frames=" + std::to_string(padded.size() / 2);
  if (!account.all_packets_kept) {
    lines.push_back("account audio=unchecked (more packets than were kept)" + frames);
  } else if (account.samples == padded) {
    lines.push_back("account audio=matches" + frames);
  } else {
    const auto differ =
        std::mismatch(account.samples.begin(), account.samples.end(), padded.begin(), padded.end());
    lines.push_back("account audio=differs first_differing_frame=" +
                    std::to_string((differ.first - account.samples.begin()) / 2) + frames);
  }
  return lines;
}

}  // namespace kestrune::test_receiver
