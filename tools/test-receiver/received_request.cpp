#include "test-receiver/received_request.hpp"

#include <limits>

#include "engine/rtsp/rtsp_text.hpp"
#include "support/utf8.hpp"

namespace kestrune::test_receiver {

std::optional<std::string> ReceivedRequest::header(std::string_view name) const {
  const std::string wanted = engine::ascii_lower(name);
  for (const auto& entry : headers) {
    if (engine::ascii_lower(entry.name) == wanted) return entry.value;
  }
  return std::nullopt;
}

std::optional<std::uint32_t> ReceivedRequest::cseq() const {
  const auto value = header("CSeq");
  if (!value) return std::nullopt;
  auto number = engine::parse_unsigned_decimal(*value, std::numeric_limits<std::uint32_t>::max());
  if (!number) return std::nullopt;
  return static_cast<std::uint32_t>(*number);
}

support::Result<ReceivedRequest> parse_rtsp_request(std::span<const std::uint8_t> bytes) {
  const std::string_view text(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  const std::size_t head_end = text.find("\r\n\r\n");
  if (head_end == std::string_view::npos) return support::fail("request has no header end");
  const std::string_view head = text.substr(0, head_end);
  ReceivedRequest request;
  std::size_t line_end = head.find("\r\n");
  const std::string_view request_line = head.substr(0, line_end);
  const std::size_t first = request_line.find(' ');
  const std::size_t second =
      first == std::string_view::npos ? first : request_line.find(' ', first + 1);
  if (second == std::string_view::npos || request_line.substr(second + 1) != "RTSP/1.0") {
    return support::fail("bad request line: " + std::string(request_line));
  }
  request.method = std::string(request_line.substr(0, first));
  request.uri = std::string(request_line.substr(first + 1, second - first - 1));
  while (line_end != std::string_view::npos) {
    const std::size_t start = line_end + 2;
    line_end = head.find("\r\n", start);
    const std::string_view line = head.substr(start, line_end - start);
    const std::size_t colon = line.find(':');
    if (colon == std::string_view::npos) {
      return support::fail("bad header line: " + std::string(line));
    }
    request.headers.push_back(
        {std::string(support::trim_unicode_white_space(line.substr(0, colon))),
         std::string(support::trim_unicode_white_space(line.substr(colon + 1)))});
  }
  request.body.assign(bytes.begin() + static_cast<std::ptrdiff_t>(head_end + 4), bytes.end());
  return request;
}

}  // namespace kestrune::test_receiver
