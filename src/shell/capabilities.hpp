#pragma once
// What kestrune tells the host about itself: the capabilities object (in the hello result and as
// the getCapabilities result), the hello result and the "ready" event's payload.

#include <cstddef>

#include <nlohmann/json.hpp>

namespace kestrune::shell {

inline constexpr const char* kKestruneName = "kestrune";
// KESTRUNE_VERSION is the project version, passed in by the build (src/shell/CMakeLists.txt).
inline constexpr const char* kKestruneVersion = KESTRUNE_VERSION;
inline constexpr std::size_t kMaxRequestIdBytes = 128;
inline constexpr std::size_t kMaxCommandNameBytes = 64;

nlohmann::json capabilities_to_json();

// {name, kestruneVersion, protocolVersion, capabilities}.
nlohmann::json hello_result();

// {name, kestruneVersion, protocolVersion, maxInputLineBytes}.
nlohmann::json ready_payload();

}  // namespace kestrune::shell
