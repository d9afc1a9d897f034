#include "discovery/browse_query.hpp"

#include <string_view>

#include "discovery/device_view.hpp"

namespace kestrune::discovery {
namespace {

constexpr std::uint16_t kQuestionCount = 2;
constexpr std::uint16_t kClassIn = 1;
constexpr std::size_t kMaxLabelBytes = 63;
constexpr std::size_t kMaxNameWireBytes = 255;

void put_u16(std::vector<std::uint8_t>& out, std::uint16_t value) {
  out.push_back(static_cast<std::uint8_t>(value >> 8));
  out.push_back(static_cast<std::uint8_t>(value));
}

// Each piece between dots as a length byte and its bytes, then the root's zero byte.
void put_name(std::vector<std::uint8_t>& out, std::string_view dotted) {
  while (!dotted.empty()) {
    const std::size_t dot = dotted.find('.');
    const std::string_view label = dotted.substr(0, dot);
    out.push_back(static_cast<std::uint8_t>(label.size()));
    out.insert(out.end(), label.begin(), label.end());
    dotted = dot == std::string_view::npos ? std::string_view() : dotted.substr(dot + 1);
  }
  out.push_back(0);
}

// Whether put_name writes `dotted` as the name it spells.
bool is_writable_name(std::string_view dotted) {
  if (dotted.empty() || dotted.size() + 2 > kMaxNameWireBytes) return false;
  while (true) {
    const std::size_t dot = dotted.find('.');
    const std::string_view label = dotted.substr(0, dot);
    if (label.empty() || label.size() > kMaxLabelBytes) return false;
    if (dot == std::string_view::npos) return true;
    dotted = dotted.substr(dot + 1);
  }
}

void put_header(std::vector<std::uint8_t>& out, std::uint16_t questions) {
  put_u16(out, 0);  // ID
  put_u16(out, 0);  // flags: a standard query
  put_u16(out, questions);
  put_u16(out, 0);  // answers
  put_u16(out, 0);  // authority records
  put_u16(out, 0);  // additional records
}

void put_ptr_question(std::vector<std::uint8_t>& out, std::string_view service) {
  put_name(out, service);
  put_u16(out, kTypePtr);
  put_u16(out, kClassIn);
}

}  // namespace

std::vector<std::uint8_t> build_browse_query() {
  std::vector<std::uint8_t> query;
  query.reserve(kBrowseQueryBytes);
  put_header(query, kQuestionCount);
  put_ptr_question(query, kAirplayService);
  put_ptr_question(query, kRaopService);
  return query;
}

std::optional<std::vector<std::uint8_t>> build_record_query(std::string_view name,
                                                            std::uint16_t type) {
  const RecordQuestion question{std::string(name), type};
  return build_record_query(std::span(&question, 1));
}

std::optional<std::vector<std::uint8_t>> build_record_query(
    std::span<const RecordQuestion> questions) {
  std::vector<std::uint8_t> query;
  put_header(query, 0);
  std::uint16_t written = 0;
  for (const RecordQuestion& question : questions) {
    if (!is_writable_name(question.name) || written == UINT16_MAX) continue;
    put_name(query, question.name);
    put_u16(query, question.type);
    put_u16(query, kClassIn);
    ++written;
  }
  if (written == 0) return std::nullopt;
  query[4] = static_cast<std::uint8_t>(written >> 8);
  query[5] = static_cast<std::uint8_t>(written);
  return query;
}

}  // namespace kestrune::discovery
