#include "platform/stack_wipe.hpp"

#include <alloca.h>
#include <pthread.h>
#include <string.h>

#include <algorithm>
#include <cstdint>

namespace kestrune::platform {

namespace {

constexpr std::uintptr_t kPage = 4096;

// The lowest address of the calling thread's stack, or 0 when it cannot be told.
std::uintptr_t stack_low_end() {
  pthread_attr_t attributes;
  if (pthread_getattr_np(pthread_self(), &attributes) != 0) return 0;
  void* low = nullptr;
  std::size_t size = 0;
  const int got = pthread_attr_getstack(&attributes, &low, &size);
  pthread_attr_destroy(&attributes);
  return got == 0 ? reinterpret_cast<std::uintptr_t>(low) : 0;
}

// A frame `size` bytes deep below the caller's, zeroed. Out of line, so the area lies below the
// caller, and zeroed with explicit_bzero behind a barrier that makes its stores count as used.
// Not instrumented by AddressSanitizer, whose redzones around the area would be left unzeroed.
[[gnu::noinline, gnu::no_sanitize_address]] void zero_frame(std::size_t size) {
  auto* area = static_cast<unsigned char*>(alloca(size));
  explicit_bzero(area, size);
  asm volatile("" : : "r"(area) : "memory");
}

}  // namespace

void wipe_unused_stack() {
  const std::uintptr_t low = stack_low_end();
  if (low == 0) return;
  const auto here = reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0));
  // What lies between here and the end of the stack, less two pages for the wipe's own frames.
  if (here <= low + 2 * kPage) return;
  zero_frame(std::min<std::uintptr_t>(kStackWipeBytes, here - low - 2 * kPage));
}

}  // namespace kestrune::platform
