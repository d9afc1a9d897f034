#include "shell/payload_fields.hpp"

#include <cmath>
#include <utility>

namespace kestrune::shell::payload_fields {
namespace {

// The midpoint between the largest float and 2^128: from here on a double rounds to infinity
// (the midpoint itself goes to infinity too, as the largest float's last digit is odd).
constexpr double kFloatOverflowThreshold = 0x1.ffffffp127;

float round_to_float(double number) {
  if (std::isnan(number)) return std::numeric_limits<float>::quiet_NaN();
  if (std::fabs(number) >= kFloatOverflowThreshold) {
    return std::signbit(number) ? -std::numeric_limits<float>::infinity()
                                : std::numeric_limits<float>::infinity();
  }
  return static_cast<float>(number);
}

}  // namespace

bool decode_string(const nlohmann::json& value, std::string& out) {
  if (!value.is_string()) return false;
  out = value.get_ref<const nlohmann::json::string_t&>();
  return true;
}

bool decode_float(const nlohmann::json& value, float& out) {
  switch (value.type()) {
    case nlohmann::json::value_t::number_unsigned:
      out = static_cast<float>(value.get<nlohmann::json::number_unsigned_t>());
      return true;
    case nlohmann::json::value_t::number_integer: {
      // Plain digits are unsigned, so a signed zero here was written "-0": minus zero.
      const auto number = value.get<nlohmann::json::number_integer_t>();
      out = number == 0 ? -0.0F : static_cast<float>(number);
      return true;
    }
    case nlohmann::json::value_t::number_float:
      out = round_to_float(value.get<nlohmann::json::number_float_t>());
      return true;
    default:
      return false;
  }
}

bool decode_string_array(const nlohmann::json& value, std::vector<std::string>& out) {
  if (!value.is_array()) return false;
  std::vector<std::string> strings;
  strings.reserve(value.size());
  for (const auto& element : value) {
    if (!element.is_string()) return false;
    strings.push_back(element.get<std::string>());
  }
  out = std::move(strings);
  return true;
}

}  // namespace kestrune::shell::payload_fields
