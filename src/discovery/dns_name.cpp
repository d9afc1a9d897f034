#include "discovery/dns_name.hpp"

#include <algorithm>
#include <array>
#include <string_view>

#include "support/utf8.hpp"

namespace kestrune::discovery {

DnsResult<DecodedName> decode_dns_name(std::span<const std::uint8_t> message, std::size_t offset) {
  DecodedName name;
  std::array<std::size_t, kMaxPointerJumps> visited{};
  std::size_t jumps = 0;
  std::size_t labels = 0;
  bool returned = false;

  // Each turn consumes a label or a jump; both are bounded, so this ends.
  while (true) {
    if (offset >= message.size()) return std::unexpected(DnsFault::name_past_end);
    const std::uint8_t length = message[offset];
    if (length == 0) {
      if (!returned) name.next_offset = offset + 1;
      return name;
    }
    if (length <= 63) {
      if (message.size() - offset - 1 < length) return std::unexpected(DnsFault::name_past_end);
      const std::string_view label(reinterpret_cast<const char*>(message.data() + offset + 1),
                                   length);
      if (!support::is_valid_utf8(label)) return std::unexpected(DnsFault::label_not_utf8);
      const std::size_t separator = labels == 0 ? 0 : 1;
      if (name.text.size() + separator + length > kMaxNameTextBytes) {
        return std::unexpected(DnsFault::name_too_long);
      }
      if (labels == kMaxNameLabels) return std::unexpected(DnsFault::too_many_labels);
      if (separator != 0) name.text += '.';
      name.text += label;
      ++labels;
      offset += 1 + std::size_t{length};
      continue;
    }
    if ((length & 0xC0) == 0xC0) {
      if (message.size() - offset < 2) return std::unexpected(DnsFault::name_past_end);
      const std::size_t target = std::size_t{length & 0x3Fu} << 8 | message[offset + 1];
      if (target >= message.size()) return std::unexpected(DnsFault::pointer_past_end);
      if (jumps == kMaxPointerJumps) return std::unexpected(DnsFault::too_many_jumps);
      const auto seen = visited.begin() + static_cast<std::ptrdiff_t>(jumps);
      if (std::find(visited.begin(), seen, target) != seen) {
        return std::unexpected(DnsFault::pointer_loop);
      }
      visited[jumps++] = target;
      if (!returned) {
        name.next_offset = offset + 2;
        returned = true;
      }
      offset = target;
      continue;
    }
    return std::unexpected(DnsFault::reserved_label_type);
  }
}

}  // namespace kestrune::discovery
