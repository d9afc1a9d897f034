#pragma once
// The DNS queries discovery sends, standard queries (ID 0, flags 0) of class IN with the
// unicast-response bit clear, written without name compression: the browse query, with two PTR
// questions for "_airplay._tcp.local" and "_raop._tcp.local" (59 bytes), and the follow-up query
// of one name and type that asks a receiver for records its answer left out.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace kestrune::discovery {

inline constexpr std::size_t kBrowseQueryBytes = 59;

std::vector<std::uint8_t> build_browse_query();

struct RecordQuestion {
  std::string name;  // dotted; split at "." when written
  std::uint16_t type = 0;
  friend bool operator==(const RecordQuestion&, const RecordQuestion&) = default;
};

// One question for `name` and `type`. Nothing when the name cannot be written: an empty label, a
// label over 63 bytes or a name over 255 bytes on the wire.
std::optional<std::vector<std::uint8_t>> build_record_query(std::string_view name,
                                                            std::uint16_t type);
// The questions in order, leaving out those whose name cannot be written; nothing when none can.
std::optional<std::vector<std::uint8_t>> build_record_query(
    std::span<const RecordQuestion> questions);

}  // namespace kestrune::discovery
