#include "engine/rtsp/control_cipher.hpp"

#include <algorithm>

#include "support/wipe.hpp"

namespace kestrune::engine {

ControlCipher::~ControlCipher() { wipe_keys(); }

void ControlCipher::wipe_keys() {
  support::wipe(write_key);
  support::wipe(read_key);
}

AeadNonce control_nonce(std::uint64_t counter) {
  AeadNonce nonce{};
  for (std::size_t i = 0; i < 8; ++i) {
    nonce[4 + i] = static_cast<std::uint8_t>(counter >> (8 * i));
  }
  return nonce;
}

support::Result<std::vector<std::uint8_t>> encrypt_control_message(
    ControlCipher& cipher, std::span<const std::uint8_t> message) {
  if (message.empty()) return support::fail("control message to seal is empty");
  const std::size_t blocks = (message.size() + kControlBlockMax - 1) / kControlBlockMax;
  std::vector<std::uint8_t> frames;
  frames.reserve(message.size() + kControlFrameOverhead * blocks);
  for (std::size_t offset = 0; offset < message.size(); offset += kControlBlockMax) {
    const auto block = message.subspan(offset, std::min(kControlBlockMax, message.size() - offset));
    const std::uint8_t length[2] = {static_cast<std::uint8_t>(block.size() & 0xff),
                                    static_cast<std::uint8_t>(block.size() >> 8)};
    frames.insert(frames.end(), length, length + 2);
    const std::size_t ciphertext_at = frames.size();
    frames.resize(ciphertext_at + block.size());
    AeadTag tag{};
    if (auto sealed = chacha20_poly1305_seal(
            cipher.write_key, control_nonce(cipher.write_counter), length, block,
            std::span(frames).subspan(ciphertext_at, block.size()), tag);
        !sealed) {
      return support::fail_with_context(std::move(sealed), "seal control frame");
    }
    frames.insert(frames.end(), tag.begin(), tag.end());
    ++cipher.write_counter;  // wraps, as the counter is unsigned
  }
  return frames;
}

support::Result<std::vector<std::uint8_t>> decrypt_control_frame(
    ControlCipher& cipher, std::uint16_t n, std::span<const std::uint8_t> sealed) {
  if (sealed.size() != std::size_t{n} + kAeadTagSize) {
    return support::fail("control authentication failed");
  }
  const std::uint8_t length[2] = {static_cast<std::uint8_t>(n & 0xff),
                                  static_cast<std::uint8_t>(n >> 8)};
  AeadTag tag{};
  std::copy(sealed.end() - kAeadTagSize, sealed.end(), tag.begin());
  std::vector<std::uint8_t> plaintext(n);
  if (!chacha20_poly1305_open(cipher.read_key, control_nonce(cipher.read_counter), length,
                              sealed.first(n), tag, plaintext)) {
    return support::fail("control authentication failed");
  }
  ++cipher.read_counter;
  return plaintext;
}

}  // namespace kestrune::engine
