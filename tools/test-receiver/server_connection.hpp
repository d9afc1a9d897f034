#pragma once
// The receiver's end of one control connection: reads requests (plain, or in control frames once
// pairing has switched the connection) and sends scripted replies. Every wait is a slice of at
// most 50 ms after which the stop flag is looked at, and a connection idle for longer than the
// idle limit is given up, so the serving thread always ends.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <optional>
#include <vector>

#include "engine/rtsp/control_cipher.hpp"
#include "engine/rtsp/session_keys.hpp"
#include "platform/tcp_stream.hpp"
#include "support/error.hpp"
#include "test-receiver/received_request.hpp"
#include "test-receiver/scripted_reply.hpp"

namespace kestrune::test_receiver {

// The most a request may take; a sender never comes near it.
inline constexpr std::size_t kMaxRequestBytes = std::size_t{1} << 20;

class ServerConnection {
 public:
  ServerConnection(platform::TcpStream stream, const std::atomic<bool>& stop,
                   std::chrono::milliseconds idle_limit);

  // The next request; nothing when the peer closed, the stop flag was set or the connection sat
  // idle too long. Malformed input (a bad frame, an oversized request) is an error.
  support::Result<std::optional<ReceivedRequest>> next_request();

  // Sends the reply's responses for `request` as the reply describes (without its ending).
  support::Status send(const ScriptedReply& reply, const ReceivedRequest& request);

  // From now on requests are opened with the sender's write key and responses sealed with its
  // read key.
  void enable_encryption(const engine::SessionKeys& keys);
  bool encrypted() const { return cipher_.has_value(); }

  void close();

 private:
  // Exactly `count` bytes off the stream; nothing on close, stop or idleness.
  support::Result<std::optional<std::vector<std::uint8_t>>> read_exact(std::size_t count);
  // More bytes into the plaintext buffer; false on close, stop or idleness.
  support::Result<bool> read_more_plain();
  std::vector<std::uint8_t> seal(const std::vector<std::uint8_t>& bytes,
                                 const ScriptedReply& reply);
  bool pause(std::chrono::milliseconds duration);

  platform::TcpStream stream_;
  const std::atomic<bool>& stop_;
  std::chrono::milliseconds idle_limit_;
  std::optional<engine::ControlCipher> cipher_;
  std::vector<std::uint8_t> buffer_;  // received bytes (plain) or opened frames (encrypted)
};

// The bytes of one scripted response to the request with `request_cseq` (absent: "0").
std::vector<std::uint8_t> serialize_scripted_response(const ScriptedResponse& response,
                                                      std::optional<std::uint32_t> request_cseq);

}  // namespace kestrune::test_receiver
