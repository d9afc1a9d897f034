#pragma once
// Why a datagram was refused. A refused datagram is dropped whole and silently; the reason only
// lets tests (and a curious reader) see which rule fired.

#include <cstdint>
#include <expected>
#include <string_view>

namespace kestrune::discovery {

enum class DnsFault : std::uint8_t {
  message_too_short,   // fewer than 12 bytes
  too_many_questions,  // QDCOUNT above 256
  too_many_records,    // ANCOUNT + NSCOUNT + ARCOUNT above 256
  question_truncated,  // QTYPE and QCLASS run past the end
  record_truncated,    // the fixed fields or the RDATA run past the end
  name_past_end,       // a name runs off the end of the message
  label_not_utf8,
  name_too_long,        // more than 255 bytes of text
  too_many_labels,      // more than 64 labels
  reserved_label_type,  // a length byte from 0x40 to 0xBF
  pointer_past_end,     // a compression pointer aims at or past the end
  too_many_jumps,       // a 17th compression pointer
  pointer_loop,         // a compression pointer aims where this name already went
  name_past_rdata,      // a PTR or SRV name ends after its RDATA
  srv_too_short,        // SRV RDLENGTH below 6
  txt_too_long,         // TXT RDLENGTH above 2048
  txt_too_many_keys,    // a string after 64 distinct keys
  txt_string_past_end,  // a TXT string runs past RDLENGTH
  txt_not_utf8,
  txt_empty_key,     // an empty string, or one that starts with "="
  txt_key_too_long,  // more than 64 bytes
};

template <class T>
using DnsResult = std::expected<T, DnsFault>;

std::string_view describe_dns_fault(DnsFault fault);

}  // namespace kestrune::discovery
