#include "platform/os_random.hpp"

#include <sys/random.h>

#include <cerrno>

namespace kestrune::platform {

support::Status fill_os_random(std::span<std::uint8_t> out) {
  // getrandom hands out at most 32 MiB per call and can be interrupted by a signal; both cases
  // return fewer bytes, so keep asking, but never forever.
  constexpr int kMaxAttempts = 64;
  std::size_t filled = 0;
  for (int attempt = 0; attempt < kMaxAttempts && filled < out.size(); ++attempt) {
    const ssize_t got = getrandom(out.data() + filled, out.size() - filled, 0);
    if (got < 0) {
      if (errno == EINTR) continue;
      return support::fail(
          support::Error::from_errno("getrandom", errno).context("read OS random source"));
    }
    filled += static_cast<std::size_t>(got);
  }
  if (filled < out.size()) {
    return support::fail(
        support::Error("getrandom returned too few bytes").context("read OS random source"));
  }
  return {};
}

}  // namespace kestrune::platform
