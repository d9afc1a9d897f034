#pragma once
// The encrypted framing of the control connection after pairing. One message travels as one or
// more frames: [n: u16 little-endian][n bytes of ChaCha20-Poly1305 ciphertext][16-byte tag], the
// nonce being 4 zero bytes and the direction's frame counter (u64 little-endian), the associated
// data the 2 length bytes as they stand on the wire. The sender seals blocks of 1 to 1024 bytes.

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "engine/crypto/chacha20_poly1305.hpp"
#include "support/error.hpp"

namespace kestrune::engine {

inline constexpr std::size_t kControlBlockMax = 1024;
inline constexpr std::size_t kControlFrameOverhead = 2 + kAeadTagSize;

// Both keys are overwritten with zeros when the cipher is dropped.
struct ControlCipher {
  AeadKey write_key{};
  AeadKey read_key{};
  std::uint64_t write_counter = 0;  // frames sealed so far
  std::uint64_t read_counter = 0;   // frames opened successfully so far

  ControlCipher(const AeadKey& write, const AeadKey& read) : write_key(write), read_key(read) {}
  ControlCipher(const ControlCipher&) = default;
  ControlCipher& operator=(const ControlCipher&) = default;
  ~ControlCipher();
  // Overwrites both keys with zeros now.
  void wipe_keys();
};

// The nonce of frame number `counter`.
AeadNonce control_nonce(std::uint64_t counter);

// Seals a non-empty message into consecutive frames of at most 1024 plaintext bytes each and
// advances the write counter by the number of frames.
support::Result<std::vector<std::uint8_t>> encrypt_control_message(
    ControlCipher& cipher, std::span<const std::uint8_t> message);

// Opens one frame whose length field was `n`; `sealed` is the n ciphertext bytes followed by the
// tag. On success advances the read counter; a frame that does not verify fails with "control
// authentication failed" and leaves the counter as it was.
support::Result<std::vector<std::uint8_t>> decrypt_control_frame(
    ControlCipher& cipher, std::uint16_t n, std::span<const std::uint8_t> sealed);

}  // namespace kestrune::engine
