#include "engine/rtsp/rtsp_connection.hpp"

#include <algorithm>
#include <array>
#include <limits>

#include "engine/rtsp/rtsp_text.hpp"
#include "platform/stderr_log.hpp"
#include "support/wipe.hpp"

namespace kestrune::engine {

namespace {

using Clock = std::chrono::steady_clock;
using support::Error;
using support::ErrorKind;
using support::fail;

enum class Direction { read, write };

struct WaitMessages {
  const char* cancelled;
  const char* deadline_expired;
};

constexpr WaitMessages kConnectMessages{"RTSP TCP connect cancelled",
                                        "RTSP TCP connect deadline expired"};
constexpr WaitMessages kWriteMessages{"RTSP request cancelled", "RTSP request deadline expired"};
constexpr WaitMessages kReadMessages{"RTSP response cancelled", "RTSP response deadline expired"};

// The time left to `deadline`, or an error when the cancel source is set or nothing is left.
support::Result<std::chrono::nanoseconds> time_left(Clock::time_point deadline, CancelSource cancel,
                                                    WaitMessages messages) {
  if (cancel.is_cancelled()) return fail(messages.cancelled, ErrorKind::interrupted);
  const auto left = deadline - Clock::now();
  if (left <= Clock::duration::zero()) return fail(messages.deadline_expired, ErrorKind::timed_out);
  return std::chrono::duration_cast<std::chrono::nanoseconds>(left);
}

// The waiting rule: before every socket operation look at the cancel source and the deadline,
// bound the operation by min(time left, 100 ms), and retry a time-out while the deadline is still
// ahead. The loop ends by the deadline: each turn blocks at most one slice or returns.
template <class Operation>
support::Result<std::size_t> wait_bounded(platform::TcpStream& stream, Direction direction,
                                          Clock::time_point deadline, CancelSource cancel,
                                          WaitMessages messages, Operation operation) {
  for (;;) {
    auto left = time_left(deadline, cancel, messages);
    if (!left) return fail(std::move(left).error());
    const auto slice = std::min(*left, kRtspWaitSlice);
    auto timeout_set = direction == Direction::read ? stream.set_read_timeout(slice)
                                                    : stream.set_write_timeout(slice);
    if (!timeout_set) return fail(std::move(timeout_set).error());
    auto done = operation();
    if (done || !support::is_timeout_error(done.error()) || Clock::now() >= deadline) return done;
  }
}

std::string exceeds_cap_message() {
  return "RTSP response exceeds " + std::to_string(kRtspMaxResponseBytes) + " bytes";
}

// Where the response at the front of a receive buffer ends, worked out once per response: the
// search for the head's end resumes where the last one stopped and the length is kept once the
// head is there, so a response that arrives in many small frames costs time linear in its size.
class FrontResponse {
 public:
  // Takes the complete response at the front of `buffer`, if there is one. Fails when it cannot
  // fit under the cap: its head and body come to more, or no head ends within it. The cap is
  // looked at first, since the last read may have brought the rest of an oversized response in
  // along with its head's end.
  support::Result<std::optional<std::vector<std::uint8_t>>> take(
      std::vector<std::uint8_t>& buffer) {
    if (length_ == 0) {
      auto length = rtsp_message_length(buffer, searched_);
      if (!length) return fail(std::move(length).error());
      // A terminator not found may still begin in the last three bytes.
      if (!*length) searched_ = buffer.size() >= 3 ? buffer.size() - 3 : 0;
      length_ = length->value_or(0);
    }
    if (length_ == 0) {
      if (buffer.size() >= kRtspMaxResponseBytes) return fail(exceeds_cap_message());
      return std::optional<std::vector<std::uint8_t>>();
    }
    if (length_ > kRtspMaxResponseBytes) return fail(exceeds_cap_message());
    if (length_ > buffer.size()) return std::optional<std::vector<std::uint8_t>>();
    const auto end = buffer.begin() + static_cast<std::ptrdiff_t>(length_);
    std::vector<std::uint8_t> response(buffer.begin(), end);
    buffer.erase(buffer.begin(), end);
    searched_ = 0;
    length_ = 0;
    return std::optional(std::move(response));
  }

