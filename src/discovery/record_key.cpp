#include "discovery/record_key.hpp"

#include <string_view>
#include <type_traits>
#include <variant>

#include "discovery/keyed_hash.hpp"

namespace kestrune::discovery {
namespace {

std::string data_text_of(const RecordData& data) {
  return std::visit(
      [](const auto& value) -> std::string {
        using Data = std::decay_t<decltype(value)>;
        if constexpr (std::is_same_v<Data, ARecordData>) {
          return value.address.to_string();
        } else if constexpr (std::is_same_v<Data, PtrRecordData>) {
          return value.target;
        } else if constexpr (std::is_same_v<Data, SrvRecordData>) {
          return std::to_string(value.port) + ':' + value.target;
        } else {
          std::string text;
          for (const auto& [key, entry] : value.entries) {
            text += key;
            text += '=';
            text += entry;
            text += '\0';
          }
          return text;
        }
      },
      data);
}

void hash_interface_part(SipHasher& hasher, std::uint16_t type, bool interface_present,
                         std::uint32_t interface_address) {
  hasher.update_u64(std::uint64_t{type} << 40 | std::uint64_t{interface_present} << 32 |
                    interface_address);
}

}  // namespace

std::size_t RecordKeyHash::operator()(const RecordKey& key) const {
  SipHasher hasher(process_hash_key());
  hasher.update_text(key.owner_name);
  hasher.update_text(key.data_text);
  hash_interface_part(hasher, key.type, key.interface_present, key.interface_address);
  return static_cast<std::size_t>(hasher.finish());
}

std::size_t FlushKeyHash::operator()(const FlushKey& key) const {
  SipHasher hasher(process_hash_key());
  hasher.update_text(key.owner_name);
  hash_interface_part(hasher, key.type, key.interface_present, key.interface_address);
  return static_cast<std::size_t>(hasher.finish());
}

RecordKey record_cache_key(const MdnsRecord& record,
                           const platform::Ipv4InterfaceAddress& receiving) {
  const bool is_address = std::holds_alternative<ARecordData>(record.data);
  return RecordKey{record.owner_name, data_text_of(record.data), record.type, is_address,
                   is_address ? receiving.address.v4_value() : 0};
}

FlushKey flush_key_of(const RecordKey& key) {
  return FlushKey{key.owner_name, key.type, key.interface_present, key.interface_address};
}

FlushKey flush_key_of(const MdnsRecord& record, const platform::Ipv4InterfaceAddress& receiving) {
  const bool is_address = std::holds_alternative<ARecordData>(record.data);
  return FlushKey{record.owner_name, record.type, is_address,
                  is_address ? receiving.address.v4_value() : 0};
}

}  // namespace kestrune::discovery
