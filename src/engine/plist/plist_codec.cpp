#include "engine/plist/plist_codec.hpp"

#include <cstdlib>
#include <limits>
#include <variant>

#include "engine/plist/plist_binary_layout.hpp"
#include "engine/plist/plist_input_check.hpp"
#include "engine/plist/plist_integer_forms.hpp"
#include "support/wipe.hpp"

namespace kestrune::engine {

namespace {

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
  return bytes && length > kBinaryPlistHeaderSize &&
         static_cast<std::uint8_t>(bytes.get()[kBinaryPlistHeaderSize]) ==
             kSixteenByteIntegerMarker;
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
  std::vector<std::uint8_t> encoded(bytes.get(), bytes.get() + length);
  support::wipe_bytes(bytes.get(), length);  // it may hold a key (SETUP phase 2)
  return encoded;
}

void wipe_plist_data(plist_t data) {
  if (data == nullptr || plist_get_node_type(data) != PLIST_DATA) return;
  std::uint64_t length = 0;
  // The library keeps the bytes in a buffer of its own and hands out a pointer to it.
  const char* bytes = plist_get_data_ptr(data, &length);
  support::wipe_bytes(const_cast<char*>(bytes), static_cast<std::size_t>(length));
}

support::Result<PlistValue> decode_binary_plist(std::span<const std::uint8_t> bytes) {
  if (bytes.size() > std::numeric_limits<std::uint32_t>::max()) {
    return support::fail(
        support::Error("property list is too large to read").context("decode binary plist"));
  }
  const bool binary = bytes.size() >= kBinaryPlistHeaderSize &&
                      plist_is_binary(reinterpret_cast<const char*>(bytes.data()),
                                      static_cast<std::uint32_t>(bytes.size())) != 0;
  // The integers are put into forms the library reads exactly first; the checks then look at
  // exactly what the library will be given.
  std::vector<std::uint8_t> rewritten;
  std::span<const std::uint8_t> input = bytes;
  auto rewrite = rewrite_plist_integers(bytes, binary);
  if (auto* refusal = std::get_if<PlistIntegersRefused>(&rewrite)) {
    return support::fail(support::Error(std::move(refusal->reason)).context("decode binary plist"));
  }
  if (auto* replaced = std::get_if<std::vector<std::uint8_t>>(&rewrite)) {
    rewritten = std::move(*replaced);
    input = rewritten;
  }
  if (input.size() > std::numeric_limits<std::uint32_t>::max()) {
    return support::fail(
        support::Error("property list is too large to read").context("decode binary plist"));
  }
  if (auto refusal = plist_input_refusal(input, binary)) {
    return support::fail(support::Error(std::move(*refusal)).context("decode binary plist"));
  }
  plist_t raw = nullptr;
  plist_from_memory(reinterpret_cast<const char*>(input.data()),
                    static_cast<std::uint32_t>(input.size()), &raw);
  if (raw == nullptr) {
    return support::fail(
        support::Error("not a binary or XML property list").context("decode binary plist"));
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
