#include "test-receiver/session_routes.hpp"

#include <string_view>

#include "engine/plist/plist_codec.hpp"

namespace kestrune::test_receiver {

namespace {

constexpr std::string_view kFeedbackSuffix = "/feedback";

engine::PlistValue decode_body(const ReceivedRequest& request) {
  auto value = engine::decode_binary_plist(request.body);
  if (!value || plist_get_node_type(value->get()) != PLIST_DICT) return nullptr;
  return std::move(*value);
}

plist_t first_stream(plist_t root) {
  const plist_t streams = plist_dict_get_item(root, "streams");
  if (streams == nullptr || plist_get_node_type(streams) != PLIST_ARRAY ||
      plist_array_get_size(streams) == 0) {
    return nullptr;
  }
  const plist_t stream = plist_array_get_item(streams, 0);
  return plist_get_node_type(stream) == PLIST_DICT ? stream : nullptr;
}

std::optional<std::uint16_t> port_field(plist_t dictionary, const char* key) {
  if (dictionary == nullptr) return std::nullopt;
  auto port = engine::plist_u16_field(dictionary, key);
  if (!port) return std::nullopt;
  return *port;
}

ScriptedReply plist_answer(plist_t value, std::vector<engine::RtspHeader> headers = {}) {
  ScriptedResponse response;
  response.headers = std::move(headers);
  response.headers.push_back({"Content-Type", "application/x-apple-binary-plist"});
  auto body = engine::encode_binary_plist(value);
  if (!body) return ScriptedReply::status(500, "Internal Server Error");
  response.body = std::move(*body);
  return ScriptedReply::with(std::move(response));
}

ScriptedReply answer_phase1(const SessionAnswers& answers, const SessionEndpoints& endpoints) {
  engine::PlistValue root(plist_new_dict());
  plist_dict_set_item(root.get(), "eventPort",
                      plist_new_uint(answers.event_port.value_or(endpoints.event_port())));
  if (answers.announce_timing_port) {
    plist_dict_set_item(root.get(), "timingPort",
                        plist_new_uint(endpoints.port(UdpEndpoint::timing)));
  }
  std::vector<engine::RtspHeader> headers;
  if (answers.session_header) headers.push_back({"Session", *answers.session_header});
  return plist_answer(root.get(), std::move(headers));
}

ScriptedReply answer_phase2(const SessionAnswers& answers, const SessionEndpoints& endpoints) {
  engine::PlistValue root(plist_new_dict());
  plist_t stream = plist_new_dict();
  plist_dict_set_item(stream, "type", plist_new_uint(96));
  plist_dict_set_item(stream, "dataPort", plist_new_uint(endpoints.port(UdpEndpoint::data)));
  plist_dict_set_item(stream, "controlPort", plist_new_uint(endpoints.port(UdpEndpoint::control)));
  if (answers.stream_id)
    plist_dict_set_item(stream, "streamID", plist_new_uint(*answers.stream_id));
  plist_t streams = plist_new_array();
  plist_array_append_item(streams, stream);
  plist_dict_set_item(root.get(), "streams", streams);
  return plist_answer(root.get());
}

}  // namespace

SetupPhase setup_phase_of(const ReceivedRequest& request) {
  if (request.method != "SETUP") return SetupPhase::unknown;
  const engine::PlistValue root = decode_body(request);
  if (!root) return SetupPhase::unknown;
  if (plist_dict_get_item(root.get(), "streams") != nullptr) return SetupPhase::two;
  if (plist_dict_get_item(root.get(), "timingPort") != nullptr) return SetupPhase::one;
  return SetupPhase::unknown;
}

std::optional<std::uint16_t> announced_sender_port(const ReceivedRequest& setup) {
  const engine::PlistValue root = decode_body(setup);
  if (!root) return std::nullopt;
  switch (setup_phase_of(setup)) {
    case SetupPhase::one:
      return port_field(root.get(), "timingPort");
    case SetupPhase::two:
      return port_field(first_stream(root.get()), "controlPort");
    case SetupPhase::unknown:
      break;
  }
  return std::nullopt;
}

ScriptedReply answer_setup(const ReceivedRequest& request, const SessionAnswers& answers,
                           const SessionEndpoints& endpoints) {
  switch (setup_phase_of(request)) {
    case SetupPhase::one:
      return answer_phase1(answers, endpoints);
    case SetupPhase::two:
      return answer_phase2(answers, endpoints);
    case SetupPhase::unknown:
      break;
  }
  return ScriptedReply::status(400, "Bad Request");
}

ScriptedReply answer_session_ok(const ReceivedRequest&) { return ScriptedReply::status(200, "OK"); }

bool is_session_request(const ReceivedRequest& request) {
  const std::string_view method = request.method;
  if (method == "SETUP" || method == "RECORD" || method == "SET_PARAMETER" || method == "FLUSH" ||
      method == "TEARDOWN") {
    return true;
  }
  return method == "POST" && request.uri.ends_with(kFeedbackSuffix);
}

}  // namespace kestrune::test_receiver
