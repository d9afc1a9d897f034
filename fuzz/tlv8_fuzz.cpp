// TLV8 decoding of a receiver's pair-setup answers, the lookups made on them, and the property
// that what the encoder writes decodes back to the same values.

#include <cstddef>
#include <cstdint>
#include <map>
#include <span>

#include "engine/session/pair_setup.hpp"
#include "engine/session/tlv8.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace kestrune::engine;
  auto items = tlv8_decode(std::span<const std::uint8_t>(data, size));
  if (!items) {
    (void)items.error().text();
    (void)items.error().debug_text();
    return 0;
  }
  (void)check_pairing_error_item(*items);
  (void)check_pair_setup_m2(*items);
  (void)require_tlv_item(*items, tlv_type::kProof, "Proof");

  std::map<std::uint8_t, std::vector<std::uint8_t>> first_of_each;
  for (const Tlv8Item& item : *items) first_of_each.emplace(item.type, item.value);
  auto again = tlv8_decode(tlv8_encode(first_of_each));
  if (!again || again->size() != first_of_each.size()) __builtin_trap();
  auto expected = first_of_each.begin();
  for (const Tlv8Item& item : *again) {
    if (item.type != expected->first || item.value != expected->second) __builtin_trap();
    ++expected;
  }
  return 0;
}
