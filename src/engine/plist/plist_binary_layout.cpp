#include "engine/plist/plist_binary_layout.hpp"

namespace kestrune::engine {

std::uint64_t read_big_endian(std::span<const std::uint8_t> bytes) {
  std::uint64_t value = 0;
  for (const std::uint8_t byte : bytes) value = value << 8 | byte;
  return value;
}

std::optional<std::size_t> BinaryPlistLayout::offset_of(std::uint64_t index) const {
  const std::uint64_t at = read_big_endian(
      bytes.subspan(static_cast<std::size_t>(table_at + index * offset_size), offset_size));
  if (at >= objects_end) return std::nullopt;
  return static_cast<std::size_t>(at);
}

std::optional<BinaryPlistLayout> read_binary_plist_layout(std::span<const std::uint8_t> bytes) {
  if (bytes.size() < kBinaryPlistHeaderSize + kBinaryPlistTrailerSize) return std::nullopt;
  BinaryPlistLayout layout;
  layout.bytes = bytes;
  layout.objects_end = bytes.size() - kBinaryPlistTrailerSize;
  const auto trailer = bytes.subspan(layout.objects_end);
  layout.offset_size = trailer[6];
  layout.ref_size = trailer[7];
  layout.object_count = read_big_endian(trailer.subspan(8, 8));
  layout.top = read_big_endian(trailer.subspan(16, 8));
  layout.table_at = read_big_endian(trailer.subspan(24, 8));
  if (layout.offset_size == 0 || layout.offset_size > 8 || layout.ref_size == 0 ||
      layout.ref_size > 8 || layout.table_at < kBinaryPlistHeaderSize ||
      layout.table_at > layout.objects_end ||
      layout.object_count > (layout.objects_end - layout.table_at) / layout.offset_size ||
      layout.top >= layout.object_count) {
    return std::nullopt;
  }
  return layout;
}

}  // namespace kestrune::engine
