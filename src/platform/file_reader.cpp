#include "platform/file_reader.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

namespace kestrune::platform {

support::Result<FileReader> FileReader::open(const std::string& path) {
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  if (!fd.is_open()) return support::fail(support::Error::from_errno("open", errno));
  struct stat info{};
  if (::fstat(fd.get(), &info) != 0) {
    return support::fail(support::Error::from_errno("stat", errno));
  }
  if (!S_ISREG(info.st_mode)) return support::fail("not a regular file");
  return FileReader(std::move(fd), static_cast<std::uint64_t>(info.st_size));
}

support::Status FileReader::read_exact_at(std::uint64_t offset, std::span<std::uint8_t> out) const {
  std::size_t done = 0;
  // Each turn reads something or fails; interruptions are retried a bounded number of times.
  constexpr int kMaxInterruptions = 64;
  int interruptions = 0;
  while (done < out.size()) {
    const ssize_t got =
        ::pread(fd_.get(), out.data() + done, out.size() - done, static_cast<off_t>(offset + done));
    if (got < 0) {
      if (errno == EINTR && ++interruptions < kMaxInterruptions) continue;
      return support::fail(support::Error::from_errno("read", errno));
    }
    if (got == 0) return support::fail("the file ended before its size (it shrank)");
    done += static_cast<std::size_t>(got);
  }
  return {};
}

}  // namespace kestrune::platform
