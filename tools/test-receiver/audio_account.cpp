#include "test-receiver/audio_account.hpp"

#include <algorithm>
#include <cstdio>

#include "engine/crypto/chacha20_poly1305.hpp"
#include "test-receiver/session_routes.hpp"

namespace kestrune::test_receiver {

namespace {

constexpr std::size_t kHeaderSize = 12;
constexpr std::size_t kTagSize = 16;
constexpr std::size_t kNonceTailSize = 8;
constexpr std::size_t kSamplesPerPacket = kFramesPerPacket * 2;
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

std::optional<std::vector<std::int16_t>> open_with(const ServedConnection& session,
                                                   std::span<const std::uint8_t> packet) {
  if (!session.session_keys) return std::nullopt;
  return open_packet(packet, session.session_keys->events_key);
}

std::optional<std::string> last_volume(const std::vector<ReceivedRequest>& requests) {
  std::optional<std::string> volume;
  constexpr std::string_view kPrefix = "volume: ";
  for (const ReceivedRequest& request : requests) {
    if (request.method != "SET_PARAMETER") continue;
    std::string body(request.body.begin(), request.body.end());
    if (!body.starts_with(kPrefix)) continue;
    body.erase(0, kPrefix.size());
    while (!body.empty() && (body.back() == '\r' || body.back() == '\n')) body.pop_back();
    volume = body;
  }
  return volume;
}

// The data datagrams of the session's time that are no session's: they arrived while its
// connection was the latest one, and neither its key nor an earlier session's opens them.
bool is_failure_of(const RecordedDatagram& datagram, const ServedConnection& session,
                   const std::vector<ServedConnection>& connections) {
  for (const ServedConnection& other : connections) {
    if (other.number > session.number && datagram.number >= other.first_data_datagram) {
      return false;
    }
    if (other.number < session.number && open_with(other, datagram.bytes)) return false;
  }
  return true;
}

std::string two_decimals(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.2f", value);
  return text;
}

}  // namespace

bool request_retransmission(const TestReceiver& receiver, const ServedConnection& session,
                            std::size_t first, std::uint16_t count) {
  std::optional<std::uint16_t> control_port;
  for (const ReceivedRequest& setup : receiver.requests_on(session)) {
    if (setup_phase_of(setup) == SetupPhase::two) control_port = announced_sender_port(setup);
  }
  if (!control_port) return false;
  std::size_t opened = 0;
  for (const RecordedDatagram& datagram : receiver.endpoints().datagrams(UdpEndpoint::data)) {
    if (datagram.number < session.first_data_datagram || !open_with(session, datagram.bytes)) {
      continue;
    }
    if (opened++ < first) continue;
    const std::uint16_t sequence = sequence_of(datagram.bytes);
    const std::vector<std::uint8_t> request = {0x80,
                                               0xD5,
                                               0x00,
                                               0x01,
                                               static_cast<std::uint8_t>(sequence >> 8),
                                               static_cast<std::uint8_t>(sequence & 0xFF),
                                               static_cast<std::uint8_t>(count >> 8),
                                               static_cast<std::uint8_t>(count & 0xFF)};
    const auto to_sender = platform::SocketAddress::of(datagram.source.ip(), *control_port);
    return receiver.endpoints().send_from(UdpEndpoint::control, request, to_sender).has_value();
  }
  return false;
}

AudioAccount take_audio_account(const TestReceiver& receiver, const ServedConnection& session,
                                std::uint64_t requested) {
  AudioAccount account;
  account.session = session.number;
  const SessionEndpoints& endpoints = receiver.endpoints();
  // The datagrams first: a connection that any of them belongs to was accepted before it arrived,
  // so the list read after them holds it.
  const auto data = endpoints.datagrams(UdpEndpoint::data);
  const std::uint64_t arrived = endpoints.datagram_count(UdpEndpoint::data);
  const auto control = endpoints.datagrams(UdpEndpoint::control);
  const auto connections = receiver.connections();
  std::uint64_t until = arrived;  // the end of the session's time at the data port
  for (const ServedConnection& other : connections) {
    if (other.number == session.number + 1) until = std::min(arrived, other.first_data_datagram);
  }

  std::vector<const RecordedDatagram*> sent;  // the session's packets that opened
  std::optional<std::uint16_t> previous;
  std::uint64_t kept_in_time = 0;
  for (const RecordedDatagram& datagram : data) {
    if (datagram.number < session.first_data_datagram) continue;
    if (datagram.number < until) ++kept_in_time;
    const std::span<const std::uint8_t> packet(datagram.bytes);
    auto samples = open_with(session, packet);
    if (samples) {
      sent.push_back(&datagram);
      account.samples.insert(account.samples.end(), samples->begin(), samples->end());
    } else if (!is_failure_of(datagram, session, connections)) {
      continue;
    } else {
      ++account.decrypt_failures;
    }
    ++account.packets_received;
    if (packet.size() >= kHeaderSize) {
      const std::uint16_t sequence = sequence_of(packet);
      if (previous) account.sequence_gaps += static_cast<std::uint16_t>(sequence - *previous - 1);
      previous = sequence;
    }
  }
  const std::uint64_t in_time =
      until > session.first_data_datagram ? until - session.first_data_datagram : 0;
  const std::uint64_t not_kept = in_time - std::min(in_time, kept_in_time);
  account.packets_received += not_kept;
  account.all_packets_kept = not_kept == 0;

  // Every retransmission reply carries a packet that arrived before; it counts when it is one of
  // the session's packets byte for byte.
  for (const RecordedDatagram& datagram : control) {
    if (datagram.number < session.first_control_datagram) continue;
    const std::span<const std::uint8_t> reply(datagram.bytes);
    if (reply.size() <= kReplyHeaderSize + kHeaderSize || reply[1] != kRetransmitReply) continue;
    const auto resent = reply.subspan(kReplyHeaderSize);
    const bool same = std::any_of(sent.begin(), sent.end(), [&](const RecordedDatagram* first) {
      return std::equal(first->bytes.begin(), first->bytes.end(), resent.begin(), resent.end());
    });
    if (same) ++account.retransmissions_answered;
  }
  account.retransmissions_requested = requested;
  account.volume_db = last_volume(receiver.requests_on(session));
  return account;
}

std::vector<std::int16_t> padded_to_packets(std::span<const std::int16_t> samples) {
  std::vector<std::int16_t> padded(samples.begin(), samples.end());
  const std::size_t partial = padded.size() % kSamplesPerPacket;
  if (partial != 0) padded.resize(padded.size() + kSamplesPerPacket - partial, 0);
  return padded;
}

AudioCheck check_audio(const AudioAccount& account, std::span<const std::int16_t> expected) {
  if (!account.all_packets_kept) return AudioCheck::unchecked;
  return account.samples == padded_to_packets(expected) ? AudioCheck::matches : AudioCheck::differs;
}

std::vector<std::string> describe_audio_account(
    const AudioAccount& account, const std::optional<std::vector<std::int16_t>>& expected) {
  const std::string prefix = "account " + std::to_string(account.session) + " ";
  std::vector<std::string> lines = {
      prefix + "packets_received=" + std::to_string(account.packets_received),
      prefix + "sequence_gaps=" + std::to_string(account.sequence_gaps),
      prefix + "decrypt_failures=" + std::to_string(account.decrypt_failures),
      prefix + "retransmissions_answered=" + std::to_string(account.retransmissions_answered) +
          " of " + std::to_string(account.retransmissions_requested) + " requested",
      prefix + "volume_db=" + account.volume_db.value_or("<never set>"),
  };
  const SoundAnalysis sound = analyse_sound(account.samples);
  lines.push_back(prefix + "sounding_packets=" + std::to_string(sound.sounding_packets));
  constexpr std::array<const char*, 2> kChannels = {"left", "right"};
  for (std::size_t channel = 0; channel < 2; ++channel) {
    const ChannelSound& measured = sound.channels[channel];
    const std::string name = kChannels[channel];
    lines.push_back(prefix + name + "_level_dbfs=" +
                    (measured.level_dbfs ? two_decimals(*measured.level_dbfs) : "<silent>"));
    lines.push_back(prefix + name + "_frequency_hz=" +
                    (measured.frequency_hz ? two_decimals(*measured.frequency_hz) : "<too short>"));
  }
  if (expected) {
    const std::string frames =
        " frames=" + std::to_string(account.samples.size() / 2) +
        " expected_frames=" + std::to_string(padded_to_packets(*expected).size() / 2);
    switch (check_audio(account, *expected)) {
      case AudioCheck::unchecked:
        lines.push_back(prefix + "audio=unchecked (more packets than were kept)" + frames);
        break;
      case AudioCheck::matches:
        lines.push_back(prefix + "audio=matches" + frames);
        break;
      case AudioCheck::differs: {
        const std::vector<std::int16_t> padded = padded_to_packets(*expected);
        const auto differ = std::mismatch(account.samples.begin(), account.samples.end(),
                                          padded.begin(), padded.end());
        lines.push_back(prefix + "audio=differs first_differing_frame=" +
                        std::to_string((differ.first - account.samples.begin()) / 2) + frames);
        break;
      }
    }
  }
  lines.push_back(prefix + "end");
  return lines;
}

}  // namespace kestrune::test_receiver
