#include "platform/thread_name.hpp"

#include <pthread.h>

#include <cstddef>
#include <string>

namespace kestrune::platform {

void set_current_thread_name(std::string_view name) {
  constexpr std::size_t kLinuxThreadNameBytes = 15;
  const std::string os_name(name.substr(0, kLinuxThreadNameBytes));
  pthread_setname_np(pthread_self(), os_name.c_str());
}

}  // namespace kestrune::platform
