#pragma once
// Driving the real kestrune process as a host does, for the benches that time it: the startSession
// line for a file session with the test receiver, and reading until a line shows up.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "tests/support/kestrune_process.hpp"

namespace kestrune::bench {

// startSession for the WAV file at `wav_path`, to the receiver on 127.0.0.1:`port`.
inline std::string file_session_start_line(std::uint16_t port, const std::string& wav_path) {
  return R"({"version":1,"type":"command","requestId":"s","command":"startSession","payload":)"
         R"({"device":{"stableId":"bench","displayName":"Bench","addresses":["127.0.0.1"],"port":)" +
         std::to_string(port) + R"(},"audioSource":{"kind":"file","path":")" + wav_path +
         R"("},"initialVolume":0.5}})";
}

// Reads lines until one contains `text` and returns it; nothing when the process falls silent
// (10 s per line) or 400 lines pass without it.
inline std::optional<std::string> read_until(testing::KestruneProcess& process,
                                             std::string_view text) {
  for (int i = 0; i < 400; ++i) {
    auto line = process.read_line();
    if (!line) return std::nullopt;
    if (line->find(text) != std::string::npos) return line;
  }
  return std::nullopt;
}

}  // namespace kestrune::bench
