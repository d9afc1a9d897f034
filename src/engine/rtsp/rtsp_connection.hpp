#pragma once
// The RTSP/1.0 control connection to a receiver: one TCP stream, plain until the control cipher
// is installed after pairing and framed (ChaCha20-Poly1305) from then on. Every request goes
// through rtsp_exchange (or exchange_overlapped), which waits in slices of at most 100 ms so that
// the cancel source and the request deadline are seen, matches the response by CSeq, and poisons
// the connection on every failure once the exchange has started: a poisoned connection refuses
// every later request and only dropping remains. Dropping closes the socket and wipes the control
// keys.
//
// Not thread-safe: each operation needs exclusive access (callers share it behind a mutex).

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "engine/rtsp/cancel_source.hpp"
#include "engine/rtsp/control_cipher.hpp"
#include "engine/rtsp/rtsp_request.hpp"
#include "engine/rtsp/rtsp_response.hpp"
#include "platform/socket_address.hpp"
#include "platform/tcp_stream.hpp"
#include "support/error.hpp"

namespace kestrune::engine {

inline constexpr std::chrono::nanoseconds kRtspRequestTimeout = std::chrono::seconds(10);
inline constexpr std::chrono::nanoseconds kRtspConnectTimeout = std::chrono::seconds(10);
inline constexpr std::chrono::nanoseconds kRtspWaitSlice = std::chrono::milliseconds(100);
// The most one response may occupy in a receive buffer; no body of this protocol comes near it.
inline constexpr std::size_t kRtspMaxResponseBytes = std::size_t{1} << 20;

class RtspConnection {
 public:
  RtspConnection(RtspConnection&&) noexcept = default;
  RtspConnection& operator=(RtspConnection&&) noexcept = default;
  RtspConnection(const RtspConnection&) = delete;
  RtspConnection& operator=(const RtspConnection&) = delete;
  ~RtspConnection() = default;  // the cipher wipes its keys, the stream closes its socket

  // The six headers every request carries first, in order.
  const std::vector<RtspHeader>& default_headers() const { return default_headers_; }

  // Sent as the "Session" header of every later request once set.
  const std::optional<std::string>& session_id() const { return session_id_; }
  void set_session_id(std::string session_id) { session_id_ = std::move(session_id); }

  // How long one exchange may take from its start; 10 s at first.
  std::chrono::nanoseconds request_timeout() const { return request_timeout_; }
  void set_request_timeout(std::chrono::nanoseconds timeout) { request_timeout_ = timeout; }

  std::uint32_t next_cseq() const { return next_cseq_; }
  bool is_poisoned() const { return poisoned_; }
  const ControlCipher* control_cipher() const {
    return control_cipher_ ? &*control_cipher_ : nullptr;
  }

  // Wraps a connected stream: sets its read and write timeouts to 10 s and builds the default
  // headers from the device id ("5A:0F:33:C1:09:7E").
  static support::Result<RtspConnection> from_stream(platform::TcpStream stream,
                                                     std::string_view device_id);

  // rtsp_exchange that runs `while_waiting` once the request is written and before the response
  // is read: work that the answer does not need overlaps the receiver's. Not run when the write
  // fails.
  support::Result<RtspResponse> exchange_overlapped(std::string_view method, std::string_view uri,
                                                    const std::vector<RtspHeader>& headers,
                                                    std::span<const std::uint8_t> body,
                                                    CancelSource cancel,
                                                    const std::function<void()>& while_waiting);

  // Reads exactly `count` bytes from the stream (not from the receive buffers) before `deadline`.
  support::Result<std::vector<std::uint8_t>> read_exact_with_deadline(
      std::size_t count, std::chrono::steady_clock::time_point deadline, CancelSource cancel);

  // Installs a control cipher with both counters 0; an installed one has its keys wiped first.
  void enable_control_cipher(const AeadKey& write_key, const AeadKey& read_key);

  // Marks the connection poisoned for good, shuts the stream down in both directions (a failure
  // of that is ignored) and hands `error` back.
  support::Error poison(support::Error error);

 private:
  RtspConnection(platform::TcpStream stream, std::vector<RtspHeader> default_headers);

  std::optional<ControlCipher> control_cipher_;
  std::vector<std::uint8_t> plaintext_buffer_;
  std::vector<std::uint8_t> decrypted_buffer_;
  platform::TcpStream stream_;
  std::vector<RtspHeader> default_headers_;
  std::optional<std::string> session_id_;
  std::chrono::nanoseconds request_timeout_ = kRtspRequestTimeout;
  std::uint32_t next_cseq_ = 1;
  bool poisoned_ = false;
};

// Connects within 10 s in attempts of at most 100 ms, giving up when `cancel` is set, then sets
// TCP_NODELAY and wraps the stream.
support::Result<RtspConnection> rtsp_connect_with_deadline(const platform::SocketAddress& address,
                                                           std::string_view device_id,
                                                           CancelSource cancel);

// Sends one request and returns the response with the request's CSeq (any status); responses with
// an older CSeq are discarded with a "warning[rtsp_stale]: " line on standard error. Writes one
// "rtsp method=" line per completed exchange.
support::Result<RtspResponse> rtsp_exchange(RtspConnection& connection, std::string_view method,
                                            std::string_view uri,
                                            const std::vector<RtspHeader>& headers,
                                            std::span<const std::uint8_t> body,
                                            CancelSource cancel);

}  // namespace kestrune::engine
