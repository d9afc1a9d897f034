#pragma once
// The property-list bodies of the two SETUP requests and the readers of their answers. Bodies are
// written as binary property lists; answers are read in the binary or the XML form alike.

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "engine/plist/plist_codec.hpp"
#include "support/error.hpp"
#include "support/wipe.hpp"

namespace kestrune::engine {

inline constexpr std::size_t kAudioKeySize = 32;

struct Setup1Response {
  std::uint16_t event_port = 0;                     // never 0
  std::optional<std::uint16_t> remote_timing_port;  // 0 allowed
};

struct Setup2Response {
  // As given. Only 64-bit integers can be read: one beyond is clamped to INT64_MIN or UINT64_MAX
  // while it is decoded, so every stream id read fits.
  std::optional<PlistInteger> stream_id;
  std::uint16_t data_port = 0;     // RTP audio goes here; never 0
  std::uint16_t control_port = 0;  // sync packets and retransmissions go here; never 0
};

// {deviceID, sessionUUID (upper-cased), timingPort, timingProtocol "NTP"}; a timing port of 0
// fails before anything is encoded.
support::Result<std::vector<std::uint8_t>> build_setup_phase1_body(std::string_view device_id,
                                                                   std::string_view session_uuid,
                                                                   std::uint16_t timing_port);

// {streams: [the one audio stream of type 96 with the control port, the audio key as "shk" and the
// stream connection id]}; a control port of 0 fails before anything is encoded. The body is the
// only copy of the key that the call leaves: the property list it was built from and the library's
// encoding buffer are wiped before they are freed, and the body wipes itself.
support::Result<support::SecretBytes> build_setup_phase2_body(
    std::uint16_t control_port, std::span<const std::uint8_t, kAudioKeySize> audio_key,
    std::uint32_t stream_connection_id);

// eventPort (non-zero) and the optional timingPort of the phase 1 answer; other keys are ignored.
support::Result<Setup1Response> parse_setup1_response(std::span<const std::uint8_t> body);

// streamID, dataPort and controlPort of the first stream of type 96 in the phase 2 answer.
support::Result<Setup2Response> parse_setup2_response(std::span<const std::uint8_t> body);

// "eventPort:integer,timingPort:integer": the keys and value types of the answer's dictionary.
support::Result<std::string> describe_plist_dictionary(std::span<const std::uint8_t> body);

// The same for the chosen stream of the phase 2 answer.
support::Result<std::string> describe_setup2_stream_fields(std::span<const std::uint8_t> body);

}  // namespace kestrune::engine
