#pragma once
// What the property-list library must not be given. libplist 2.2 reads nested values
// recursively, builds a value of its own for every reference to a shared object of a binary
// list (so a list of a few hundred bytes whose arrays refer twice to the next one grows into
// millions of values), and aborts on strings that hold a NUL character. A receiver's answer is
// checked here first, without recursion, in time and memory linear in its length.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

namespace kestrune::engine {

// The deepest nesting read (the outermost value is level 1) and the most values a binary list may
// expand to; answers of this protocol stay far below both.
inline constexpr std::size_t kMaxPlistDepth = 128;
inline constexpr std::uint64_t kMaxPlistValues = 65'536;

// Why `bytes` must not reach the library, or nothing. `binary` says which form the library will
// read; a binary list whose trailer describes tables that do not fit is refused as well.
std::optional<std::string> plist_input_refusal(std::span<const std::uint8_t> bytes, bool binary);

}  // namespace kestrune::engine
