#pragma once
// Looks through the whole memory of another process (a child of the test) for copies of secrets
// the test knows: every readable mapping listed in /proc/PID/maps, thread stacks and the unused
// rest of each included, read through /proc/PID/mem. Every 16-byte piece of a secret that begins
// at a multiple of 16 counts as a copy (a half of a 32-byte key, say): the allocator writes its own
// links over the first bytes of a freed block, so a whole copy need not survive for a half to.
// Mappings of 1 GiB or more are sanitizer shadow or reservations and are skipped; they hold no
// values of the program's.

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace kestrune::testing {

struct KnownSecret {
  std::string name;                 // "audio key"
  std::vector<std::uint8_t> bytes;  // 16 bytes or more
};

struct SecretCopy {
  std::string secret;              // the KnownSecret's name
  std::size_t piece = 0;           // which 16-byte piece of it (0 for the first 16 bytes)
  std::uintptr_t address = 0;      // where that piece begins in the scanned process
  std::string mapping;             // its line of /proc/PID/maps
  std::uintptr_t mapping_end = 0;  // where that mapping ends

  // "audio key[16..32) at 0x7f..., 9216 bytes below the top of 7f...-7f... rw-p ..."
  std::string describe() const;
};

struct MemoryScan {
  std::vector<SecretCopy> copies;
  std::size_t bytes_read = 0;  // how much memory was looked through
};

// Every copy of a piece of `secrets` in the memory of process `pid`, or nothing when its list of
// mappings cannot be read.
std::optional<MemoryScan> scan_process_memory(pid_t pid, std::span<const KnownSecret> secrets);

}  // namespace kestrune::testing
