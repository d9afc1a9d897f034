#include "engine/rtsp/rtsp_request.hpp"

namespace kestrune::engine {

std::vector<std::uint8_t> serialize_rtsp_request(std::string_view method, std::string_view uri,
                                                 std::uint32_t cseq,
                                                 std::span<const RtspHeader> headers,
                                                 std::span<const std::uint8_t> body) {
  std::string head;
  head.reserve(256);
  head.append(method).append(" ").append(uri).append(" RTSP/1.0\r\n");
  head.append("CSeq: ").append(std::to_string(cseq)).append("\r\n");
  if (!body.empty())
    head.append("Content-Length: ").append(std::to_string(body.size())).append("\r\n");
  for (const RtspHeader& header : headers) {
    head.append(header.name).append(": ").append(header.value).append("\r\n");
  }
  head.append("\r\n");
  std::vector<std::uint8_t> bytes(head.begin(), head.end());
  bytes.insert(bytes.end(), body.begin(), body.end());
  return bytes;
}

}  // namespace kestrune::engine
