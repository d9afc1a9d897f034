#pragma once
// Overwrites secrets with zeros in a way the compiler may not optimise away, and a byte buffer
// that does so before it gives its memory back.

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <utility>
#include <vector>

namespace kestrune::support {

void wipe_bytes(void* data, std::size_t size);

template <class T, std::size_t N>
void wipe(std::array<T, N>& bytes) {
  wipe_bytes(bytes.data(), sizeof(T) * N);
}
template <class T>
void wipe(std::vector<T>& bytes) {
  wipe_bytes(bytes.data(), sizeof(T) * bytes.size());
}
inline void wipe(std::string& text) { wipe_bytes(text.data(), text.size()); }

// Bytes that carry a secret (a request body with a key in it): move-only, and wiped when they are
// destroyed or assigned over, so no copy is left in freed memory.
class SecretBytes {
 public:
  SecretBytes() = default;
  explicit SecretBytes(std::vector<std::uint8_t> bytes) : bytes_(std::move(bytes)) {}
  SecretBytes(SecretBytes&& other) noexcept : bytes_(std::move(other.bytes_)) {}
  SecretBytes& operator=(SecretBytes&& other) noexcept {
    if (this != &other) {
      wipe(bytes_);
      bytes_ = std::move(other.bytes_);
    }
    return *this;
  }
  SecretBytes(const SecretBytes&) = delete;
  SecretBytes& operator=(const SecretBytes&) = delete;
  ~SecretBytes() { wipe(bytes_); }

  std::span<const std::uint8_t> bytes() const { return bytes_; }
  std::size_t size() const { return bytes_.size(); }

 private:
  std::vector<std::uint8_t> bytes_;
};

}  // namespace kestrune::support
