#include "engine/session/plist_codec.hpp"

#include <cstdlib>
#include <limits>

namespace kestrune::engine {

namespace {

constexpr std::size_t kBinaryHeaderSize = 8;  // "bplist00"; the root object follows
constexpr std::uint8_t kSixteenByteIntegerMarker = 0x14;

struct FreeBinary {
  void operator()(char* bytes) const { plist_to_bin_free(bytes); }
};

// Whether libplist holds this integer (whose unsigned view is above INT64_MAX) as an unsigned
// 16-byte value rather than as a negative 8-byte one; it writes the two forms differently.
bool held_as_large_unsigned(plist_t integer) {
  char* raw = nullptr;
  std::uint32_t length = 0;
  plist_to_bin(integer, &raw, &length);
  std::unique_ptr<char, FreeBinary> bytes(raw);
  return bytes && length > kBinaryHeaderSize &&
         static_cast<std::uint8_t>(bytes.get()[kBinaryHeaderSize]) == kSixteenByteIntegerMarker;
}

std::uint64_t read_big_endian(std::span<const std::uint8_t> bytes) {
  std::uint64_t value = 0;
  for (const std::uint8_t byte : bytes) value = value << 8 | byte;
  return value;
}

// Whether a string object of a binary property list holds a NUL character. libplist 2.2 keeps
// such a string with a length that disagrees with its C string and aborts on an assertion when
// the text is asked for (a UTF-16 key holding U+0000 is enough), so these lists are refused
// before the library sees them. A list whose tables do not fit is left to the library, which
// refuses it itself.
bool binary_plist_has_nul_string(std::span<const std::uint8_t> bytes) {
  constexpr std::size_t kTrailerSize = 32;
  if (bytes.size() < kBinaryHeaderSize + kTrailerSize) return false;
  const std::size_t trailer_at = bytes.size() - kTrailerSize;
  const auto trailer = bytes.subspan(trailer_at);
  const std::size_t offset_size = trailer[6];
  const std::uint64_t object_count = read_big_endian(trailer.subspan(8, 8));
  const std::uint64_t table_at = read_big_endian(trailer.subspan(24, 8));
  if (offset_size == 0 || offset_size > 8 || table_at < kBinaryHeaderSize ||
      table_at > trailer_at || object_count > (trailer_at - table_at) / offset_size) {
    return false;
  }
  for (std::uint64_t i = 0; i < object_count; ++i) {  // bounded by the table's size
    const std::uint64_t at =
        read_big_endian(bytes.subspan(table_at + i * offset_size, offset_size));
    if (at >= trailer_at) continue;
    const std::uint8_t marker = bytes[at];
    const unsigned kind = marker >> 4;  // 5: ASCII string, 6: UTF-16 string
    if (kind != 5 && kind != 6) continue;
    std::uint64_t count = marker & 0x0F;
    std::uint64_t text_at = at + 1;
    if (count == 0x0F) {  // the count follows as an integer object
      if (text_at >= trailer_at || (bytes[text_at] >> 4) != 1) continue;
      const std::size_t count_size = std::size_t{1} << (bytes[text_at] & 0x0F);
      if (count_size > 8 || text_at + 1 + count_size > trailer_at) continue;
      count = read_big_endian(bytes.subspan(text_at + 1, count_size));
      text_at += 1 + count_size;
    }
    const std::uint64_t unit = kind == 5 ? 1 : 2;
    if (count > (trailer_at - text_at) / unit) continue;
    const auto text = bytes.subspan(text_at, count * unit);
    for (std::size_t k = 0; k < text.size(); k += unit) {
      if (text[k] == 0 && (unit == 1 || text[k + 1] == 0)) return true;
    }
  }
  return false;
}

}  // namespace

std::string PlistInteger::to_string() const {
  return negative_ ? std::to_string(signed_value()) : std::to_string(bits_);
}

support::Result<std::vector<std::uint8_t>> encode_binary_plist(plist_t value) {
  char* raw = nullptr;
  std::uint32_t length = 0;
  plist_to_bin(value, &raw, &length);
  std::unique_ptr<char, FreeBinary> bytes(raw);
  if (!bytes || length == 0) {
    return support::fail(
        support::Error("property list library wrote nothing").context("encode binary plist"));
  }
  return std::vector<std::uint8_t>(bytes.get(), bytes.get() + length);
}

support::Result<PlistValue> decode_binary_plist(std::span<const std::uint8_t> bytes) {
  if (bytes.size() > std::numeric_limits<std::uint32_t>::max()) {
    return support::fail(
        support::Error("property list is too large to read").context("decode binary plist"));
  }
  const bool binary = bytes.size() >= kBinaryHeaderSize &&
                      plist_is_binary(reinterpret_cast<const char*>(bytes.data()),
                                      static_cast<std::uint32_t>(bytes.size())) != 0;
  if (binary && binary_plist_has_nul_string(bytes)) {
    return support::fail(support::Error("binary property list holds a string with a NUL character")
                             .context("decode binary plist"));
  }
  plist_t raw = nullptr;
  plist_from_memory(reinterpret_cast<const char*>(bytes.data()),
                    static_cast<std::uint32_t>(bytes.size()), &raw);
  if (raw == nullptr) {
    return support::fail(support::Error("not a binary or XML property list")
                             .context("decode binary plist"));
  }
  return PlistValue(raw);
}

std::string_view plist_type_name(plist_t value) {
  switch (plist_get_node_type(value)) {
    case PLIST_ARRAY:
      return "array";
    case PLIST_DICT:
      return "dictionary";
    case PLIST_BOOLEAN:
      return "boolean";
    case PLIST_DATA:
      return "data";
    case PLIST_DATE:
      return "date";
    case PLIST_REAL:
      return "real";
    case PLIST_UINT:
      return "integer";
    case PLIST_STRING:
      return "string";
    default:
      return "other";
  }
}

std::optional<PlistInteger> plist_integer(plist_t value) {
  if (value == nullptr || plist_get_node_type(value) != PLIST_UINT) return std::nullopt;
  std::uint64_t bits = 0;
  plist_get_uint_val(value, &bits);
  if (bits <= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()) ||
      held_as_large_unsigned(value)) {
    return PlistInteger::non_negative(bits);
  }
  return PlistInteger::negative(static_cast<std::int64_t>(bits));
}

