#include "engine/core/session_config.hpp"

#include <cmath>
#include <limits>

#include "support/utf8.hpp"

namespace kestrune::engine {

namespace {

std::unexpected<SessionError> config_error() {
  return std::unexpected(
      SessionError::of(SessionErrorKind::config_error, SessionStage::validate_config));
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
  return support::is_valid_utf8(text) && support::trim_unicode_white_space(text).empty();
}

SessionStatus validate_session_config(const SessionConfig& config) {
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
  return {};
}

}  // namespace kestrune::engine
