#include "engine/crypto/big_number.hpp"

#include <climits>

namespace kestrune::engine {

BigNum big_number_new() { return BigNum(BN_secure_new()); }

BigNum big_number_from_bytes(std::span<const std::uint8_t> bytes) {
  if (bytes.size() > static_cast<std::size_t>(INT_MAX)) return nullptr;
  BigNum value = big_number_new();
  if (!value) return nullptr;
  if (BN_bin2bn(bytes.data(), static_cast<int>(bytes.size()), value.get()) == nullptr) {
    return nullptr;
  }
  return value;
}

BigNumContext big_number_context_new() { return BigNumContext(BN_CTX_secure_new()); }

}  // namespace kestrune::engine
