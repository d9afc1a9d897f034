#include "discovery/device_identity.hpp"

#include <openssl/evp.h>

#include <array>

#include "support/thread.hpp"

namespace kestrune::discovery {

std::string strip_id_separators(std::string_view text) {
  std::string stripped;
  stripped.reserve(text.size());
  for (char c : text) {
    if (c != '-' && c != ':') stripped += c;
  }
  return stripped;
}

std::optional<std::string> normalize_device_id(std::string_view text) {
  std::string identity = strip_id_separators(text);
  if (identity.size() != kIdentityLength) return std::nullopt;
  for (char& c : identity) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return std::nullopt;
  }
  return identity;
}

char next_hex_digit(std::uint8_t nibble) { return "0123456789abcdef"[nibble & 0x0F]; }

std::string hex_lower(std::span<const std::uint8_t> bytes) {
  std::string text;
  text.reserve(bytes.size() * 2);
  for (std::uint8_t byte : bytes) {
    text += next_hex_digit(static_cast<std::uint8_t>(byte >> 4));
    text += next_hex_digit(byte);
  }
  return text;
}

std::string stable_device_id(std::string_view identity) {
  std::string input(kIdentityTag);
  input += '\0';
  input += identity;
  std::array<std::uint8_t, 32> digest{};
  unsigned int digest_length = 0;
  if (EVP_Digest(input.data(), input.size(), digest.data(), &digest_length, EVP_sha256(),
                 nullptr) != 1 ||
      digest_length != digest.size()) {
    // SHA-256 from the linked library cannot fail short of a broken installation, and a device
    // without its stable id cannot be reported at all.
    support::end_thread("SHA-256 unavailable");
  }
  return std::string(kStableIdPrefix) + hex_lower(digest);
}

}  // namespace kestrune::discovery
