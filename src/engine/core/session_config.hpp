#pragma once
// What a session is started with. The shell builds it from the start payload (parsing addresses
// and feature bits, filling the default buffer profile); the session core range-checks it at start
// with validate_session_config, and the coordinator keeps its own copy for the runner.

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "engine/core/session_error.hpp"
#include "platform/ip_address.hpp"

namespace kestrune::engine {

// Loopback capture of the default output device ("windowsDefaultOutput" on the wire), or a WAV
// file. Kept as an optional path: absent means the default output device.
struct AudioSource {
  std::optional<std::string> file_path;

  static AudioSource default_output() { return {}; }
  static AudioSource file(std::string path) { return {std::move(path)}; }
  bool is_default_output() const { return !file_path.has_value(); }

  friend bool operator==(const AudioSource&, const AudioSource&) = default;
};

// The jitter buffer settings of the live source. The member defaults are the ones the shell uses
// when the host gives no profile.
struct BufferProfile {
  std::uint32_t capacityMs = 150;                                          // 100 to 5000
  std::uint8_t startFillPercent = 90;                                      // 1 to 90
  std::uint8_t refillPercent = 50;                                         // 1 to 95
  std::chrono::nanoseconds startMaxWait = std::chrono::milliseconds(250);  // 100 ms to 10 s

  friend bool operator==(const BufferProfile&, const BufferProfile&) = default;
};

struct SessionConfig {
  std::string stableId;
  std::string displayName;
  std::optional<std::string> model;  // carried, not used by the engine
  // In the host's order, at most 16 (the shell's limit).
  std::vector<platform::IpAddress> addresses;
  std::uint16_t port = 0;
  std::optional<std::uint64_t> featureBits;  // carried, not used by the engine
  AudioSource audioSource;
  BufferProfile bufferProfile;
  float initialVolume = 1.0f;
  std::optional<std::chrono::nanoseconds> maxDuration;  // the shell refuses 0
};

// A host's millisecond count as a duration, staying at the largest one instead of overflowing.
std::chrono::nanoseconds saturating_millis(std::uint64_t milliseconds);

// The receiver address a session talks to: the first IPv4 address; else the first IPv6 address
// that is neither ::1 nor link-local (fe80::/10); else the first entry. Nothing for an empty list.
std::optional<platform::IpAddress> choose_session_address(
    const std::vector<platform::IpAddress>& addresses);

// True when the text is empty or holds only Unicode white space (UTF-8).
bool is_blank_text(const std::string& text);

// Success, or config_error at validate_config (not retryable) for the first check that fails:
// stableId and displayName not blank, port not 0, an address to choose, initialVolume finite in
// 0.0 to 1.0, then the buffer profile ranges.
[[nodiscard]] SessionStatus validate_session_config(const SessionConfig& config);

}  // namespace kestrune::engine
