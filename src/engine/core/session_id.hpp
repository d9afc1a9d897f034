#pragma once
// A session's identifier: a random version-4 UUID, carried by every event of the session and shown
// to the host as 36 lower-case characters (8-4-4-4-12 hexadecimal digits).

#include <array>
#include <cstdint>
#include <string>

#include "support/error.hpp"

namespace kestrune::engine {

using SessionId = std::array<std::uint8_t, 16>;

// 16 bytes from the OS random source with the version (4) and variant (10xx) bits set.
support::Result<SessionId> make_session_id();

// "xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx" in lower case.
std::string session_id_text(const SessionId& id);

}  // namespace kestrune::engine
