#pragma once
// A DNS message writer for tests, benchmarks and fuzz seeds: it writes exactly what it is told,
// faults included (bad counts, loops, oversize labels), so datagrams read as what they contain
// instead of hand-typed hex. Header-only, needing the standard library and the platform's address
// value alone, so that programs outside the test tree can include it too.

#include <array>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/ip_address.hpp"

namespace kestrune::testing {

class DnsMessageBuilder {
 public:
  enum class Section { answer, authority, additional };
  static constexpr std::uint16_t kClassIn = 1;
  static constexpr std::uint16_t kCacheFlush = 0x8000;

  DnsMessageBuilder() : bytes_(12, 0) {}

  // Header counts follow what question() and begin_record() wrote unless set here.
  DnsMessageBuilder& set_counts(std::uint16_t questions, std::uint16_t answers,
                                std::uint16_t authority, std::uint16_t additional) {
    counts_override_ = {questions, answers, authority, additional};
    return *this;
  }
  // Which count the next records go to.
  DnsMessageBuilder& section(Section section) {
    section_ = section;
    return *this;
  }

  std::size_t offset() const { return bytes_.size(); }

  DnsMessageBuilder& u8(std::uint8_t value) {
    bytes_.push_back(value);
    return *this;
  }
  DnsMessageBuilder& u16(std::uint16_t value) {
    return u8(static_cast<std::uint8_t>(value >> 8)).u8(static_cast<std::uint8_t>(value));
  }
  DnsMessageBuilder& u32(std::uint32_t value) {
    return u16(static_cast<std::uint16_t>(value >> 16)).u16(static_cast<std::uint16_t>(value));
  }
  DnsMessageBuilder& raw(std::span<const std::uint8_t> bytes) {
    bytes_.insert(bytes_.end(), bytes.begin(), bytes.end());
    return *this;
  }
  DnsMessageBuilder& raw(std::string_view text) {
    bytes_.insert(bytes_.end(), text.begin(), text.end());
    return *this;
  }

  // One label: its length byte (the text's size, even above 63) and its bytes.
  DnsMessageBuilder& label(std::string_view text) {
    return u8(static_cast<std::uint8_t>(text.size())).raw(text);
  }
  DnsMessageBuilder& end_name() { return u8(0); }
  // A compression pointer to an offset (14 bits).
  DnsMessageBuilder& pointer(std::size_t target) {
    return u16(static_cast<std::uint16_t>(0xC000 | (target & 0x3FFF)));
  }
  // A whole name, split at "." ("" is the root); returns where it starts.
  std::size_t name(std::string_view dotted) {
    const std::size_t start = offset();
    labels_of(dotted);
    end_name();
    return start;
  }
  // Labels of a dotted name followed by a pointer instead of the terminating zero.
  std::size_t name_then_pointer(std::string_view dotted, std::size_t target) {
    const std::size_t start = offset();
    labels_of(dotted);
    pointer(target);
    return start;
  }

  DnsMessageBuilder& question(std::string_view qname, std::uint16_t type = 12,
                              std::uint16_t qclass = kClassIn) {
    name(qname);
    u16(type).u16(qclass);
    ++counts_[0];
    return *this;
  }

  // A record whose owner name is already written (by name(), labels or a pointer): TYPE, CLASS,
  // TTL and an RDLENGTH that end_record() fills in from the RDATA written in between.
  DnsMessageBuilder& begin_record_fields(std::uint16_t type, std::uint16_t record_class,
                                         std::uint32_t ttl) {
    u16(type).u16(record_class).u32(ttl);
    rdlength_at_ = offset();
    u16(0);
    ++counts_[1 + static_cast<std::size_t>(section_)];
    return *this;
  }
  DnsMessageBuilder& begin_record(std::string_view owner, std::uint16_t type,
                                  std::uint16_t record_class, std::uint32_t ttl) {
    name(owner);
    return begin_record_fields(type, record_class, ttl);
  }
  DnsMessageBuilder& end_record() {
    const std::size_t length = offset() - *rdlength_at_ - 2;
    bytes_[*rdlength_at_] = static_cast<std::uint8_t>(length >> 8);
    bytes_[*rdlength_at_ + 1] = static_cast<std::uint8_t>(length);
    rdlength_at_.reset();
    return *this;
  }
  // Where the RDATA of the record being written starts.
  std::size_t rdata_offset() const { return *rdlength_at_ + 2; }

  DnsMessageBuilder& record(std::string_view owner, std::uint16_t type, std::uint16_t record_class,
                            std::uint32_t ttl, std::span<const std::uint8_t> rdata) {
    return begin_record(owner, type, record_class, ttl).raw(rdata).end_record();
  }
  DnsMessageBuilder& a(std::string_view owner, const platform::IpAddress& address,
                       std::uint32_t ttl = 120, bool cache_flush = false) {
    return begin_record(owner, 1, class_of(cache_flush), ttl)
        .raw(std::span(address.bytes).first<4>())
        .end_record();
  }
  DnsMessageBuilder& ptr(std::string_view owner, std::string_view target,
                         std::uint32_t ttl = 4500) {
    begin_record(owner, 12, kClassIn, ttl);
    name(target);
    return end_record();
  }
  DnsMessageBuilder& srv(std::string_view owner, std::uint16_t port, std::string_view target,
                         std::uint32_t ttl = 120, bool cache_flush = false) {
    begin_record(owner, 33, class_of(cache_flush), ttl).u16(0).u16(0).u16(port);
    name(target);
    return end_record();
  }
  DnsMessageBuilder& txt(std::string_view owner, std::initializer_list<std::string_view> strings,
                         std::uint32_t ttl = 4500, bool cache_flush = false) {
    return txt(owner, std::vector<std::string>(strings.begin(), strings.end()), ttl, cache_flush);
  }
  DnsMessageBuilder& txt(std::string_view owner, const std::vector<std::string>& strings,
                         std::uint32_t ttl = 4500, bool cache_flush = false) {
    begin_record(owner, 16, class_of(cache_flush), ttl);
    for (const std::string& text : strings) label(text);
    return end_record();
  }

  std::vector<std::uint8_t> bytes() const {
    std::vector<std::uint8_t> message = bytes_;
    const std::array<std::uint16_t, 4> counts = counts_override_.value_or(counts_);
    for (std::size_t i = 0; i < counts.size(); ++i) {
      message[4 + 2 * i] = static_cast<std::uint8_t>(counts[i] >> 8);
      message[5 + 2 * i] = static_cast<std::uint8_t>(counts[i]);
    }
    return message;
  }

 private:
  static std::uint16_t class_of(bool cache_flush) {
    return cache_flush ? (kClassIn | kCacheFlush) : kClassIn;
  }
  void labels_of(std::string_view dotted) {
    while (!dotted.empty()) {
      const std::size_t dot = dotted.find('.');
      label(dotted.substr(0, dot));
      dotted = dot == std::string_view::npos ? std::string_view() : dotted.substr(dot + 1);
    }
  }

  std::vector<std::uint8_t> bytes_;
  std::array<std::uint16_t, 4> counts_{};
  std::optional<std::array<std::uint16_t, 4>> counts_override_;
  std::optional<std::size_t> rdlength_at_;
  Section section_ = Section::answer;
};

}  // namespace kestrune::testing
