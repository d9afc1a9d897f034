#include "shell/payloads.hpp"

#include <array>
#include <string_view>

#include "shell/payload_fields.hpp"

namespace kestrune::shell {
namespace {

using nlohmann::json;
using payload_fields::decode_float;
using payload_fields::decode_record;
using payload_fields::decode_string;
using payload_fields::decode_string_array;
using payload_fields::decode_unsigned;
using payload_fields::Field;

constexpr std::string_view kKindDefaultOutput = "windowsDefaultOutput";
constexpr std::string_view kKindFile = "file";

template <class Record, std::size_t N>
PayloadResult<Record> decode_with(const json& value, const std::array<Field<Record>, N>& fields) {
  Record record;
  if (!decode_record(value, fields, record)) {
    return std::unexpected(protocol_errors::kInvalidPayload);
  }
  return record;
}

// A nested record decoded into a field of its parent.
template <class Nested>
bool decode_nested(PayloadResult<Nested> (*decoder)(const json&), const json& value, Nested& out) {
  auto decoded = decoder(value);
  if (!decoded) return false;
  out = std::move(*decoded);
  return true;
}

template <class Nested>
bool decode_nested(PayloadResult<Nested> (*decoder)(const json&), const json& value,
                   std::optional<Nested>& out) {
  return decode_nested(decoder, value, out.emplace());
}

bool decode_kind(const json& value, AudioSourcePayload::Kind& kind) {
  if (!value.is_string()) return false;
  const auto& text = value.get_ref<const json::string_t&>();
  if (text == kKindDefaultOutput) {
    kind = AudioSourcePayload::Kind::windowsDefaultOutput;
  } else if (text == kKindFile) {
    kind = AudioSourcePayload::Kind::file;
  } else {
    return false;
  }
  return true;
}

constexpr std::array<Field<ScanPayload>, 1> kScanFields{{
    {"timeoutMs", true,
     [](const json& v, ScanPayload& p) { return decode_unsigned(v, p.timeoutMs.emplace()); }},
}};

constexpr std::array<Field<SetVolumePayload>, 1> kSetVolumeFields{{
    {"volume", false, [](const json& v, SetVolumePayload& p) { return decode_float(v, p.volume); }},
}};

constexpr std::array<Field<DevicePayload>, 6> kDeviceFields{{
    {"stableId", false,
     [](const json& v, DevicePayload& p) { return decode_string(v, p.stableId); }},
    {"displayName", false,
     [](const json& v, DevicePayload& p) { return decode_string(v, p.displayName); }},
    {"model", true,
     [](const json& v, DevicePayload& p) { return decode_string(v, p.model.emplace()); }},
    {"addresses", false,
     [](const json& v, DevicePayload& p) { return decode_string_array(v, p.addresses); }},
    {"port", false, [](const json& v, DevicePayload& p) { return decode_unsigned(v, p.port); }},
    {"featuresHex", true,
     [](const json& v, DevicePayload& p) { return decode_string(v, p.featuresHex.emplace()); }},
}};

constexpr std::array<Field<BufferProfilePayload>, 4> kBufferProfileFields{{
    {"capacityMs", false,
     [](const json& v, BufferProfilePayload& p) { return decode_unsigned(v, p.capacityMs); }},
    {"startFillPercent", false,
     [](const json& v, BufferProfilePayload& p) { return decode_unsigned(v, p.startFillPercent); }},
    {"refillPercent", false,
     [](const json& v, BufferProfilePayload& p) { return decode_unsigned(v, p.refillPercent); }},
    {"startMaxWaitMs", false,
     [](const json& v, BufferProfilePayload& p) { return decode_unsigned(v, p.startMaxWaitMs); }},
}};

constexpr std::array<Field<StartSessionPayload>, 5> kStartSessionFields{{
    {"device", false,
     [](const json& v, StartSessionPayload& p) {
       return decode_nested(&decode_device_payload, v, p.device);
     }},
    {"audioSource", false,
     [](const json& v, StartSessionPayload& p) {
       return decode_nested(&decode_audio_source_payload, v, p.audioSource);
     }},
    {"bufferProfile", true,
     [](const json& v, StartSessionPayload& p) {
       return decode_nested(&decode_buffer_profile_payload, v, p.bufferProfile);
     }},
    {"initialVolume", false,
     [](const json& v, StartSessionPayload& p) { return decode_float(v, p.initialVolume); }},
    {"maxDurationMs", true,
     [](const json& v, StartSessionPayload& p) {
       return decode_unsigned(v, p.maxDurationMs.emplace());
     }},
}};

constexpr std::array<Field<DiagnosePayload>, 2> kDiagnoseFields{{
    {"device", false,
     [](const json& v, DiagnosePayload& p) {
       return decode_nested(&decode_device_payload, v, p.device);
     }},
    {"timeoutMs", true,
     [](const json& v, DiagnosePayload& p) { return decode_unsigned(v, p.timeoutMs.emplace()); }},
}};

constexpr std::array<Field<ExportDiagnosticsPayload>, 2> kExportDiagnosticsFields{{
    {"destination", false,
     [](const json& v, ExportDiagnosticsPayload& p) { return decode_string(v, p.destination); }},
    {"sessionId", true,
     [](const json& v, ExportDiagnosticsPayload& p) {
       return decode_string(v, p.sessionId.emplace());
     }},
}};

}  // namespace

PayloadResult<EmptyPayload> decode_empty_payload(const json& value) {
  return decode_with(value, std::array<Field<EmptyPayload>, 0>{});
}

PayloadResult<ScanPayload> decode_scan_payload(const json& value) {
  return decode_with(value, kScanFields);
}

PayloadResult<SetVolumePayload> decode_set_volume_payload(const json& value) {
  return decode_with(value, kSetVolumeFields);
}

PayloadResult<DevicePayload> decode_device_payload(const json& value) {
  return decode_with(value, kDeviceFields);
}

PayloadResult<BufferProfilePayload> decode_buffer_profile_payload(const json& value) {
  return decode_with(value, kBufferProfileFields);
}

PayloadResult<StartSessionPayload> decode_start_session_payload(const json& value) {
  return decode_with(value, kStartSessionFields);
}

PayloadResult<DiagnosePayload> decode_diagnose_payload(const json& value) {
  return decode_with(value, kDiagnoseFields);
}

PayloadResult<ExportDiagnosticsPayload> decode_export_diagnostics_payload(const json& value) {
  return decode_with(value, kExportDiagnosticsFields);
}

PayloadResult<AudioSourcePayload> decode_audio_source_payload(const json& value) {
  AudioSourcePayload source;
  const auto refuse = std::unexpected(protocol_errors::kInvalidPayload);
  if (value.is_object()) {
    const auto kind = value.find("kind");
    if (kind == value.end() || !decode_kind(*kind, source.kind)) return refuse;
    if (source.kind == AudioSourcePayload::Kind::windowsDefaultOutput) return source;
    for (const auto& [key, member] : value.get_ref<const json::object_t&>()) {
      if (key == "kind") continue;
      if (key != "path" || !decode_string(member, source.path)) return refuse;
    }
    if (!value.contains("path")) return refuse;
    return source;
  }
  if (value.is_array()) {
    if (value.empty() || !decode_kind(value[0], source.kind)) return refuse;
    if (source.kind == AudioSourcePayload::Kind::windowsDefaultOutput) {
      if (value.size() != 1) return refuse;
      return source;
    }
    if (value.size() != 2 || !decode_string(value[1], source.path)) return refuse;
    return source;
  }
  return refuse;
}

}  // namespace kestrune::shell
