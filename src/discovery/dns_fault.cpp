#include "discovery/dns_fault.hpp"

namespace kestrune::discovery {

std::string_view describe_dns_fault(DnsFault fault) {
  switch (fault) {
    case DnsFault::message_too_short:
      return "message shorter than its header";
    case DnsFault::too_many_questions:
      return "too many questions";
    case DnsFault::too_many_records:
      return "too many records";
    case DnsFault::question_truncated:
      return "question runs past the end";
    case DnsFault::record_truncated:
      return "record runs past the end";
    case DnsFault::name_past_end:
      return "name runs past the end";
    case DnsFault::label_not_utf8:
      return "label is not UTF-8";
    case DnsFault::name_too_long:
      return "name longer than 255 bytes";
    case DnsFault::too_many_labels:
      return "name with more than 64 labels";
    case DnsFault::reserved_label_type:
      return "reserved label type";
    case DnsFault::pointer_past_end:
      return "compression pointer past the end";
    case DnsFault::too_many_jumps:
      return "more than 16 compression pointers";
    case DnsFault::pointer_loop:
      return "compression pointer loop";
    case DnsFault::name_past_rdata:
      return "name ends after its RDATA";
    case DnsFault::srv_too_short:
      return "SRV RDATA shorter than 6 bytes";
    case DnsFault::txt_too_long:
      return "TXT RDATA longer than 2048 bytes";
    case DnsFault::txt_too_many_keys:
      return "TXT record with more than 64 keys";
    case DnsFault::txt_string_past_end:
      return "TXT string runs past its RDATA";
    case DnsFault::txt_not_utf8:
      return "TXT string is not UTF-8";
    case DnsFault::txt_empty_key:
      return "TXT string with an empty key";
    case DnsFault::txt_key_too_long:
      return "TXT key longer than 64 bytes";
  }
  return "unknown DNS fault";
}

}  // namespace kestrune::discovery
