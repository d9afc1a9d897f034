#pragma once
// The command payload types and their decoders. Decoding checks JSON types, presence and numeric
// width only (the ranges that give the values meaning are checked by the commands); every failure
// is the same ProtocolError, "The command payload is invalid.", with no detail kept. Decoding is
// pure: it reads only its argument.

#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "shell/protocol_error.hpp"

namespace kestrune::shell {

template <class T>
using PayloadResult = std::expected<T, ProtocolError>;

// Only {} decodes.
struct EmptyPayload {};

struct ScanPayload {
  std::optional<std::uint32_t> timeoutMs;
};

struct SetVolumePayload {
  float volume = 0.0F;
};

// The receiver as the host last saw it from discovery.
struct DevicePayload {
  std::string stableId;
  std::string displayName;
  std::optional<std::string> model;
  std::vector<std::string> addresses;
  std::uint16_t port = 0;
  std::optional<std::string> featuresHex;
};

// Tagged by `kind`: "windowsDefaultOutput" (the default output device; other members ignored) or
// "file" (with `path` and nothing else).
struct AudioSourcePayload {
  enum class Kind { windowsDefaultOutput, file };
  Kind kind = Kind::windowsDefaultOutput;
  std::string path;  // empty unless kind is file
};

// Given whole or not at all.
struct BufferProfilePayload {
  std::uint32_t capacityMs = 0;
  std::uint8_t startFillPercent = 0;
  std::uint8_t refillPercent = 0;
  std::uint64_t startMaxWaitMs = 0;
};

struct StartSessionPayload {
  DevicePayload device;
  AudioSourcePayload audioSource;
  std::optional<BufferProfilePayload> bufferProfile;
  float initialVolume = 0.0F;
  std::optional<std::uint64_t> maxDurationMs;
};

struct DiagnosePayload {
  DevicePayload device;
  std::optional<std::uint32_t> timeoutMs;
};

struct ExportDiagnosticsPayload {
  std::string destination;
  std::optional<std::string> sessionId;
};

PayloadResult<EmptyPayload> decode_empty_payload(const nlohmann::json& value);
PayloadResult<ScanPayload> decode_scan_payload(const nlohmann::json& value);
PayloadResult<SetVolumePayload> decode_set_volume_payload(const nlohmann::json& value);
PayloadResult<DevicePayload> decode_device_payload(const nlohmann::json& value);
PayloadResult<AudioSourcePayload> decode_audio_source_payload(const nlohmann::json& value);
PayloadResult<BufferProfilePayload> decode_buffer_profile_payload(const nlohmann::json& value);
PayloadResult<StartSessionPayload> decode_start_session_payload(const nlohmann::json& value);
PayloadResult<DiagnosePayload> decode_diagnose_payload(const nlohmann::json& value);
PayloadResult<ExportDiagnosticsPayload> decode_export_diagnostics_payload(
    const nlohmann::json& value);

}  // namespace kestrune::shell
