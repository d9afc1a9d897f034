#pragma once
// What the receiver sends back for one request, and how: the responses (usually one; a stale one
// may go first), a delay, how the bytes are cut into frames and writes, deliberate faults, and
// what happens to the connection afterwards.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "engine/rtsp/rtsp_request.hpp"
#include "engine/rtsp/session_keys.hpp"

namespace kestrune::test_receiver {

// The CSeq line of a response: the request's own, shifted by an offset (a stale or future one),
// a given text, or none at all.
struct CSeqLine {
  enum class Mode { echo, offset, text, omit };
  Mode mode = Mode::echo;
  std::int64_t offset = 0;
  std::string text;

  static CSeqLine echo() { return {}; }
  static CSeqLine shifted(std::int64_t by) { return {Mode::offset, by, {}}; }
  static CSeqLine literal(std::string value) { return {Mode::text, 0, std::move(value)}; }
  static CSeqLine omitted() { return {Mode::omit, 0, {}}; }
};

struct ScriptedResponse {
  std::uint16_t status = 200;
  std::string reason = "OK";  // empty: the status line ends after the code
  CSeqLine cseq;
  std::vector<engine::RtspHeader> headers;  // after CSeq, before Content-Length
  std::vector<std::uint8_t> body;           // Content-Length is added when it is not empty
  std::optional<std::string> raw;           // sent exactly as it stands instead of all the above
};

struct ScriptedReply {
  enum class Ending {
    keep_open,  // go on serving the connection
    silence,    // read every later request and never answer again
    close,      // close the connection after sending
  };

  std::vector<ScriptedResponse> responses;  // sent back to back; may be empty
  std::chrono::milliseconds delay{0};       // before anything is sent
  Ending ending = Ending::keep_open;

  // Encrypted connections: the plaintext bytes of the first frames in order (0 makes an empty
  // frame), then frames of `frame_block` bytes (1 to 1024) for the rest.
  std::vector<std::size_t> frame_sizes;
  std::size_t frame_block = 1024;
  // Encrypted connections: a single frame header announcing this length instead of the frames.
  std::optional<std::uint16_t> frame_length_override;
  // Encrypted connections: one bit of the first frame's tag flipped.
  bool tamper = false;

  // The bytes are written in pieces of these sizes (the rest in one), with a pause between.
  std::vector<std::size_t> write_pieces;
  std::chrono::milliseconds piece_pause{20};

  // Set by the pair-setup handler: the connection is encrypted from the next request on, with
  // these keys seen from the receiver's side.
  std::optional<engine::SessionKeys> encrypt_after;

  static ScriptedReply with(ScriptedResponse response) {
    ScriptedReply reply;
    reply.responses.push_back(std::move(response));
    return reply;
  }
  static ScriptedReply status(std::uint16_t code, std::string reason) {
    ScriptedResponse response;
    response.status = code;
    response.reason = std::move(reason);
    return with(std::move(response));
  }
  static ScriptedReply silence() {
    ScriptedReply reply;
    reply.ending = Ending::silence;
    return reply;
  }
  static ScriptedReply close_connection() {
    ScriptedReply reply;
    reply.ending = Ending::close;
    return reply;
  }
};

}  // namespace kestrune::test_receiver
