#pragma once
// Looks through the process's own memory for copies of a 32-byte secret that the code under test
// was given, freed memory included: every readable and writable mapping is read through
// /proc/self/mem (so freed blocks that a sanitizer guards are read too, without tripping it).
//
// The secret lives in a mapping of the scanner's own, which the scan skips; it is made there from
// the system's random source and never copied by the scanner, so every copy found was made by the
// code under test. Either 16-byte half counts as a copy: the allocator writes its own links over
// the first bytes of a freed block. The scan allocates nothing, so it cannot reuse (and overwrite)
// a block freed just before it. Mappings of 1 GiB or more are sanitizer shadow and are skipped, and
// so is the main thread's stack, the test's own: its dead frames can hold passing copies of
// whatever went through the registers (saved there by the dynamic linker, say), which is not the
// memory given back that the scan is about.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/random.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <span>
#include <string_view>

namespace kestrune::testing {

class SecretScanner {
 public:
  static constexpr std::size_t kSecretSize = 32;

  SecretScanner() {
    void* area =
        ::mmap(nullptr, kAreaSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (area == MAP_FAILED) std::abort();
    area_ = static_cast<std::uint8_t*>(area);
    // A half made only of zeros could not be told from untouched memory; the chance that one comes
    // up even once is 2^-127.
    for (int attempt = 0; attempt < 4 && !anchored(); ++attempt) {
      std::size_t filled = 0;
      while (filled < kSecretSize) {  // getrandom gives at most what is asked; a few turns at most
        const ssize_t got = ::getrandom(area_ + filled, kSecretSize - filled, 0);
        if (got <= 0) std::abort();
        filled += static_cast<std::size_t>(got);
      }
    }
    if (!anchored()) std::abort();
    memory_ = ::open("/proc/self/mem", O_RDONLY | O_CLOEXEC);
    maps_ = ::open("/proc/self/maps", O_RDONLY | O_CLOEXEC);
  }
  ~SecretScanner() {
    ::close(memory_);
    ::close(maps_);
    ::munmap(area_, kAreaSize);
  }
  SecretScanner(const SecretScanner&) = delete;
  SecretScanner& operator=(const SecretScanner&) = delete;

  std::span<const std::uint8_t, kSecretSize> secret() const {
    return std::span<const std::uint8_t, kSecretSize>(area_, kSecretSize);
  }

  // How many places outside the scanner hold half of the secret or more (a whole copy counts
  // once).
  std::size_t copies() const {
    const std::size_t maps_size = read_maps();
    std::size_t found = 0;
    std::string_view maps(reinterpret_cast<const char*>(area_ + kMapsAt), maps_size);
    while (!maps.empty()) {  // one mapping per line
      const std::size_t end = maps.find('\n');
      const std::string_view line = maps.substr(0, end);
      maps = end == std::string_view::npos ? std::string_view() : maps.substr(end + 1);
      std::uintptr_t start = 0;
      std::uintptr_t stop = 0;
      if (!parse_mapping(line, start, stop)) continue;
      // The scanner's own area, wherever it lies in this mapping, is left out.
      const auto own_start = reinterpret_cast<std::uintptr_t>(area_);
      const auto own_stop = own_start + kAreaSize;
      if (start < own_start && own_start < stop) {
        found += scan_range(start, own_start);
        start = own_start;
      }
      if (start >= own_start && start < own_stop) start = std::min(stop, own_stop);
      if (start < stop) found += scan_range(start, stop);
    }
    return found;
  }

 private:
  static constexpr std::size_t kMapsAt = 4096;
  static constexpr std::size_t kMapsCapacity = 8 << 20;
  static constexpr std::size_t kChunkAt = kMapsAt + kMapsCapacity;
  static constexpr std::size_t kChunkSize = 1 << 20;
  static constexpr std::size_t kAreaSize = kChunkAt + kChunkSize + kSecretSize;
  static constexpr std::uintptr_t kLargestScanned = std::uintptr_t{1} << 30;
  static constexpr std::size_t kHalf = kSecretSize / 2;

  // The offset of a byte of the half that is not zero: the search looks for that byte with
  // memchr, which passes over the zero pages that sanitizer shadow is mostly made of at full speed.
  std::size_t anchor(std::size_t half) const {
    const std::uint8_t* bytes = area_ + half * kHalf;
    return static_cast<std::size_t>(
        std::find_if(bytes, bytes + kHalf, [](std::uint8_t b) { return b != 0; }) - bytes);
  }
  bool anchored() const { return anchor(0) < kHalf && anchor(1) < kHalf; }

  std::size_t read_maps() const {
    std::size_t size = 0;
    if (::lseek(maps_, 0, SEEK_SET) != 0) return 0;
    // Ends at the end of the file or when the buffer is full.
    while (size < kMapsCapacity) {
      const ssize_t got = ::read(maps_, area_ + kMapsAt + size, kMapsCapacity - size);
      if (got <= 0) break;
      size += static_cast<std::size_t>(got);
    }
    EXPECT_LT(size, kMapsCapacity) << "the list of mappings did not fit";
    return size;
  }

  static bool parse_hex(std::string_view text, std::uintptr_t& value) {
    value = 0;
    if (text.empty()) return false;
    for (const char c : text) {
      const int digit = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
      if (digit < 0) return false;
      value = value * 16 + static_cast<std::uintptr_t>(digit);
    }
    return true;
  }

  // "start-end perms ...": a readable, writable mapping small enough to read.
  static bool parse_mapping(std::string_view line, std::uintptr_t& start, std::uintptr_t& stop) {
    const std::size_t dash = line.find('-');
    const std::size_t space = line.find(' ');
    if (dash == std::string_view::npos || space == std::string_view::npos || space < dash ||
        line.size() < space + 3) {
      return false;
    }
    if (!parse_hex(line.substr(0, dash), start) ||
        !parse_hex(line.substr(dash + 1, space - dash - 1), stop)) {
      return false;
    }
    if (line.ends_with("[stack]")) return false;
    const bool readable_writable = line[space + 1] == 'r' && line[space + 2] == 'w';
    return readable_writable && stop > start && stop - start < kLargestScanned;
  }

  // Reads [start, stop) in chunks that overlap by less than a half, so a half that straddles two
  // chunks is seen once; counts the places where a half begins.
  std::size_t scan_range(std::uintptr_t start, std::uintptr_t stop) const {
    std::size_t found = 0;
    std::uint8_t* chunk = area_ + kChunkAt;
    // Ends at stop: every turn moves on by at least kChunkSize - kHalf + 1 bytes.
    for (std::uintptr_t at = start; at < stop;) {
      const std::size_t want = std::min<std::uintptr_t>(kChunkSize, stop - at);
      const ssize_t got = ::pread(memory_, chunk, want, static_cast<off_t>(at));
      if (got <= 0) {  // unreadable (a guard page, say): go on with the next page
        at += 4096;
        continue;
      }
      const auto size = static_cast<std::size_t>(got);
      found += halves_in(chunk, size, 0);
      found += halves_in(chunk, size, 1);
      if (at + size >= stop) break;
      at += size - (kHalf - 1);
    }
    return found;
  }

  // The places in `chunk` where the half begins; the second half counts only where it does not
  // follow the first (both are one copy).
  std::size_t halves_in(const std::uint8_t* chunk, std::size_t size, std::size_t half) const {
    const std::uint8_t* secret = area_;
    const std::uint8_t* wanted = secret + half * kHalf;
    const std::size_t at = anchor(half);
    std::size_t found = 0;
    const std::uint8_t* end = chunk + size;
    const std::uint8_t* next = chunk + at;
    // Every turn moves past one occurrence of the anchor byte, or ends.
    while (size >= kHalf && next <= end - (kHalf - at)) {
      const auto* hit = static_cast<const std::uint8_t*>(
          std::memchr(next, wanted[at], static_cast<std::size_t>(end - (kHalf - at) - next) + 1));
      if (hit == nullptr) break;
      const std::uint8_t* begins = hit - at;
      const bool follows_first = half == 1 &&
                                 begins - chunk >= static_cast<std::ptrdiff_t>(kHalf) &&
                                 std::memcmp(begins - kHalf, secret, kHalf) == 0;
      if (std::memcmp(begins, wanted, kHalf) == 0 && !follows_first) ++found;
      next = hit + 1;
    }
    return found;
  }

  std::uint8_t* area_ = nullptr;
  int memory_ = -1;
  int maps_ = -1;
};

}  // namespace kestrune::testing
