#pragma once
// HKDF (RFC 5869) with SHA-512: an extract with `salt` followed by an expand with `info`.

#include <cstdint>
#include <span>

#include "support/error.hpp"

namespace kestrune::engine {

// Fills `output` (at most 255 * 64 bytes) from the input keying material.
support::Status hkdf_sha512(std::span<const std::uint8_t> input_key,
                            std::span<const std::uint8_t> salt, std::span<const std::uint8_t> info,
                            std::span<std::uint8_t> output);

}  // namespace kestrune::engine