support::Result<std::uint16_t> plist_u16_field(plist_t dictionary, std::string_view key) {
  const std::string name(key);
  const plist_t value = plist_dict_get_item(dictionary, name.c_str());
  if (value == nullptr) return support::fail("plist missing " + name);
  const auto integer = plist_integer(value);
  if (!integer) return support::fail("plist field " + name + " is not an integer");
  if (integer->is_negative()) {
    return support::fail("plist field " + name + " is not a non-negative integer");
  }
  if (integer->unsigned_value() > 0xFFFF) return support::fail("plist " + name + " exceeds u16");
  return static_cast<std::uint16_t>(integer->unsigned_value());
}

std::string plist_dictionary_shape(plist_t dictionary) {
  std::string shape;
  plist_dict_iter iterator = nullptr;
  plist_dict_new_iter(dictionary, &iterator);
  if (iterator == nullptr) return shape;
  const std::uint32_t size = plist_dict_get_size(dictionary);
  for (std::uint32_t i = 0; i < size; ++i) {  // bounded by the dictionary's size
    char* key = nullptr;
    plist_t value = nullptr;
    plist_dict_next_item(dictionary, iterator, &key, &value);
    if (key == nullptr || value == nullptr) {
      std::free(key);
      break;
    }
    if (!shape.empty()) shape += ',';
    shape += key;
    shape += ':';
    shape += plist_type_name(value);
    std::free(key);
  }
  std::free(iterator);
  return shape;
}

}  // namespace kestrune::engine
