#include "engine/crypto/vector_registers.hpp"

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace kestrune::engine {

#if defined(__x86_64__)

namespace {

// Compiled for AVX on its own, so it is never inlined into code that may run without it.
[[gnu::target("avx")]] void zero_upper_halves() { _mm256_zeroupper(); }

}  // namespace

void clear_upper_vector_registers() {
  // Also false when the operating system does not keep the AVX state, where VZEROUPPER would trap.
  static const bool has_avx = __builtin_cpu_supports("avx");
  if (has_avx) zero_upper_halves();
}

#else

void clear_upper_vector_registers() {}

#endif

}  // namespace kestrune::engine
