#pragma once
// Where the parts of a binary property list ("bplist00") lie, read from its 32-byte trailer: the
// objects, the offset table that locates each of them, and the top object. Only tables that fit
// inside the bytes are described, so every offset read through the layout is in bounds.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

namespace kestrune::engine {

inline constexpr std::size_t kBinaryPlistHeaderSize = 8;  // "bplist00"
inline constexpr std::size_t kBinaryPlistTrailerSize = 32;

std::uint64_t read_big_endian(std::span<const std::uint8_t> bytes);

struct BinaryPlistLayout {
  std::span<const std::uint8_t> bytes;
  std::size_t objects_end = 0;  // where the trailer starts: no object reaches beyond it
  std::size_t offset_size = 0;
  std::size_t ref_size = 0;
  std::uint64_t object_count = 0;
  std::uint64_t top = 0;
  std::uint64_t table_at = 0;

  // Where object `index` (below object_count) starts, if that lies among the objects.
  std::optional<std::size_t> offset_of(std::uint64_t index) const;
};

// The layout of `bytes`, or nothing when its trailer describes tables that do not fit.
std::optional<BinaryPlistLayout> read_binary_plist_layout(std::span<const std::uint8_t> bytes);

}  // namespace kestrune::engine
