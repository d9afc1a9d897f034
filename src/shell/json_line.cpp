#include "shell/json_line.hpp"

#include <array>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <exception>
#include <string_view>
#include <utility>
#include <vector>

namespace kestrune::shell {
namespace {

using nlohmann::json;

// Builds the value from the parser's events without recursion, refusing nesting deeper than the
// protocol allows before anything of the deeper level is stored.
class BoundedDomBuilder {
 public:
  bool null() { return store(json(nullptr)); }
  bool boolean(bool value) { return store(json(value)); }
  bool number_integer(json::number_integer_t value) { return store(json(value)); }
  bool number_unsigned(json::number_unsigned_t value) { return store(json(value)); }
  bool number_float(json::number_float_t value, const json::string_t&) {
    return store(json(value));
  }
  bool string(json::string_t& value) { return store(json(std::move(value))); }
  bool binary(json::binary_t&) { return false; }  // never produced by the JSON text format

  bool start_object(std::size_t) { return open(json::value_t::object); }
  bool key(json::string_t& name) {
    // operator[] finds an earlier member of the same key, so its value is overwritten.
    member_ = &(*open_.back())[std::move(name)];
    return true;
  }
  bool end_object() { return close(); }
  bool start_array(std::size_t) { return open(json::value_t::array); }
  bool end_array() { return close(); }

  bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) {
    return false;
  }

  json take_root() { return std::move(root_); }

 private:
  json* place(json value) {
    if (open_.empty()) {
      root_ = std::move(value);
      return &root_;
    }
    json& parent = *open_.back();
    if (parent.is_array()) {
      parent.get_ref<json::array_t&>().push_back(std::move(value));
      return &parent.get_ref<json::array_t&>().back();
    }
    *member_ = std::move(value);
    return member_;
  }

  bool store(json value) {
    place(std::move(value));
    return true;
  }

  bool open(json::value_t kind) {
    if (open_.size() >= kMaxJsonNesting) return false;
    open_.push_back(place(json(kind)));
    return true;
  }

  bool close() {
    open_.pop_back();
    return true;
  }

  json root_;
  std::vector<json*> open_;  // the containers still open, innermost last
  json* member_ = nullptr;   // the member slot named by the last key
};

}  // namespace

std::optional<nlohmann::json> parse_json_line(std::string_view text) {
  // The parser would skip a byte-order mark and stop at a NUL byte as if the text ended there;
  // neither belongs in a JSON text.
  if (text.starts_with("\xEF\xBB\xBF")) return std::nullopt;
  if (text.find('\0') != std::string_view::npos) return std::nullopt;
  BoundedDomBuilder builder;
  const char* first = text.data();
  const char* last = text.data() + text.size();
  bool parsed = false;
  try {
    parsed = json::sax_parse(first, last, &builder, json::input_format_t::json, /*strict=*/true,
                             /*ignore_comments=*/false);
  } catch (const std::exception&) {
    // The SAX interface reports errors through parse_error; nothing is expected here. An
    // allocation failure on a hostile line still counts only as a malformed line.
    return std::nullopt;
  }
  if (!parsed) return std::nullopt;
  return builder.take_root();
}

namespace {

// Everything but a double as the library writes it compactly. Every string we write is valid
// UTF-8 (it was parsed from a line or is our own text); should one not be, it is repaired
// instead of failing the write.
void append_scalar(const json& value, std::string& out) {
  out += value.dump(-1, ' ', /*ensure_ascii=*/false, json::error_handler_t::replace);
}

// The fewest digits that read back as the same double (of two equally near, the even one), laid
// out as a host's JSON reader expects them from us: plain decimal with at least one digit after
// the point while the value has at most 16 integral digits and is not below 1e-5, otherwise one
// digit, the rest after a point, and an exponent without "+" or leading zeros ("1e16",
// "2.5e-7"). A value that is not finite is null.
void append_double(double value, std::string& out) {
  if (!std::isfinite(value)) {
    out += "null";
    return;
  }
  // "[-]d[.ddd]e(+|-)xx": 1 + 17 digits + point + "e-324" fit easily.
  std::array<char, 32> text{};
  const auto written =
      std::to_chars(text.data(), text.data() + text.size(), value, std::chars_format::scientific);
  std::string_view scientific(text.data(), static_cast<std::size_t>(written.ptr - text.data()));
  if (scientific.front() == '-') {
    out.push_back('-');
    scientific.remove_prefix(1);
  }
  const std::size_t e = scientific.find('e');
  std::array<char, 17> digits{};
  std::size_t length = 0;
  for (const char c : scientific.substr(0, e)) {
    if (c != '.') digits[length++] = c;
  }
  std::string_view exponent_text = scientific.substr(e + 1);
  if (exponent_text.front() == '+') exponent_text.remove_prefix(1);
  int exponent = 0;
  (void)std::from_chars(exponent_text.data(), exponent_text.data() + exponent_text.size(),
                        exponent);

  const int point = exponent + 1;  // digits before the decimal point; 10^(point-1) <= |value|
  const int count = static_cast<int>(length);
  const std::string_view all(digits.data(), length);
  if (point >= count && point <= 16) {  // 1234e3 -> 1234000.0
    out.append(all);
    out.append(static_cast<std::size_t>(point - count), '0');
    out += ".0";
  } else if (point > 0 && point <= 16) {  // 1234e-2 -> 12.34
    out.append(all.substr(0, static_cast<std::size_t>(point)));
    out.push_back('.');
    out.append(all.substr(static_cast<std::size_t>(point)));
  } else if (point > -5 && point <= 0) {  // 1234e-6 -> 0.001234
    out += "0.";
    out.append(static_cast<std::size_t>(-point), '0');
    out.append(all);
  } else {  // 1234e30 -> 1.234e33
    out.push_back(all.front());
    if (length > 1) {
      out.push_back('.');
      out.append(all.substr(1));
    }
    out.push_back('e');
    out += std::to_string(exponent);
  }
}

void append_value(const json& value, std::string& out) {
  switch (value.type()) {
    case json::value_t::object: {
      out.push_back('{');
      bool first = true;
      for (const auto& [key, member] : value.get_ref<const json::object_t&>()) {
        if (!first) out.push_back(',');
        first = false;
        append_scalar(json(key), out);
        out.push_back(':');
        append_value(member, out);
      }
      out.push_back('}');
      return;
    }
    case json::value_t::array: {
      out.push_back('[');
      bool first = true;
      for (const json& element : value.get_ref<const json::array_t&>()) {
        if (!first) out.push_back(',');
        first = false;
        append_value(element, out);
      }
      out.push_back(']');
      return;
    }
    case json::value_t::number_float:
      append_double(value.get<json::number_float_t>(), out);
      return;
    default:
      append_scalar(value, out);
      return;
  }
}

}  // namespace

void serialize_json_line(const nlohmann::json& value, std::string& out) {
  append_value(value, out);
}

std::string serialize_json_line(const nlohmann::json& value) {
  std::string out;
  serialize_json_line(value, out);
  return out;
}

}  // namespace kestrune::shell
