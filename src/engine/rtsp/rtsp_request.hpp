#pragma once
// The bytes of one RTSP/1.0 request.

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace kestrune::engine {

struct RtspHeader {
  std::string name;
  std::string value;
};

// "<method> <uri> RTSP/1.0", "CSeq: <cseq>", "Content-Length: <n>" when the body is not empty, the
// headers in order as given (not checked), an empty line, then the body.
std::vector<std::uint8_t> serialize_rtsp_request(std::string_view method, std::string_view uri,
                                                 std::uint32_t cseq,
                                                 std::span<const RtspHeader> headers,
                                                 std::span<const std::uint8_t> body);

}  // namespace kestrune::engine
