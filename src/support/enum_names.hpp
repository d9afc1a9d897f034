#pragma once
// The text of an enumeration's value, from a table of names indexed by the value. One rule for a
// value past the table, which no enumerator can give (only a cast or a damaged byte can): it is
// named kUnknownName, so it is neither read past the table nor passed off as a value that exists.

#include <array>
#include <cstddef>
#include <string_view>
#include <type_traits>

namespace kestrune::support {

inline constexpr std::string_view kUnknownName = "unknown";

template <class Enum, std::size_t N>
  requires std::is_enum_v<Enum>
constexpr std::string_view enum_name(const std::array<std::string_view, N>& names, Enum value) {
  const auto index = static_cast<std::size_t>(value);
  return index < N ? names[index] : kUnknownName;
}

}  // namespace kestrune::support
