#include "discovery/mdns_message.hpp"

#include <algorithm>
#include <optional>
#include <string_view>
#include <utility>

#include "discovery/dns_name.hpp"
#include "support/utf8.hpp"

namespace kestrune::discovery {
namespace {

constexpr std::uint16_t kClassIn = 1;
constexpr std::uint16_t kCacheFlushBit = 0x8000;
constexpr std::size_t kRecordFixedBytes = 10;  // TYPE, CLASS, TTL, RDLENGTH
// A typical answer holds a handful of records; a larger count grows the list as records are kept.
constexpr std::size_t kRecordsReservedUpFront = 8;
// A TXT string is at most 255 bytes, so its value never exceeds the value limit.
static_assert(255 <= kMaxTxtValueBytes);

std::uint16_t read_u16(std::span<const std::uint8_t> bytes, std::size_t at) {
  return static_cast<std::uint16_t>(bytes[at] << 8 | bytes[at + 1]);
}

std::uint32_t read_u32(std::span<const std::uint8_t> bytes, std::size_t at) {
  return std::uint32_t{read_u16(bytes, at)} << 16 | read_u16(bytes, at + 2);
}

std::string_view as_text(std::span<const std::uint8_t> bytes) {
  return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

DnsResult<TxtEntries> decode_txt(std::span<const std::uint8_t> rdata) {
  if (rdata.size() > kMaxTxtRdataBytes) return std::unexpected(DnsFault::txt_too_long);
  TxtEntries entries;
  std::size_t pos = 0;
  // Each string consumes at least its length byte, so at most 2048 turns.
  while (pos < rdata.size()) {
    if (entries.size() >= kMaxTxtKeys) return std::unexpected(DnsFault::txt_too_many_keys);
    const std::size_t length = rdata[pos];
    if (rdata.size() - pos - 1 < length) return std::unexpected(DnsFault::txt_string_past_end);
    const std::string_view text = as_text(rdata.subspan(pos + 1, length));
    pos += 1 + length;
    if (!support::is_valid_utf8(text)) return std::unexpected(DnsFault::txt_not_utf8);

    const std::size_t equals = text.find('=');
    const std::string_view key = text.substr(0, equals);
    const std::string_view value =
        equals == std::string_view::npos ? std::string_view() : text.substr(equals + 1);
    if (key.empty()) return std::unexpected(DnsFault::txt_empty_key);
    if (key.size() > kMaxTxtKeyBytes) return std::unexpected(DnsFault::txt_key_too_long);

    std::string lower_key(key);
    for (char& c : lower_key) {
      if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    // A repeated key keeps its place and takes the later value.
    entries.insert_or_assign(std::move(lower_key), std::string(value));
  }
  return entries;
}

// A name inside RDATA: it may point anywhere in the message but must end within the RDATA.
DnsResult<DecodedName> decode_rdata_name(std::span<const std::uint8_t> datagram, std::size_t start,
                                         std::size_t rdata_end) {
  auto name = decode_dns_name(datagram, start);
  if (!name) return name;
  if (name->next_offset > rdata_end) return std::unexpected(DnsFault::name_past_rdata);
  return name;
}

// The record's data, nothing for a record that is skipped, or the fault that refuses the datagram.
DnsResult<std::optional<RecordData>> decode_record_data(std::span<const std::uint8_t> datagram,
                                                        std::uint16_t type, std::size_t rdata_start,
                                                        std::size_t rdata_length) {
  const std::size_t rdata_end = rdata_start + rdata_length;
  switch (type) {
    case kTypeA: {
      if (rdata_length != 4) return std::nullopt;
      ARecordData a;
      std::copy_n(datagram.begin() + static_cast<std::ptrdiff_t>(rdata_start), 4,
                  a.address.bytes.begin());
      return a;
    }
    case kTypePtr: {
      auto target = decode_rdata_name(datagram, rdata_start, rdata_end);
      if (!target) return std::unexpected(target.error());
      PtrRecordData ptr;
      ptr.target = normalize_dns_name(target->text);
      ptr.target_as_received = std::move(target->text);
      return ptr;
    }
    case kTypeSrv: {
      if (rdata_length < 6) return std::unexpected(DnsFault::srv_too_short);
      auto target = decode_rdata_name(datagram, rdata_start + 6, rdata_end);
      if (!target) return std::unexpected(target.error());
      return SrvRecordData{normalize_dns_name(target->text), read_u16(datagram, rdata_start + 4)};
    }
    case kTypeTxt: {
      auto entries = decode_txt(datagram.subspan(rdata_start, rdata_length));
      if (!entries) return std::unexpected(entries.error());
      return TxtRecordData{std::move(*entries)};
    }
    default:
      return std::nullopt;
  }
}

}  // namespace

DnsResult<std::vector<MdnsRecord>> decode_mdns_message(std::span<const std::uint8_t> datagram) {
  if (datagram.size() < kDnsHeaderBytes) return std::unexpected(DnsFault::message_too_short);
  const std::size_t questions = read_u16(datagram, 4);
  const std::size_t record_count =
      std::size_t{read_u16(datagram, 6)} + read_u16(datagram, 8) + read_u16(datagram, 10);
  if (questions > kMaxQuestions) return std::unexpected(DnsFault::too_many_questions);
  if (record_count > kMaxRecords) return std::unexpected(DnsFault::too_many_records);

  std::size_t offset = kDnsHeaderBytes;
  for (std::size_t i = 0; i < questions; ++i) {
    auto name = decode_dns_name(datagram, offset);
    if (!name) return std::unexpected(name.error());
    if (datagram.size() - name->next_offset < 4) {
      return std::unexpected(DnsFault::question_truncated);
    }
    offset = name->next_offset + 4;
  }

  std::vector<MdnsRecord> records;
  records.reserve(std::min(record_count, kRecordsReservedUpFront));
  for (std::size_t i = 0; i < record_count; ++i) {
    auto owner = decode_dns_name(datagram, offset);
    if (!owner) return std::unexpected(owner.error());
    const std::size_t fixed = owner->next_offset;
    if (datagram.size() - fixed < kRecordFixedBytes) {
      return std::unexpected(DnsFault::record_truncated);
    }
    const std::uint16_t type = read_u16(datagram, fixed);
    const std::uint16_t record_class = read_u16(datagram, fixed + 2);
    const std::uint32_t ttl = read_u32(datagram, fixed + 4);
    const std::size_t rdata_length = read_u16(datagram, fixed + 8);
    const std::size_t rdata_start = fixed + kRecordFixedBytes;
    if (datagram.size() - rdata_start < rdata_length) {
      return std::unexpected(DnsFault::record_truncated);
    }
    offset = rdata_start + rdata_length;

    if ((record_class & ~kCacheFlushBit) != kClassIn) continue;
    auto data = decode_record_data(datagram, type, rdata_start, rdata_length);
    if (!data) return std::unexpected(data.error());
    if (!*data) continue;
    records.push_back(MdnsRecord{normalize_dns_name(owner->text), std::move(**data), ttl, type,
                                 (record_class & kCacheFlushBit) != 0});
  }
  return records;
}

}  // namespace kestrune::discovery
