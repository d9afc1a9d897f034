#pragma once
// A request as the receiver got it off the wire.

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "engine/rtsp/rtsp_request.hpp"
#include "support/error.hpp"

namespace kestrune::test_receiver {

struct ReceivedRequest {
  std::string method;
  std::string uri;
  std::vector<engine::RtspHeader> headers;  // in the order sent
  std::vector<std::uint8_t> body;
  bool encrypted = false;  // arrived in control frames

  // The first header of that name, matched without regard to ASCII case.
  std::optional<std::string> header(std::string_view name) const;
  // The CSeq header as a number, when it is one.
  std::optional<std::uint32_t> cseq() const;
};

// Parses one whole request: "<method> <uri> RTSP/1.0", header lines, an empty line, the body that
// Content-Length announces.
support::Result<ReceivedRequest> parse_rtsp_request(std::span<const std::uint8_t> bytes);

}  // namespace kestrune::test_receiver
