#pragma once
// The decoding rules that every command payload shares, one function per kind of field, and the
// record procedure that reads a payload type from its object form or its array form. Each returns
// false when the value does not decode; the caller then refuses the whole payload.

#include <array>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

namespace kestrune::shell::payload_fields {

// A JSON string of any length.
bool decode_string(const nlohmann::json& value, std::string& out);

// A JSON number written as plain digits (no sign, fraction or exponent) that fits `Unsigned`.
template <class Unsigned>
bool decode_unsigned(const nlohmann::json& value, Unsigned& out) {
  static_assert(std::numeric_limits<Unsigned>::is_integer &&
                !std::numeric_limits<Unsigned>::is_signed);
  if (!value.is_number_unsigned()) return false;
  const auto number = value.get<nlohmann::json::number_unsigned_t>();
  if (number > std::numeric_limits<Unsigned>::max()) return false;
  out = static_cast<Unsigned>(number);
  return true;
}

// Any JSON number, rounded to the nearest float (ties to even); beyond the float range it becomes
// infinite. An integer that fits 64 bits is rounded from its exact value; "-0" is minus zero, as
// "-0.0" is.
bool decode_float(const nlohmann::json& value, float& out);

// A JSON array of strings.
bool decode_string_array(const nlohmann::json& value, std::vector<std::string>& out);

// One field of a payload type: its key, whether it may be left out (absent or null), and how its
// value goes into the record.
template <class Record>
struct Field {
  std::string_view name;
  bool optional;
  bool (*decode)(const nlohmann::json& value, Record& record);
};

// Object form: every key must name a field, every required field must be there; absent or null
// optional fields stay unset. Array form: elements are the fields in declared order, null for an
// optional one; trailing optional fields may be left out; more elements than fields fail.
template <class Record, std::size_t N>
bool decode_record(const nlohmann::json& value, const std::array<Field<Record>, N>& fields,
                   Record& record) {
  if (value.is_object()) {
    std::array<bool, N> present{};
    for (const auto& [key, member] : value.get_ref<const nlohmann::json::object_t&>()) {
      std::size_t index = 0;
      while (index < N && fields[index].name != key) ++index;
      if (index == N) return false;
      present[index] = true;
      if (member.is_null() && fields[index].optional) continue;
      if (!fields[index].decode(member, record)) return false;
    }
    for (std::size_t index = 0; index < N; ++index) {
      if (!present[index] && !fields[index].optional) return false;
    }
    return true;
  }
  if (value.is_array()) {
    if (value.size() > N) return false;
    for (std::size_t index = 0; index < N; ++index) {
      if (index >= value.size()) {
        if (!fields[index].optional) return false;
        continue;
      }
      const nlohmann::json& element = value[index];
      if (element.is_null() && fields[index].optional) continue;
      if (!fields[index].decode(element, record)) return false;
    }
    return true;
  }
  return false;
}

}  // namespace kestrune::shell::payload_fields
