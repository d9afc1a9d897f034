#pragma once
// Owned OpenSSL big integers. Every value is cleared before it is freed, since most of what SRP
// computes is secret.

#include <openssl/bn.h>

#include <cstdint>
#include <memory>
#include <span>

namespace kestrune::engine {

struct BigNumClearFree {
  void operator()(BIGNUM* value) const { BN_clear_free(value); }
};
struct BigNumContextFree {
  void operator()(BN_CTX* context) const { BN_CTX_free(context); }
};

using BigNum = std::unique_ptr<BIGNUM, BigNumClearFree>;
using BigNumContext = std::unique_ptr<BN_CTX, BigNumContextFree>;

// A new zero in OpenSSL's secure heap (a plain one when that is unavailable); null on failure.
BigNum big_number_new();
// The unsigned big-endian integer of `bytes`; null on failure.
BigNum big_number_from_bytes(std::span<const std::uint8_t> bytes);
// A context for temporaries in the secure heap; null on failure.
BigNumContext big_number_context_new();

}  // namespace kestrune::engine
