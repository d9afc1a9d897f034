#include "engine/audio/thread_rng.hpp"

#include <array>
#include <cstdint>
#include <span>

#include "platform/os_random.hpp"
#include "support/thread.hpp"

namespace kestrune::engine {

namespace {

std::mt19937 seeded_generator() {
  std::array<std::uint32_t, 8> seed{};
  auto bytes = std::as_writable_bytes(std::span(seed));
  auto filled = platform::fill_os_random(
      std::span(reinterpret_cast<std::uint8_t*>(bytes.data()), bytes.size()));
  if (!filled) support::end_thread("seed the thread's random generator: " + filled.error().describe());
  std::seed_seq sequence(seed.begin(), seed.end());
  return std::mt19937(sequence);
}

}  // namespace

std::mt19937& thread_rng() {
  thread_local std::mt19937 generator = seeded_generator();
  return generator;
}

}  // namespace kestrune::engine
