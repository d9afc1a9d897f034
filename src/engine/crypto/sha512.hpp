#pragma once
// SHA-512 over the concatenation of byte strings, with nothing between them.

#include <array>
#include <cstdint>
#include <initializer_list>
#include <span>

namespace kestrune::engine {

inline constexpr std::size_t kSha512Size = 64;
using Sha512Digest = std::array<std::uint8_t, kSha512Size>;

// Ends the calling thread if the crypto library fails (it cannot for SHA-512 in memory).
Sha512Digest sha512_parts(std::initializer_list<std::span<const std::uint8_t>> parts);

}  // namespace kestrune::engine
