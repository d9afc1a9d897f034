#include "support/wipe.hpp"

#include <string.h>

namespace kestrune::support {

void wipe_bytes(void* data, std::size_t size) {
  if (data != nullptr && size > 0) explicit_bzero(data, size);
}

}  // namespace kestrune::support
