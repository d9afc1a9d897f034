#pragma once
// A test seam of SessionError: its three fields as the bytes of one number (code, stage, then
// retryable), for tables of cases and for values outside the enumerations. Compiled into the
// library; included only by tests.

#include <cstdint>

#include "engine/core/session_error.hpp"

namespace kestrune::engine {

std::uint32_t pack_session_error(const SessionError& error);
// Bytes outside the enumerations (a code above 12, a stage above 15) become internal_error and
// internal, so an unpacked value is always one the tables can name; retryable is any non-zero
// third byte.
SessionError unpack_session_error(std::uint32_t packed);

}  // namespace kestrune::engine
