#include "engine/engine.hpp"

#include <openssl/rand.h>

#include <array>
#include <cstdint>
#include <exception>
#include <mutex>

#include "engine/crypto/big_number.hpp"
#include "engine/crypto/chacha20_poly1305.hpp"
#include "engine/crypto/sha512.hpp"
#include "engine/rtsp/session_keys.hpp"
#include "engine/srp/srp_group.hpp"

namespace kestrune::engine {

namespace {

void warm_up_once() {
  std::array<std::uint8_t, 16> random{};
  (void)RAND_bytes(random.data(), static_cast<int>(random.size()));
  (void)sha512_parts({random});

  const std::array<std::uint8_t, kSrpSessionKeySize> zero_key{};
  (void)derive_session_keys(zero_key);

  const AeadKey key{};
  const AeadNonce nonce{};
  std::array<std::uint8_t, 16> plaintext{}, ciphertext{};
  AeadTag tag{};
  (void)chacha20_poly1305_seal(key, nonce, {}, plaintext, ciphertext, tag);

  // g^e mod N with a short public exponent: the group and the exponentiation's code, not its time.
  BigNum result = big_number_new();
  BigNum exponent = big_number_new();
  BigNumContext context = big_number_context_new();
  if (result && exponent && context && BN_set_word(exponent.get(), 65'537) == 1) {
    (void)srp_mod_exp(result.get(), srp_generator(), exponent.get(), context.get());
  }
}

}  // namespace

void warm_up_session_crypto() {
  static std::once_flag once;
  std::call_once(once, [] {
    try {
      warm_up_once();
    } catch (const std::exception&) {
      // A piece that cannot be made now fails the session that needs it, with its own context.
    }
  });
}

}  // namespace kestrune::engine
