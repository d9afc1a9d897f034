// The readers of a receiver's SETUP answers on arbitrary bytes (binary or XML property lists).

#include <cstddef>
#include <cstdint>
#include <span>

#include "engine/session/setup_bodies.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace kestrune::engine;
  const std::span<const std::uint8_t> body(data, size);
  (void)parse_setup1_response(body);
  (void)parse_setup2_response(body);
  (void)describe_plist_dictionary(body);
  (void)describe_setup2_stream_fields(body);
  return 0;
}
