#pragma once
// A regular file opened for reading at any offset. Opening does not block: a FIFO or a device in
// place of the file is refused rather than waited on.

#include <cstdint>
#include <span>
#include <string>
#include <utility>

#include "platform/unique_fd.hpp"
#include "support/error.hpp"

namespace kestrune::platform {

class FileReader {
 public:
  // Opens `path`. Fails with "open: <reason>" or "stat: <reason>" from the system, or "not a
  // regular file"; no context is added.
  static support::Result<FileReader> open(const std::string& path);

  // The size the file had when it was opened.
  std::uint64_t size() const { return size_; }

  // Fills all of `out` from `offset` on. Fails with "read: <reason>" from the system (up to 64
  // interrupted reads are tried again), or with "the file ended before its size (it shrank)"
  // when the file holds fewer bytes there.
  support::Status read_exact_at(std::uint64_t offset, std::span<std::uint8_t> out) const;

 private:
  FileReader(UniqueFd fd, std::uint64_t size) : fd_(std::move(fd)), size_(size) {}

  UniqueFd fd_;
  std::uint64_t size_ = 0;
};

}  // namespace kestrune::platform
