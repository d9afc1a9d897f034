#include "shell/session_config_from_payload.hpp"

#include <algorithm>
#include <cstddef>

namespace kestrune::shell {
namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Four dotted decimal parts, each 0-255 in 1 to 3 digits without a leading zero.
std::optional<std::array<std::uint8_t, 4>> parse_ipv4(std::string_view text) {
  std::array<std::uint8_t, 4> parts{};
  std::size_t at = 0;
  for (std::size_t part = 0; part < parts.size(); ++part) {
    if (part > 0) {
      if (at >= text.size() || text[at] != '.') return std::nullopt;
      ++at;
    }
    const std::size_t start = at;
    unsigned value = 0;
    while (at < text.size() && is_digit(text[at]) && at - start < 3) {
      value = value * 10 + static_cast<unsigned>(text[at] - '0');
      ++at;
    }
    const std::size_t digits = at - start;
    if (digits == 0 || value > 255 || (digits > 1 && text[start] == '0')) return std::nullopt;
    parts[part] = static_cast<std::uint8_t>(value);
  }
  if (at != text.size()) return std::nullopt;
  return parts;
}

// Colon-separated 16-bit groups; with `allow_ipv4_tail` the last piece may be an IPv4 address
// standing for two groups. Empty text is no group at all.
std::optional<std::vector<std::uint16_t>> parse_ipv6_groups(std::string_view text,
                                                            bool allow_ipv4_tail) {
  std::vector<std::uint16_t> groups;
  if (text.empty()) return groups;
  std::size_t at = 0;
  for (std::size_t piece = 0; piece <= 8; ++piece) {
    const std::size_t end = std::min(text.find(':', at), text.size());
    const std::string_view group = text.substr(at, end - at);
    const bool last = end == text.size();
    if (last && allow_ipv4_tail && group.find('.') != std::string_view::npos) {
      const auto ipv4 = parse_ipv4(group);
      if (!ipv4) return std::nullopt;
      groups.push_back(static_cast<std::uint16_t>((*ipv4)[0] << 8 | (*ipv4)[1]));
      groups.push_back(static_cast<std::uint16_t>((*ipv4)[2] << 8 | (*ipv4)[3]));
    } else {
      if (group.empty() || group.size() > 4) return std::nullopt;
      unsigned value = 0;
      for (const char c : group) {
        const int digit = hex_value(c);
        if (digit < 0) return std::nullopt;
        value = value << 4 | static_cast<unsigned>(digit);
      }
      groups.push_back(static_cast<std::uint16_t>(value));
    }
    if (groups.size() > 8) return std::nullopt;
    if (last) return groups;
    at = end + 1;
  }
  return std::nullopt;  // more pieces than an address can hold
}

std::optional<std::array<std::uint16_t, 8>> parse_ipv6(std::string_view text) {
  std::array<std::uint16_t, 8> address{};
  const std::size_t gap = text.find("::");
  if (gap == std::string_view::npos) {
    const auto groups = parse_ipv6_groups(text, true);
    if (!groups || groups->size() != 8) return std::nullopt;
    std::copy(groups->begin(), groups->end(), address.begin());
    return address;
  }
  const std::string_view tail_text = text.substr(gap + 2);
  if (tail_text.find("::") != std::string_view::npos) return std::nullopt;
  const auto head = parse_ipv6_groups(text.substr(0, gap), false);
  const auto tail = parse_ipv6_groups(tail_text, true);
  // "::" stands for at least one zero group.
  if (!head || !tail || head->size() + tail->size() > 7) return std::nullopt;
  std::copy(head->begin(), head->end(), address.begin());
  std::copy(tail->begin(), tail->end(), address.end() - static_cast<std::ptrdiff_t>(tail->size()));
  return address;
}

}  // namespace

std::optional<platform::IpAddress> parse_address_literal(std::string_view text) {
  if (const auto ipv4 = parse_ipv4(text)) return platform::IpAddress::v4(*ipv4);
  if (const auto ipv6 = parse_ipv6(text)) {
    std::array<std::uint8_t, 16> bytes{};
    for (std::size_t i = 0; i < ipv6->size(); ++i) {
      bytes[2 * i] = static_cast<std::uint8_t>((*ipv6)[i] >> 8);
      bytes[2 * i + 1] = static_cast<std::uint8_t>((*ipv6)[i] & 0xff);
    }
    return platform::IpAddress::v6(bytes);
  }
  return std::nullopt;
}

std::optional<std::vector<platform::IpAddress>> parse_address_list(
    const std::vector<std::string>& texts) {
  std::vector<platform::IpAddress> addresses;
  addresses.reserve(texts.size());
  for (const auto& text : texts) {
    const auto address = parse_address_literal(text);
    if (!address) return std::nullopt;
    addresses.push_back(*address);
  }
  return addresses;
}

std::optional<std::uint64_t> parse_features_hex(std::string_view text) {
  if (text.starts_with("0x") || text.starts_with("0X")) text.remove_prefix(2);
  if (text.starts_with("+")) text.remove_prefix(1);
  if (text.empty()) return std::nullopt;
  std::uint64_t value = 0;
  int significant = 0;
  for (const char c : text) {
    const int digit = hex_value(c);
    if (digit < 0) return std::nullopt;
    if (value == 0 && digit == 0) continue;  // leading zeros do not count
    if (++significant > 16) return std::nullopt;
    value = value << 4 | static_cast<std::uint64_t>(digit);
  }
  return value;
}

engine::BufferProfile buffer_profile_from_payload(
    const std::optional<BufferProfilePayload>& profile) {
  if (!profile) return engine::BufferProfile{};
  return engine::BufferProfile{profile->capacityMs, profile->startFillPercent,
                               profile->refillPercent,
                               engine::saturating_millis(profile->startMaxWaitMs)};
}

std::expected<engine::SessionConfig, ProtocolError> session_config_from_payload(
    StartSessionPayload payload) {
  const auto refuse = std::unexpected(protocol_errors::kInvalidPayload);
  DevicePayload& device = payload.device;
  if (device.addresses.size() > kMaxDeviceAddresses) return refuse;
  auto addresses = parse_address_list(device.addresses);
  if (!addresses) return refuse;
  std::optional<std::uint64_t> feature_bits;
  if (device.featuresHex) {
    feature_bits = parse_features_hex(*device.featuresHex);
    if (!feature_bits) return refuse;
  }
  engine::SessionConfig config;
  config.bufferProfile = buffer_profile_from_payload(payload.bufferProfile);
  if (payload.maxDurationMs) {
    if (*payload.maxDurationMs == 0) return refuse;
    config.maxDuration = engine::saturating_millis(*payload.maxDurationMs);
  }
  config.stableId = std::move(device.stableId);
  config.displayName = std::move(device.displayName);
  config.model = std::move(device.model);
  config.addresses = std::move(*addresses);
  config.port = device.port;
  config.featureBits = feature_bits;
  config.audioSource = payload.audioSource.kind == AudioSourcePayload::Kind::file
                           ? engine::AudioSource::file(std::move(payload.audioSource.path))
                           : engine::AudioSource::default_output();
  config.initialVolume = payload.initialVolume;
  return config;
}

}  // namespace kestrune::shell
