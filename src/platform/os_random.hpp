#pragma once
// Bytes from the operating system's cryptographic random source (getrandom). A source that cannot
// deliver is a failure value, never a silent fallback.

#include <cstddef>
#include <cstdint>
#include <span>

#include "support/error.hpp"

namespace kestrune::platform {

// Fills every byte of `out`, or fails with the context "read OS random source".
support::Status fill_os_random(std::span<std::uint8_t> out);

}  // namespace kestrune::platform
