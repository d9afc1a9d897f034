#pragma once
// SipHash-2-4, a keyed hash for maps whose keys come from the network: without the key, a peer
// cannot choose names that all land in one bucket. The process key is drawn from the OS random
// source once, on first use.

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

namespace kestrune::discovery {

using SipHashKey = std::array<std::uint8_t, 16>;

class SipHasher {
 public:
  explicit SipHasher(const SipHashKey& key);

  void update(std::span<const std::uint8_t> bytes);
  void update(std::string_view text);
  // Texts are written with their length first, so ("ab", "c") and ("a", "bc") hash apart.
  void update_text(std::string_view text);
  void update_u64(std::uint64_t value);
  std::uint64_t finish() const;

 private:
  void compress(std::uint64_t block);

  std::array<std::uint64_t, 4> v_{};
  std::uint64_t tail_ = 0;  // bytes not yet forming a whole 8-byte block, little-endian
  std::size_t tail_bytes_ = 0;
  std::uint64_t total_bytes_ = 0;
};

// The key shared by every discovery map of this process.
const SipHashKey& process_hash_key();

}  // namespace kestrune::discovery
