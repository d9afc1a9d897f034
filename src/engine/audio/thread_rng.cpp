#include "engine/audio/thread_rng.hpp"

#include <array>
#include <cstdint>
#include <span>

#include "platform/os_random.hpp"
#include "support/thread.hpp"

namespace kestrune::engine {

namespace {

ThreadRng seeded_generator() {
  std::array<std::uint64_t, 4> seed{};
  auto bytes = std::as_writable_bytes(std::span(seed));
  auto filled = platform::fill_os_random(
      std::span(reinterpret_cast<std::uint8_t*>(bytes.data()), bytes.size()));
  if (!filled)
    support::end_thread("seed the thread's random generator: " + filled.error().describe());
  // All zeros is the one state the generator never leaves: unlikely, but cheap to rule out.
  if (seed == std::array<std::uint64_t, 4>{}) seed[0] = 1;
  return ThreadRng(seed);
}

}  // namespace

ThreadRng& thread_rng() {
  thread_local ThreadRng generator = seeded_generator();
  return generator;
}

}  // namespace kestrune::engine
