#include "discovery/keyed_hash.hpp"

#include <openssl/rand.h>

#include <bit>
#include <chrono>

namespace kestrune::discovery {
namespace {

std::uint64_t load_le64(const std::uint8_t* bytes) {
  std::uint64_t value = 0;
  for (int i = 7; i >= 0; --i) value = value << 8 | bytes[i];
  return value;
}

[[gnu::always_inline]] inline void sip_round(std::array<std::uint64_t, 4>& v) {
  v[0] += v[1];
  v[1] = std::rotl(v[1], 13);
  v[1] ^= v[0];
  v[0] = std::rotl(v[0], 32);
  v[2] += v[3];
  v[3] = std::rotl(v[3], 16);
  v[3] ^= v[2];
  v[0] += v[3];
  v[3] = std::rotl(v[3], 21);
  v[3] ^= v[0];
  v[2] += v[1];
  v[1] = std::rotl(v[1], 17);
  v[1] ^= v[2];
  v[2] = std::rotl(v[2], 32);
}

SipHashKey draw_process_key() {
  SipHashKey key{};
  if (RAND_bytes(key.data(), static_cast<int>(key.size())) != 1) {
    // The key guards against bucket flooding, not secrets; a clock-derived key still differs
    // between runs when the random source is unavailable.
    std::uint64_t seed =
        static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
    for (std::uint8_t& byte : key) {
      seed = seed * 6364136223846793005ull + 1442695040888963407ull;
      byte = static_cast<std::uint8_t>(seed >> 56);
    }
  }
  return key;
}

}  // namespace

SipHasher::SipHasher(const SipHashKey& key) {
  const std::uint64_t k0 = load_le64(key.data());
  const std::uint64_t k1 = load_le64(key.data() + 8);
  v_ = {k0 ^ 0x736f6d6570736575ull, k1 ^ 0x646f72616e646f6dull, k0 ^ 0x6c7967656e657261ull,
        k1 ^ 0x7465646279746573ull};
}

void SipHasher::compress(std::uint64_t block) {
  v_[3] ^= block;
  sip_round(v_);
  sip_round(v_);
  v_[0] ^= block;
}

void SipHasher::update(std::span<const std::uint8_t> bytes) {
  total_bytes_ += bytes.size();
  std::size_t i = 0;
  while (tail_bytes_ != 0 && i < bytes.size()) {
    tail_ |= std::uint64_t{bytes[i++]} << (8 * tail_bytes_);
    if (++tail_bytes_ == 8) {
      compress(tail_);
      tail_ = 0;
      tail_bytes_ = 0;
    }
  }
  for (; bytes.size() - i >= 8; i += 8) compress(load_le64(bytes.data() + i));
  for (; i < bytes.size(); ++i) tail_ |= std::uint64_t{bytes[i]} << (8 * tail_bytes_++);
}

void SipHasher::update(std::string_view text) {
  update(std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
}

void SipHasher::update_text(std::string_view text) {
  update_u64(text.size());
  update(text);
}

void SipHasher::update_u64(std::uint64_t value) {
  std::array<std::uint8_t, 8> bytes;
  for (std::size_t i = 0; i < bytes.size(); ++i)
    bytes[i] = static_cast<std::uint8_t>(value >> (8 * i));
  update(bytes);
}

std::uint64_t SipHasher::finish() const {
  std::array<std::uint64_t, 4> v = v_;
  const std::uint64_t last = tail_ | (total_bytes_ & 0xFF) << 56;
  v[3] ^= last;
  sip_round(v);
  sip_round(v);
  v[0] ^= last;
  v[2] ^= 0xFF;
  for (int i = 0; i < 4; ++i) sip_round(v);
  return v[0] ^ v[1] ^ v[2] ^ v[3];
}

const SipHashKey& process_hash_key() {
  static const SipHashKey key = draw_process_key();
  return key;
}

}  // namespace kestrune::discovery
