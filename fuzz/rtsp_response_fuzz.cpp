// The RTSP response path on bytes from a receiver: the completeness test and the parser on their
// own, and whole exchanges over a socket pair, plain or in sealed control frames. The first byte
// picks the mode.

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "engine/crypto/chacha20_poly1305.hpp"
#include "engine/rtsp/control_cipher.hpp"
#include "engine/rtsp/rtsp_connection.hpp"
#include "engine/rtsp/rtsp_response.hpp"

namespace {

using namespace kestrune;

void parse_like_the_exchange(std::span<const std::uint8_t> bytes) {
  // Take responses off the front as long as complete ones are there (bounded by the input).
  while (!bytes.empty()) {
    auto complete = engine::rtsp_response_complete(bytes);
    if (!complete || !*complete) return;
    auto response = engine::parse_rtsp_response(bytes.first(**complete));
    if (response) (void)engine::find_header(*response, "CSeq");
    bytes = bytes.subspan(**complete);
  }
}

engine::AeadKey key_of(std::uint8_t seed) {
  engine::AeadKey key{};
  key.fill(seed);
  return key;
}

// What the receiver end writes in framed mode: each control byte c < 0xFF seals the next c % 200
// input bytes as one frame; 0xFF writes the rest raw (a bad length or a broken frame).
std::vector<std::uint8_t> frames_from(std::span<const std::uint8_t> input) {
  engine::ControlCipher receiver(key_of(2), key_of(1));
  std::vector<std::uint8_t> wire;
  while (!input.empty()) {  // every turn consumes at least the control byte
    const std::uint8_t control = input[0];
    input = input.subspan(1);
    if (control == 0xFF) {
      wire.insert(wire.end(), input.begin(), input.end());
      break;
    }
    const std::size_t size = std::min<std::size_t>(control % 200, input.size());
    const std::uint8_t length[2] = {static_cast<std::uint8_t>(size), 0};
    const std::size_t at = wire.size();
    wire.insert(wire.end(), length, length + 2);
    wire.resize(at + 2 + size);
    engine::AeadTag tag{};
    (void)engine::chacha20_poly1305_seal(
        receiver.write_key, engine::control_nonce(receiver.write_counter), length,
        input.first(size), std::span(wire).subspan(at + 2, size), tag);
    wire.insert(wire.end(), tag.begin(), tag.end());
    ++receiver.write_counter;
    input = input.subspan(size);
  }
  return wire;
}

// The most the receiver's end writes: a socket pair's buffer holds it whole, so the write never
// waits for a reader. Sealed frames can make the wire up to 18 times longer than the input.
constexpr std::size_t kMaxWireBytes = 65536;

void exchange_over_socket_pair(std::span<const std::uint8_t> wire, bool encrypted) {
  int fds[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) return;
  // The whole answer is in the pair's buffer before the exchange starts, and the receiver's end
  // is then shut for writing, so every read ends.
  wire = wire.first(std::min(wire.size(), kMaxWireBytes));
  if (!wire.empty() && ::write(fds[1], wire.data(), wire.size()) < 0) {
    ::close(fds[0]);
    ::close(fds[1]);
    return;
  }
  ::shutdown(fds[1], SHUT_WR);
  auto connection =
      engine::RtspConnection::from_stream(platform::TcpStream::adopt(fds[0]), "02:00:00:00:00:01");
  if (connection) {
    connection->set_request_timeout(std::chrono::seconds(2));
    if (encrypted) connection->enable_control_cipher(key_of(1), key_of(2));
    // Two exchanges: what the first leaves in the buffer is the start of the second.
    for (int i = 0; i < 2; ++i) {
      (void)engine::rtsp_exchange(*connection, "OPTIONS", "*", {}, {},
                                  engine::CancelSource::none());
    }
  }
  ::close(fds[1]);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::span<const std::uint8_t> input(data + 1, size - 1);
  switch (data[0] % 3) {
    case 0:
      parse_like_the_exchange(input);
      break;
    case 1:
      exchange_over_socket_pair(input, false);
      break;
    default:
      exchange_over_socket_pair(frames_from(input), true);
      break;
  }
  return 0;
}
