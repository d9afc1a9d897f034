#include "engine/session/setup_bodies.hpp"

namespace kestrune::engine {

namespace {

using support::fail;

constexpr std::uint64_t kAudioStreamType = 96;

std::string ascii_upper(std::string_view text) {
  std::string upper(text);
  for (char& c : upper) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return upper;
}

void set_string(plist_t dictionary, const char* key, std::string_view value) {
  plist_dict_set_item(dictionary, key, plist_new_string(std::string(value).c_str()));
}

void set_integer(plist_t dictionary, const char* key, std::uint64_t value) {
  plist_dict_set_item(dictionary, key, plist_new_uint(value));
}

support::Result<PlistValue> decode_dictionary(std::span<const std::uint8_t> body) {
  auto root = decode_binary_plist(body);
  if (!root) return fail(std::move(root).error());
  if (plist_get_node_type(root->get()) != PLIST_DICT) {
    return fail("plist value is not a dictionary");
  }
  return root;
}

// The first element of `streams` whose type is 96; it lives inside `root`.
support::Result<plist_t> find_audio_stream(plist_t root) {
  const plist_t streams = plist_dict_get_item(root, "streams");
  if (streams == nullptr || plist_get_node_type(streams) != PLIST_ARRAY) {
    return fail("SETUP phase 2 response has no streams array");
  }
  const std::uint32_t count = plist_array_get_size(streams);
  for (std::uint32_t i = 0; i < count; ++i) {
    const plist_t stream = plist_array_get_item(streams, i);
    if (plist_get_node_type(stream) != PLIST_DICT) return fail("plist value is not a dictionary");
    const plist_t type = plist_dict_get_item(stream, "type");
    if (type == nullptr) continue;
    const auto value = plist_integer(type);
    if (!value) return fail("plist field type is not an integer");
    if (value->is_negative()) return fail("plist field type is not a non-negative integer");
    if (value->unsigned_value() == kAudioStreamType) return stream;
  }
  return fail("SETUP phase 2 response contains no type 96 stream");
}

}  // namespace

support::Result<std::vector<std::uint8_t>> build_setup_phase1_body(std::string_view device_id,
                                                                   std::string_view session_uuid,
                                                                   std::uint16_t timing_port) {
  if (timing_port == 0) return fail("SETUP phase 1 timingPort must be bound and non-zero");
  PlistValue body(plist_new_dict());
  set_string(body.get(), "deviceID", device_id);
  set_string(body.get(), "sessionUUID", ascii_upper(session_uuid));
  set_integer(body.get(), "timingPort", timing_port);
  set_string(body.get(), "timingProtocol", "NTP");
  return encode_binary_plist(body.get());
}

support::Result<support::SecretBytes> build_setup_phase2_body(
    std::uint16_t control_port, std::span<const std::uint8_t, kAudioKeySize> audio_key,
    std::uint32_t stream_connection_id) {
  if (control_port == 0) return fail("SETUP phase 2 controlPort must be bound and non-zero");
  plist_t stream = plist_new_dict();
  set_integer(stream, "type", kAudioStreamType);
  set_integer(stream, "audioFormat", 2048);
  set_string(stream, "audioMode", "default");
  set_integer(stream, "sr", 44100);
  set_integer(stream, "ct", 1);
  set_integer(stream, "controlPort", control_port);
  plist_dict_set_item(stream, "isMedia", plist_new_bool(1));
  set_integer(stream, "latencyMin", 11025);
  set_integer(stream, "latencyMax", 88200);
  const plist_t key =
      plist_new_data(reinterpret_cast<const char*>(audio_key.data()), audio_key.size());
  plist_dict_set_item(stream, "shk", key);
  set_integer(stream, "spf", 352);
  plist_dict_set_item(stream, "supportsDynamicStreamID", plist_new_bool(0));
  set_integer(stream, "streamConnectionID", stream_connection_id);
  plist_t streams = plist_new_array();
  plist_array_append_item(streams, stream);
  PlistValue body(plist_new_dict());
  plist_dict_set_item(body.get(), "streams", streams);
  auto encoded = encode_binary_plist(body.get());
  wipe_plist_data(key);  // before the list is freed
  if (!encoded) return fail(std::move(encoded).error());
  return support::SecretBytes(std::move(*encoded));
}

support::Result<Setup1Response> parse_setup1_response(std::span<const std::uint8_t> body) {
  auto root = decode_dictionary(body);
  if (!root) return fail(std::move(root).error());
  Setup1Response response;
  auto event_port = plist_u16_field(root->get(), "eventPort");
  if (!event_port) return fail(std::move(event_port).error());
  if (*event_port == 0) return fail("plist eventPort must be non-zero");
  response.event_port = *event_port;
  if (plist_dict_get_item(root->get(), "timingPort") != nullptr) {
    auto timing_port = plist_u16_field(root->get(), "timingPort");
    if (!timing_port) return fail(std::move(timing_port).error());
    response.remote_timing_port = *timing_port;
  }
  return response;
}

support::Result<Setup2Response> parse_setup2_response(std::span<const std::uint8_t> body) {
  auto root = decode_dictionary(body);
  if (!root) return fail(std::move(root).error());
  auto stream = find_audio_stream(root->get());
  if (!stream) return fail(std::move(stream).error());
  Setup2Response response;
  if (const plist_t stream_id = plist_dict_get_item(*stream, "streamID"); stream_id != nullptr) {
    response.stream_id = plist_integer(stream_id);
    if (!response.stream_id) return fail("streamID is not an integer");
  }
  auto data_port = plist_u16_field(*stream, "dataPort");
  if (!data_port) return fail(std::move(data_port).error());
  if (*data_port == 0) return fail("plist dataPort must be non-zero");
  response.data_port = *data_port;
  auto control_port = plist_u16_field(*stream, "controlPort");
  if (!control_port) return fail(std::move(control_port).error());
  if (*control_port == 0) return fail("plist controlPort must be non-zero");
  response.control_port = *control_port;
  return response;
}

support::Result<std::string> describe_plist_dictionary(std::span<const std::uint8_t> body) {
  auto root = decode_dictionary(body);
  if (!root) return fail(std::move(root).error());
  return plist_dictionary_shape(root->get());
}

support::Result<std::string> describe_setup2_stream_fields(std::span<const std::uint8_t> body) {
  auto root = decode_dictionary(body);
  if (!root) return fail(std::move(root).error());
  auto stream = find_audio_stream(root->get());
  if (!stream) return fail(std::move(stream).error());
  return plist_dictionary_shape(*stream);
}

}  // namespace kestrune::engine
