#include "engine/core/session_config.hpp"

#include <cmath>
#include <limits>

namespace kestrune::engine {

namespace {

// The code points with the Unicode White_Space property.
bool is_white_space(char32_t c) {
  return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
         (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F ||
         c == 0x3000;
}

// Decodes one UTF-8 sequence at `i`; nothing for a malformed one (which is then not white space).
std::optional<char32_t> decode_utf8(const std::string& text, std::size_t& i) {
  const auto lead = static_cast<unsigned char>(text[i]);
  std::size_t length = 0;
  char32_t value = 0;
  if (lead < 0x80) {
    ++i;
    return lead;
  } else if ((lead & 0xE0) == 0xC0) {
    length = 2;
    value = lead & 0x1F;
  } else if ((lead & 0xF0) == 0xE0) {
    length = 3;
    value = lead & 0x0F;
  } else if ((lead & 0xF8) == 0xF0) {
    length = 4;
    value = lead & 0x07;
  } else {
    return std::nullopt;
  }
  if (text.size() - i < length) return std::nullopt;
  for (std::size_t k = 1; k < length; ++k) {
    const auto next = static_cast<unsigned char>(text[i + k]);
    if ((next & 0xC0) != 0x80) return std::nullopt;
    value = (value << 6) | (next & 0x3F);
  }
  i += length;
  return value;
}

SessionError config_error() {
  return SessionError::of(SessionErrorKind::config_error, SessionStage::validate_config);
}

}  // namespace

std::chrono::nanoseconds saturating_millis(std::uint64_t milliseconds) {
  constexpr auto kMaxMillis = static_cast<std::uint64_t>(
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::nanoseconds::max())
          .count());
  if (milliseconds >= kMaxMillis) return std::chrono::nanoseconds::max();
  return std::chrono::milliseconds(static_cast<std::int64_t>(milliseconds));
}

std::optional<platform::IpAddress> choose_session_address(
    const std::vector<platform::IpAddress>& addresses) {
  for (const platform::IpAddress& address : addresses) {
    if (address.is_v4()) return address;
  }
  for (const platform::IpAddress& address : addresses) {
    if (!address.is_v6_loopback() && !address.is_v6_link_local()) return address;
  }
  if (addresses.empty()) return std::nullopt;
  return addresses.front();
}

bool is_blank_text(const std::string& text) {
  std::size_t i = 0;
  while (i < text.size()) {
    const auto c = decode_utf8(text, i);
    if (!c || !is_white_space(*c)) return false;
  }
  return true;
}

SessionError validate_session_config(const SessionConfig& config) {
  using namespace std::chrono_literals;
  if (is_blank_text(config.stableId)) return config_error();
  if (is_blank_text(config.displayName)) return config_error();
  if (config.port == 0) return config_error();
  if (!choose_session_address(config.addresses)) return config_error();
  const float volume = config.initialVolume;
  if (!std::isfinite(volume) || volume < 0.0f || volume > 1.0f) return config_error();
  const BufferProfile& profile = config.bufferProfile;
  if (profile.capacityMs < 100 || profile.capacityMs > 5000) return config_error();
  if (profile.startFillPercent < 1 || profile.startFillPercent > 90) return config_error();
  if (profile.refillPercent < 1 || profile.refillPercent > 95) return config_error();
  if (profile.startMaxWait < 100ms || profile.startMaxWait > 10s) return config_error();
  return SessionError::success();
}

}  // namespace kestrune::engine
