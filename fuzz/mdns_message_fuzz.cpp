// Any datagram: decoding either refuses it or yields records that keep every promise of
// MdnsRecord (normalised names within their limits, data matching the type, bounded counts).

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <variant>

#include "discovery/dns_name.hpp"
#include "discovery/mdns_message.hpp"

namespace {

using namespace kestrune::discovery;

void require(bool condition) {
  if (!condition) __builtin_trap();
}

bool is_normalised(const std::string& name) {
  if (name.size() > kMaxNameTextBytes || (!name.empty() && name.back() == '.')) return false;
  for (char c : name) {
    if (c >= 'A' && c <= 'Z') return false;
  }
  return true;
}

void check_record(const MdnsRecord& record) {
  require(is_normalised(record.owner_name));
  switch (record.type) {
    case kTypeA:
      require(std::holds_alternative<ARecordData>(record.data));
      break;
    case kTypePtr: {
      const auto& ptr = std::get<PtrRecordData>(record.data);
      require(is_normalised(ptr.target));
      require(normalize_dns_name(ptr.target_as_received) == ptr.target);
      break;
    }
    case kTypeSrv:
      require(is_normalised(std::get<SrvRecordData>(record.data).target));
      break;
    case kTypeTxt: {
      const auto& txt = std::get<TxtRecordData>(record.data);
      require(txt.entries.size() <= kMaxTxtKeys);
      for (const auto& [key, value] : txt.entries) {
        require(!key.empty() && key.size() <= kMaxTxtKeyBytes && value.size() <= kMaxTxtValueBytes);
      }
      break;
    }
    default:
      require(false);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::span<const std::uint8_t> datagram(data, size);
  if (const auto records = decode_mdns_message(datagram)) {
    require(records->size() <= kMaxRecords);
    for (const MdnsRecord& record : *records) check_record(record);
  }
  // A name from anywhere in the message, as a record's RDATA would reach it.
  if (size > 0) {
    const auto name = decode_dns_name(datagram, data[0] % size);
    if (name) require(name->text.size() <= kMaxNameTextBytes && name->next_offset <= size);
  }
  return 0;
}
