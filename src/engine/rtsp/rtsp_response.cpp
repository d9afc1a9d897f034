#include "engine/rtsp/rtsp_response.hpp"

#include <algorithm>
#include <limits>

#include "engine/rtsp/rtsp_text.hpp"
#include "support/utf8.hpp"

namespace kestrune::engine {

namespace {

constexpr std::string_view kTerminator = "\r\n\r\n";

std::string_view as_text(std::span<const std::uint8_t> bytes) {
  return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

// The index of the first "\r\n\r\n" that starts at `from` or later, if any.
std::optional<std::size_t> find_terminator(std::span<const std::uint8_t> buffer,
                                           std::size_t from = 0) {
  const std::size_t at = as_text(buffer).find(kTerminator, from);
  if (at == std::string_view::npos) return std::nullopt;
  return at;
}

// Calls `line_fn` for each line of `head` after the first one.
template <class LineFn>
void for_each_header_line(std::string_view head, LineFn line_fn) {
  std::size_t start = head.find("\r\n");
  while (start != std::string_view::npos) {
    start += 2;
    const std::size_t end = head.find("\r\n", start);
    const std::string_view line =
        head.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start);
    if (!line_fn(line)) return;
    start = end;
  }
}

bool equals_ignoring_ascii_case(std::string_view a, std::string_view b) {
  return a.size() == b.size() && ascii_lower(a) == ascii_lower(b);
}

}  // namespace

support::Result<std::optional<std::uint64_t>> rtsp_message_length(
    std::span<const std::uint8_t> buffer, std::size_t search_from) {
  if (buffer.size() < kTerminator.size()) return std::optional<std::uint64_t>();
  const auto terminator = find_terminator(buffer, search_from);
  if (!terminator) return std::optional<std::uint64_t>();
  const std::size_t head_end = *terminator + kTerminator.size();
  if (!support::is_valid_utf8(as_text(buffer.first(head_end))))
    return support::fail("RTSP header is not UTF-8");

  // The first line whose name is exactly "content-length" in any case decides; a name with
  // white space around it is not that line.
  std::optional<std::string_view> length_text;
  for_each_header_line(as_text(buffer.first(*terminator)), [&](std::string_view line) {
    const std::size_t colon = line.find(':');
    if (colon != std::string_view::npos &&
        equals_ignoring_ascii_case(line.substr(0, colon), "content-length")) {
      length_text = line.substr(colon + 1);
      return false;
    }
    return true;
  });
  std::uint64_t content_length = 0;
  if (length_text) {
    auto parsed = parse_unsigned_decimal(support::trim_unicode_white_space(*length_text),
                                         std::numeric_limits<std::uint64_t>::max());
    if (!parsed)
      return support::fail_with_context(std::move(parsed), "invalid RTSP Content-Length");
    content_length = *parsed;
  }
  const std::uint64_t head_bytes = head_end;
  if (content_length > std::numeric_limits<std::uint64_t>::max() - head_bytes) {
    return std::optional<std::uint64_t>(std::numeric_limits<std::uint64_t>::max());
  }
  return std::optional<std::uint64_t>(head_bytes + content_length);
}

support::Result<std::optional<std::size_t>> rtsp_response_complete(
    std::span<const std::uint8_t> buffer) {
  auto length = rtsp_message_length(buffer);
  if (!length) return support::fail(std::move(length).error());
  if (!*length || **length > buffer.size()) return std::optional<std::size_t>();
  return std::optional<std::size_t>(static_cast<std::size_t>(**length));
}

support::Result<RtspResponse> parse_rtsp_response(std::span<const std::uint8_t> bytes) {
  const auto terminator = find_terminator(bytes);
  if (!terminator) return support::fail("RTSP response has no header terminator");
  if (!support::is_valid_utf8(as_text(bytes.first(*terminator))))
    return support::fail("RTSP header is not UTF-8");
  const std::string_view head = as_text(bytes.first(*terminator));

  RtspResponse response;
  const std::string_view status_line = head.substr(0, head.find("\r\n"));
  const std::size_t first_space = status_line.find(' ');
  if (status_line.substr(0, first_space) != "RTSP/1.0") {
    return support::fail("unsupported RTSP status line: " + std::string(status_line));
  }
  if (first_space == std::string_view::npos) return support::fail("RTSP status missing");
  const std::string_view after_version = status_line.substr(first_space + 1);
  const std::size_t second_space = after_version.find(' ');
  auto status = parse_unsigned_decimal(after_version.substr(0, second_space), 0xFFFF);
  if (!status) return support::fail(std::move(status).error());
  response.status = static_cast<std::uint16_t>(*status);
  if (second_space != std::string_view::npos) {
    response.reason = std::string(after_version.substr(second_space + 1));
  }

  std::optional<support::Error> header_error;
  for_each_header_line(head, [&](std::string_view line) {
    const std::size_t colon = line.find(':');
    if (colon == std::string_view::npos) {
      header_error = support::Error("invalid RTSP header: " + std::string(line));
      return false;
    }
    response.headers.insert_or_assign(
        ascii_lower(support::trim_unicode_white_space(line.substr(0, colon))),
        std::string(support::trim_unicode_white_space(line.substr(colon + 1))));
    return true;
  });
  if (header_error) return support::fail(std::move(*header_error));

  std::uint64_t content_length = 0;
  if (const auto found = response.headers.find("content-length"); found != response.headers.end()) {
    auto parsed = parse_unsigned_decimal(found->second, std::numeric_limits<std::uint64_t>::max());
    if (!parsed) return support::fail(std::move(parsed).error());
    content_length = *parsed;
  }
  const std::size_t body_at = *terminator + kTerminator.size();
  const std::size_t body_bytes = bytes.size() - body_at;
  if (content_length != body_bytes) {
    return support::fail("RTSP body length mismatch: expected " + std::to_string(content_length) +
                         ", got " + std::to_string(body_bytes));
  }
  response.body.assign(bytes.begin() + static_cast<std::ptrdiff_t>(body_at), bytes.end());
  return response;
}

std::optional<std::string> find_header(const RtspResponse& response, std::string_view name) {
  const auto found = response.headers.find(ascii_lower(name));
  if (found == response.headers.end()) return std::nullopt;
  return found->second;
}

support::Status ensure_rtsp_ok(const RtspResponse& response, std::string_view label) {
  if (response.status == 200) return {};
  return support::fail(std::string(label) + " returned RTSP " + std::to_string(response.status) +
                       " " + response.reason);
}

}  // namespace kestrune::engine
