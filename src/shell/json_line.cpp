#include "shell/json_line.hpp"

#include <cstdint>
#include <exception>
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

void serialize_json_line(const nlohmann::json& value, std::string& out) {
  // Every string we write is valid UTF-8 (it was parsed from a line or is our own text); should
  // one not be, it is repaired instead of failing the write.
  out += value.dump(-1, ' ', /*ensure_ascii=*/false, json::error_handler_t::replace);
}

std::string serialize_json_line(const nlohmann::json& value) {
  std::string out;
  serialize_json_line(value, out);
  return out;
}

}  // namespace kestrune::shell
