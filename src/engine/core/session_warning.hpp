#pragma once
// Session warnings. Posts of the same (code, stage) pair are one warning, coalesced in the mailbox
// with an occurrence count until the event pump takes it. The engine posts only
// optional_request_rejected (at set_volume or feedback) and retransmit_malformed (at control);
// the other codes exist for the host's vocabulary.

#include <array>
#include <cstdint>
#include <string_view>

#include "engine/core/session_error.hpp"

namespace kestrune::engine {

enum class WarningCode : std::uint8_t {
  optional_request_rejected,
  events_unavailable,
  capture_queue_full,
  buffer_overflow,
  retransmit_malformed,
  shutdown_stage_forced,
  internal_contention,
};

inline constexpr std::array<std::string_view, 7> kWarningCodeNames = {
    "optional_request_rejected", "events_unavailable",    "capture_queue_full",  "buffer_overflow",
    "retransmit_malformed",      "shutdown_stage_forced", "internal_contention",
};

// The value's name from the table above; a value no enumerator has is "unknown"
// (support/enum_names.hpp).
std::string_view wire_name(WarningCode code);

struct WarningKey {
  WarningCode code = WarningCode::optional_request_rejected;
  SessionStage stage = SessionStage::internal;

  friend bool operator==(const WarningKey&, const WarningKey&) = default;
};

}  // namespace kestrune::engine
