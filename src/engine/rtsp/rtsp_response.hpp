#pragma once
// An RTSP/1.0 response as the receiver sends it: recognising where one ends in a receive buffer,
// parsing it, and the two lookups callers make on it.

#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "support/error.hpp"

namespace kestrune::engine {

struct RtspResponse {
  std::string reason;  // the rest of the status line after the code; may be empty
  std::vector<std::uint8_t> body;
  std::map<std::string, std::string> headers;  // lower-cased name -> trimmed value; last one wins
  std::uint16_t status = 0;
};

// The byte length of the message at the front of `buffer` (head, "\r\n\r\n" and the body its
// first Content-Length line announces; a response and a request alike), or nothing while the head
// is not all there. Fails when the head is not UTF-8 or its Content-Length does not parse. The
// length saturates at UINT64_MAX. `search_from` is where the search for the head's end begins:
// a caller that searched the buffer before may skip what it knows holds no "\r\n\r\n".
support::Result<std::optional<std::uint64_t>> rtsp_message_length(
    std::span<const std::uint8_t> buffer, std::size_t search_from = 0);

// The byte length of the complete response at the front of `buffer`, or nothing while more bytes
// are needed.
support::Result<std::optional<std::size_t>> rtsp_response_complete(
    std::span<const std::uint8_t> buffer);

// Parses exactly the bytes of one response as delimited by rtsp_response_complete.
support::Result<RtspResponse> parse_rtsp_response(std::span<const std::uint8_t> bytes);

// The value of a header; `name` is matched after ASCII lower-casing.
std::optional<std::string> find_header(const RtspResponse& response, std::string_view name);

// Fails with "<label> returned RTSP <status> <reason>" unless the status is exactly 200.
support::Status ensure_rtsp_ok(const RtspResponse& response, std::string_view label);

}  // namespace kestrune::engine
