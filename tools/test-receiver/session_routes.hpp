#pragma once
// The built-in answers to a session's requests after pairing: SETUP phase 1 (the event and timing
// ports and a Session header), SETUP phase 2 (the data and control ports of one type 96 stream),
// RECORD, SET_PARAMETER, FLUSH, TEARDOWN and POST <session URL>/feedback, each 200 by default.
// The two SETUP phases are told apart by their bodies. What the answers announce comes from
// SessionAnswers and the receiver's SessionEndpoints.

#include <cstdint>
#include <optional>
#include <string>

#include "test-receiver/received_request.hpp"
#include "test-receiver/scripted_reply.hpp"
#include "test-receiver/session_endpoints.hpp"

namespace kestrune::test_receiver {

struct SessionAnswers {
  // The SETUP phase 1 answer's Session header; nothing: the answer has none.
  std::optional<std::string> session_header = "7A1C2E30;timeout=60";
  // The eventPort announced instead of the events listener's (a port where nothing listens, say).
  std::optional<std::uint16_t> event_port;
  // Whether the phase 1 answer carries timingPort (the receiver's timing port).
  bool announce_timing_port = true;
  // The streamID of the phase 2 answer; nothing: the stream has none.
  std::optional<std::uint64_t> stream_id = 1;
};

enum class SetupPhase { one, two, unknown };

// phase 1: a dictionary with timingPort; phase 2: a dictionary with streams.
SetupPhase setup_phase_of(const ReceivedRequest& request);

// The port the sender announced in its SETUP body: timingPort in phase 1, the stream's
// controlPort in phase 2.
std::optional<std::uint16_t> announced_sender_port(const ReceivedRequest& setup);

// The answer to one SETUP (400 for a body of neither phase).
ScriptedReply answer_setup(const ReceivedRequest& request, const SessionAnswers& answers,
                           const SessionEndpoints& endpoints);

// 200 OK with no body, for RECORD, SET_PARAMETER, FLUSH, TEARDOWN and feedback.
ScriptedReply answer_session_ok(const ReceivedRequest& request);

// Whether the built-in session answers handle this request (see the header comment).
bool is_session_request(const ReceivedRequest& request);

}  // namespace kestrune::test_receiver
