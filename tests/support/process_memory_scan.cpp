#include "tests/support/process_memory_scan.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <bitset>
#include <charconv>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string_view>

namespace kestrune::testing {

namespace {

constexpr std::size_t kPiece = 16;
constexpr std::size_t kChunk = 1 << 20;
constexpr std::uintptr_t kPage = 4096;
constexpr std::uintptr_t kLargestScanned = std::uintptr_t{1} << 30;

struct Piece {
  std::array<std::uint8_t, kPiece> bytes{};
  const KnownSecret* secret = nullptr;
  std::size_t index = 0;
};

// A filter on the first four bytes of each piece: a position whose word is not in it cannot begin
// a piece, which passes over almost every byte at the cost of a multiplication.
class PrefixFilter {
 public:
  void add(const std::uint8_t* bytes) { bits_.set(slot(bytes)); }
  bool may_begin(const std::uint8_t* bytes) const { return bits_.test(slot(bytes)); }

 private:
  static std::size_t slot(const std::uint8_t* bytes) {
    std::uint32_t word = 0;
    std::memcpy(&word, bytes, sizeof word);
    return (word * 2654435761U) >> 16;
  }
  std::bitset<65536> bits_;
};

struct Mapping {
  std::uintptr_t start = 0;
  std::uintptr_t stop = 0;
  bool readable = false;
  std::string line;
};

std::optional<std::uintptr_t> hex(std::string_view text) {
  std::uintptr_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, 16);
  if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

// "start-stop perms offset device inode path"
std::optional<Mapping> parse_mapping(const std::string& line) {
  const std::size_t dash = line.find('-');
  const std::size_t space = line.find(' ');
  if (dash == std::string::npos || space == std::string::npos || space < dash ||
      line.size() < space + 2) {
    return std::nullopt;
  }
  const auto start = hex(std::string_view(line).substr(0, dash));
  const auto stop = hex(std::string_view(line).substr(dash + 1, space - dash - 1));
  if (!start || !stop || *stop <= *start) return std::nullopt;
  return Mapping{*start, *stop, line[space + 1] == 'r', line};
}

std::vector<Piece> pieces_of(std::span<const KnownSecret> secrets) {
  std::vector<Piece> pieces;
  for (const KnownSecret& secret : secrets) {
    // Pieces at every multiple of 16, and one that ends at the end of a secret of another length.
    for (std::size_t at = 0; at + kPiece <= secret.bytes.size(); at += kPiece) {
      Piece piece{{}, &secret, at / kPiece};
      std::copy_n(secret.bytes.begin() + static_cast<std::ptrdiff_t>(at), kPiece,
                  piece.bytes.begin());
      pieces.push_back(piece);
    }
    if (secret.bytes.size() % kPiece != 0 && secret.bytes.size() > kPiece) {
      Piece piece{{}, &secret, secret.bytes.size() / kPiece};
      std::copy(secret.bytes.end() - kPiece, secret.bytes.end(), piece.bytes.begin());
      pieces.push_back(piece);
    }
  }
  return pieces;
}

}  // namespace

std::string SecretCopy::describe() const {
  std::ostringstream text;
  text << secret << "[" << piece * kPiece << ".." << (piece + 1) * kPiece << ") at 0x" << std::hex
       << address << std::dec << ", " << (mapping_end - address) << " bytes below the top of "
       << mapping;
  return text.str();
}

std::optional<MemoryScan> scan_process_memory(pid_t pid, std::span<const KnownSecret> secrets) {
  const std::string folder = "/proc/" + std::to_string(pid);
  std::ifstream maps(folder + "/maps");
  if (!maps) return std::nullopt;
  std::vector<Mapping> mappings;
  for (std::string line; std::getline(maps, line);) {  // ends with the file
    if (auto mapping = parse_mapping(line)) mappings.push_back(std::move(*mapping));
  }
  if (mappings.empty()) return std::nullopt;
  const int memory = ::open((folder + "/mem").c_str(), O_RDONLY | O_CLOEXEC);
  if (memory < 0) return std::nullopt;

  const std::vector<Piece> pieces = pieces_of(secrets);
  PrefixFilter filter;
  for (const Piece& piece : pieces) filter.add(piece.bytes.data());

  MemoryScan scan;
  std::vector<std::uint8_t> chunk(kChunk);
  for (const Mapping& mapping : mappings) {
    if (!mapping.readable || mapping.stop - mapping.start >= kLargestScanned) continue;
    // Chunks overlap by one byte less than a piece, so a piece across two is seen exactly once.
    // Every turn moves on: past the page after a failed read, else by at least one byte.
    for (std::uintptr_t at = mapping.start; at < mapping.stop;) {
      const std::size_t want = std::min<std::uintptr_t>(kChunk, mapping.stop - at);
      const ssize_t got = ::pread(memory, chunk.data(), want, static_cast<off_t>(at));
      if (got <= 0) {  // a page that cannot be read (a guard page, say): go on after it
        at = (at / kPage + 1) * kPage;
        continue;
      }
      const auto size = static_cast<std::size_t>(got);
      scan.bytes_read += size;
      for (std::size_t i = 0; i + kPiece <= size; ++i) {
        if (!filter.may_begin(&chunk[i])) continue;
        for (const Piece& piece : pieces) {
          if (std::memcmp(&chunk[i], piece.bytes.data(), kPiece) != 0) continue;
          scan.copies.push_back(
              {piece.secret->name, piece.index, at + i, mapping.line, mapping.stop});
        }
      }
      if (at + size >= mapping.stop || size < kPiece) {
        at += size;
        continue;
      }
      at += size - (kPiece - 1);
    }
  }
  ::close(memory);
  return scan;
}

}  // namespace kestrune::testing
