#pragma once
// The one DNS message discovery ever sends: a standard query (ID 0, flags 0) with two PTR
// questions of class IN, unicast-response bit clear, for "_airplay._tcp.local" and
// "_raop._tcp.local", written without name compression: 59 bytes.

#include <cstddef>
#include <cstdint>
#include <vector>

namespace kestrune::discovery {

inline constexpr std::size_t kBrowseQueryBytes = 59;

std::vector<std::uint8_t> build_browse_query();

}  // namespace kestrune::discovery