 private:
  std::size_t searched_ = 0;  // no head ends before this index of the buffer
  // The whole response's length once its head is complete, else 0 (a response is never empty).
  // A plain integer rather than an optional: GCC 12 at -Os cannot see that an engaged optional
  // is initialised here and fails the build with -Wmaybe-uninitialized.
  std::uint64_t length_ = 0;
};

// One read of at most 4096 bytes appended to the plaintext buffer.
support::Status read_plaintext_chunk(platform::TcpStream& stream, std::vector<std::uint8_t>& buffer,
                                     Clock::time_point deadline, CancelSource cancel) {
  std::array<std::uint8_t, 4096> chunk{};
  auto count =
      wait_bounded(stream, Direction::read, deadline, cancel, kReadMessages,
                   [&]() -> support::Result<std::size_t> {
                     auto read = stream.read_some(chunk);
                     if (!read) {
                       return fail(std::move(read).error().context("read plaintext RTSP response"));
                     }
                     return read;
                   });
  if (!count) return fail(std::move(count).error());
  if (*count == 0) {
    return fail("RTSP TCP connection closed mid-response", ErrorKind::connection_closed);
  }
  buffer.insert(buffer.end(), chunk.begin(), chunk.begin() + static_cast<std::ptrdiff_t>(*count));
  return {};
}

}  // namespace

RtspConnection::RtspConnection(platform::TcpStream stream, std::vector<RtspHeader> default_headers)
    : stream_(std::move(stream)), default_headers_(std::move(default_headers)) {}

support::Result<RtspConnection> RtspConnection::from_stream(platform::TcpStream stream,
                                                            std::string_view device_id) {
  if (auto set = stream.set_read_timeout(kRtspRequestTimeout); !set) return fail(set.error());
  if (auto set = stream.set_write_timeout(kRtspRequestTimeout); !set) return fail(set.error());
  std::string compact(device_id);
  std::erase(compact, ':');
  // A fixed token, the same for every connection, put together here rather than kept whole.
  const std::string active_remote = std::to_string(4137) + std::to_string(902568);
  std::vector<RtspHeader> headers{
      {"User-Agent", "AirPlay/745.83"},
      {"X-Apple-Client-Name", "Kestrune Sender"},
      {"X-Apple-Device-ID", std::string(device_id)},
      {"DACP-ID", compact},
      {"Client-Instance", compact},
      {"Active-Remote", active_remote},
  };
  return RtspConnection(std::move(stream), std::move(headers));
}

support::Result<RtspConnection> rtsp_connect_with_deadline(const platform::SocketAddress& address,
                                                           std::string_view device_id,
                                                           CancelSource cancel) {
  const auto deadline = Clock::now() + kRtspConnectTimeout;
  std::optional<platform::TcpStream> stream;
  // Bounded by the deadline: each attempt lasts at most one slice.
  while (!stream) {
    auto left = time_left(deadline, cancel, kConnectMessages);
    if (!left) return fail(std::move(left).error());
    auto attempt = platform::TcpStream::connect(address, std::min(*left, kRtspWaitSlice));
    if (attempt) {
      stream.emplace(std::move(*attempt));
    } else if (!support::is_timeout_error(attempt.error()) || Clock::now() >= deadline) {
      return fail(std::move(attempt).error().context("connect RTSP TCP " + address.to_string()));
    }
  }
  if (auto set = stream->set_nodelay(true); !set) return fail(set.error());
  return RtspConnection::from_stream(std::move(*stream), device_id);
}

support::Result<std::vector<std::uint8_t>> RtspConnection::read_exact_with_deadline(
    std::size_t count, Clock::time_point deadline, CancelSource cancel) {
  std::vector<std::uint8_t> bytes(count);
  std::size_t filled = 0;
  while (filled < count) {  // every turn adds at least one byte or returns
    auto read = wait_bounded(stream_, Direction::read, deadline, cancel, kReadMessages,
                             [&] { return stream_.read_some(std::span(bytes).subspan(filled)); });
    if (!read) return fail(std::move(read).error());
    if (*read == 0) {
      return fail("RTSP TCP connection closed mid-frame", ErrorKind::connection_closed);
    }
    filled += *read;
  }
  return bytes;
}

void RtspConnection::enable_control_cipher(const AeadKey& write_key, const AeadKey& read_key) {
  if (control_cipher_) control_cipher_->wipe_keys();
  control_cipher_.emplace(write_key, read_key);
}

support::Error RtspConnection::poison(support::Error error) {
  poisoned_ = true;
  if (stream_.is_open()) (void)stream_.shutdown_both();
  return error;
}

namespace {

support::Status write_request(platform::TcpStream& stream, std::optional<ControlCipher>& cipher,
                              std::vector<std::uint8_t> bytes, Clock::time_point deadline,
                              CancelSource cancel) {
  if (cancel.is_cancelled()) return fail(kWriteMessages.cancelled, ErrorKind::interrupted);
  if (cipher) {
    auto sealed = encrypt_control_message(*cipher, bytes);
    // The plaintext may carry a secret (the audio key of SETUP phase 2): only the sealed frames
    // outlive this.
    support::wipe(bytes);
    if (!sealed) return fail(std::move(sealed).error());
    bytes = std::move(*sealed);
  }
  std::span<const std::uint8_t> remaining(bytes);
  while (!remaining.empty()) {  // every turn writes at least one byte or returns
    auto written =
        wait_bounded(stream, Direction::write, deadline, cancel, kWriteMessages,
                     [&]() -> support::Result<std::size_t> {
                       auto count = stream.write_some(remaining);
                       if (!count) {
                         return fail(std::move(count).error().context("write RTSP request"));
                       }
                       return count;
                     });
    if (!written) return fail(std::move(written).error());
    if (*written == 0) {
      return fail("RTSP TCP connection closed while writing request", ErrorKind::connection_closed);
    }
    remaining = remaining.subspan(*written);
  }
  const auto left = deadline - Clock::now();
  if (left <= Clock::duration::zero()) {
    return fail(kWriteMessages.deadline_expired, ErrorKind::timed_out);
  }
  return stream.set_write_timeout(
      std::min(std::chrono::duration_cast<std::chrono::nanoseconds>(left), kRtspWaitSlice));
}

// Reads and opens one frame, appending its plaintext to `decrypted`.
support::Status read_encrypted_frame(RtspConnection& connection, ControlCipher& cipher,
                                     std::vector<std::uint8_t>& decrypted,
                                     Clock::time_point deadline, CancelSource cancel) {
  auto length_bytes = connection.read_exact_with_deadline(2, deadline, cancel);
  if (!length_bytes) {
    return fail_with_context(std::move(length_bytes), "read encrypted control frame length");
  }
  const auto n = static_cast<std::uint16_t>((*length_bytes)[0] | ((*length_bytes)[1] << 8));
  if (n > kControlBlockMax) {
    return fail("encrypted control block exceeds 1024 bytes: " + std::to_string(n));
  }
  auto sealed =
      connection.read_exact_with_deadline(std::size_t{n} + kAeadTagSize, deadline, cancel);
  if (!sealed) return fail_with_context(std::move(sealed), "read encrypted control frame");
  auto plaintext = decrypt_control_frame(cipher, n, *sealed);
  if (!plaintext) return fail(std::move(plaintext).error());
  decrypted.insert(decrypted.end(), plaintext->begin(), plaintext->end());
  return {};
}

// The read phase: the next complete response, from the buffer or from more bytes off the stream
// (plain chunks, or frames opened with the cipher when one is installed).
support::Result<std::vector<std::uint8_t>> read_response_bytes(
    RtspConnection& connection, platform::TcpStream& stream, ControlCipher* cipher,
    std::vector<std::uint8_t>& buffer, Clock::time_point deadline, CancelSource cancel) {
  FrontResponse front;
  // Bounded by the deadline (every read waits for it) and by the cap on the buffer.
  for (;;) {
    if (cancel.is_cancelled()) return fail(kReadMessages.cancelled, ErrorKind::interrupted);
    auto taken = front.take(buffer);
    if (!taken) return fail(std::move(taken).error());
    if (*taken) return std::move(**taken);
    const support::Status more =
        cipher ? read_encrypted_frame(connection, *cipher, buffer, deadline, cancel)
               : read_plaintext_chunk(stream, buffer, deadline, cancel);
    if (!more) return fail(more.error());
  }
}

}  // namespace

support::Result<RtspResponse> rtsp_exchange(RtspConnection& connection, std::string_view method,
                                            std::string_view uri,
                                            const std::vector<RtspHeader>& headers,
                                            std::span<const std::uint8_t> body,
                                            CancelSource cancel) {
  return connection.exchange_overlapped(method, uri, headers, body, cancel, {});
}

support::Result<RtspResponse> RtspConnection::exchange_overlapped(
    std::string_view method, std::string_view uri, const std::vector<RtspHeader>& headers,
    std::span<const std::uint8_t> body, CancelSource cancel,
    const std::function<void()>& while_waiting) {
  if (poisoned_) return fail("RTSP connection is poisoned and cannot be reused");
  const std::uint32_t cseq = next_cseq_++;
  const std::string label = std::string(method) + " CSeq " + std::to_string(cseq);

  std::vector<RtspHeader> all_headers = default_headers_;
  if (session_id_) all_headers.push_back({"Session", *session_id_});
  all_headers.insert(all_headers.end(), headers.begin(), headers.end());
  std::vector<std::uint8_t> request = serialize_rtsp_request(method, uri, cseq, all_headers, body);

  const auto start = Clock::now();
  const auto deadline = start + request_timeout_;
  if (auto written = write_request(stream_, control_cipher_, std::move(request), deadline, cancel);
      !written) {
    return fail(poison(written.error().context("write " + label)));
  }
  if (while_waiting) while_waiting();

  std::vector<std::uint8_t>& buffer = control_cipher_ ? decrypted_buffer_ : plaintext_buffer_;
  for (;;) {  // each stale response is dropped; the deadline bounds the reads between them
    ControlCipher* cipher = control_cipher_ ? &*control_cipher_ : nullptr;
    auto bytes = read_response_bytes(*this, stream_, cipher, buffer, deadline, cancel);
    if (!bytes) {
      return fail(poison(bytes.error().context("read " + label + " response")));
    }
    auto response = parse_rtsp_response(*bytes);
    if (!response) {
      return fail(poison(response.error().context("parse " + label + " response")));
    }
    const auto cseq_header = response->headers.find("cseq");
    if (cseq_header == response->headers.end()) {
      return fail(poison(Error("RTSP response is missing CSeq")));
    }
    auto received =
        parse_unsigned_decimal(cseq_header->second, std::numeric_limits<std::uint32_t>::max());
    if (!received) {
      return fail(poison(std::move(received).error().context("invalid RTSP response CSeq")));
    }
    if (*received > cseq) {
      return fail(poison(Error("RTSP future CSeq " + std::to_string(*received) +
                               " while waiting for " + std::to_string(cseq))));
    }
    if (*received < cseq) {
      platform::write_stderr_line("warning[rtsp_stale]: method=" + std::string(method) +
                                  " expected_cseq=" + std::to_string(cseq) +
                                  " stale_cseq=" + std::to_string(*received) + " action=discard");
      continue;
    }
    const auto elapsed =
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
    platform::write_stderr_line(
        "rtsp method=" + std::string(method) + " cseq=" + std::to_string(cseq) +
        " status=" + std::to_string(response->status) + " elapsed_ms=" + std::to_string(elapsed));
    return std::move(*response);
  }
}

}  // namespace kestrune::engine
