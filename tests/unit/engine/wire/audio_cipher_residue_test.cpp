// What a sealed packet leaves behind in the cipher context. This file gives OpenSSL memory
// functions of its own for the whole test binary (OpenSSL takes them only before its first
// allocation, hence at load time); they track the blocks OpenSSL holds while a test watches, so
// the test can search every byte of them for material derived from the audio key.

#include <gtest/gtest.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>

#include <array>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <unordered_set>
#include <utility>
#include <vector>

#include "engine/wire/audio_cipher.hpp"
#include "tests/support/openssl_reference.hpp"

namespace {

struct Block {
  void* address;
  std::size_t size;
};

// Only what OpenSSL allocates while a test watches, and few blocks at that.
constexpr std::size_t kMaxWatchedBlocks = 256;
std::mutex watch_mutex;
bool watching = false;
bool watch_overflowed = false;
std::array<Block, kMaxWatchedBlocks> watched{};
std::size_t watched_count = 0;

// True when the block was watched.
bool forget_block(void* address) {
  for (std::size_t i = 0; i < watched_count; ++i) {
    if (watched[i].address == address) {
      watched[i] = watched[--watched_count];
      return true;
    }
  }
  return false;
}

void remember_block(void* address, std::size_t size) {
  if (address == nullptr) return;
  if (watched_count == kMaxWatchedBlocks) {
    watch_overflowed = true;
    return;
  }
  watched[watched_count++] = Block{address, size};
}

void* watched_malloc(std::size_t size, const char*, int) {
  void* address = std::malloc(size == 0 ? 1 : size);
  const std::lock_guard lock(watch_mutex);
  if (watching) remember_block(address, size);
  return address;
}

void* watched_realloc(void* old_address, std::size_t size, const char*, int) {
  // The old block is forgotten before it moves; should the move fail, a watched block goes
  // unsearched, which the scan reports as an overflow.
  const std::lock_guard lock(watch_mutex);
  const bool was_watched = forget_block(old_address);
  void* address = std::realloc(old_address, size == 0 ? 1 : size);
  if (address == nullptr) {
    watch_overflowed = watch_overflowed || was_watched;
  } else if (watching) {
    remember_block(address, size);
  }
  return address;
}

void watched_free(void* address, const char*, int) {
  {
    const std::lock_guard lock(watch_mutex);
    forget_block(address);
  }
  std::free(address);
}

const bool crypto_allocations_watched =
    CRYPTO_set_mem_functions(watched_malloc, watched_realloc, watched_free) == 1;

// Every 8-byte window of the secrets.
std::unordered_set<std::uint64_t> windows_of(
    const std::vector<std::vector<std::uint8_t>>& secrets) {
  std::unordered_set<std::uint64_t> windows;
  for (const auto& secret : secrets) {
    for (std::size_t i = 0; i + 8 <= secret.size(); ++i) {
      std::uint64_t window = 0;
      std::memcpy(&window, secret.data() + i, 8);
      windows.insert(window);
    }
  }
  return windows;
}

// While one lives, the blocks OpenSSL allocates are watched; `scan` searches those it still holds
// for any 8 bytes in a row of the secrets.
class Residue {
 public:
  Residue() {
    const std::lock_guard lock(watch_mutex);
    watching = true;
    watch_overflowed = false;
    watched_count = 0;
  }
  ~Residue() {
    const std::lock_guard lock(watch_mutex);
    watching = false;
    watched_count = 0;
  }
  Residue(const Residue&) = delete;
  Residue& operator=(const Residue&) = delete;

  // Bytes held in watched blocks, and the matches with the secrets among them.
  std::pair<std::size_t, std::size_t> scan(const std::vector<std::vector<std::uint8_t>>& secrets) {
    const auto windows = windows_of(secrets);
    const std::lock_guard lock(watch_mutex);
    EXPECT_FALSE(watch_overflowed);
    std::size_t held = 0;
    std::size_t matches = 0;
    for (std::size_t b = 0; b < watched_count; ++b) {
      const auto* bytes = static_cast<const std::uint8_t*>(watched[b].address);
      held += watched[b].size;
      for (std::size_t i = 0; i + 8 <= watched[b].size; ++i) {
        std::uint64_t window = 0;
        std::memcpy(&window, bytes + i, 8);
        if (windows.contains(window)) ++matches;
      }
    }
    return {held, matches};
  }
};

}  // namespace

namespace kestrune::engine {
namespace {

AeadKey test_key() {
  AeadKey key{};
  for (std::size_t i = 0; i < key.size(); ++i) key[i] = static_cast<std::uint8_t>(37 * i + 11);
  return key;
}

const std::array<std::uint8_t, 12> kNonce = {0, 0, 0, 0, 0x34, 0x12, 0, 0, 0, 0, 0, 0};
const std::array<std::uint8_t, 8> kAad = {0, 0, 1, 0x60, 0, 0, 0, 0};

// The audio key, the whole key stream of a packet of `payload_bytes` from block 0 (whose first
// 32 bytes are the packet's one-time Poly1305 key), and that key's clamped r, as OpenSSL may
// keep it.
std::vector<std::vector<std::uint8_t>> secrets_of(const AeadKey& key, std::size_t payload_bytes) {
  auto stream = testing::chacha20_key_stream(key, kNonce, 0, 64 + payload_bytes);
  std::vector<std::uint8_t> clamped_r(stream.begin(), stream.begin() + 16);
  for (std::size_t i : {3, 7, 11, 15}) clamped_r[i] &= 0x0F;
  for (std::size_t i : {4, 8, 12}) clamped_r[i] &= 0xFC;
  return {std::vector<std::uint8_t>(key.begin(), key.end()), stream, clamped_r};
}

// A context sealed through OpenSSL directly, so the search is known to see what a context holds:
// the key and the one-time key stay in it unless something overwrites them.
EVP_CIPHER_CTX* raw_sealed_context(const AeadKey& key, std::vector<std::uint8_t>& payload) {
  EVP_CIPHER_CTX* context = EVP_CIPHER_CTX_new();
  std::array<std::uint8_t, 16> tag{};
  int written = 0;
  int tail = 0;
  EXPECT_EQ(
      EVP_EncryptInit_ex2(context, EVP_chacha20_poly1305(), key.data(), kNonce.data(), nullptr), 1);
  EXPECT_EQ(EVP_EncryptUpdate(context, nullptr, &written, kAad.data(), 8), 1);
  EXPECT_EQ(EVP_EncryptUpdate(context, payload.data(), &written, payload.data(),
                              static_cast<int>(payload.size())),
            1);
  EXPECT_EQ(EVP_EncryptFinal_ex(context, payload.data() + written, &tail), 1);
  EXPECT_EQ(EVP_CIPHER_CTX_ctrl(context, EVP_CTRL_AEAD_GET_TAG, 16, tag.data()), 1);
  return context;
}

// The first use of the cipher loads what OpenSSL keeps for the process; that is not a stream's
// context, and is done before watching.
void warm_up_openssl() {
  AeadCipher cipher;
  std::vector<std::uint8_t> payload(64, 0);
  std::array<std::uint8_t, kAeadTagSize> tag{};
  ASSERT_TRUE(cipher.seal(AeadKey{}, kNonce, kAad, payload, payload, tag));
}

TEST(AudioCipherResidue, TheSearchFindsWhatAnUnscrubbedContextHolds) {
  ASSERT_TRUE(crypto_allocations_watched);
  warm_up_openssl();
  const AeadKey key = test_key();
  const auto secrets = secrets_of(key, 1408);
  static constexpr std::array<std::uint8_t, 32> kZeroKey{};
  struct Case {
    const char* what;
    bool rekey_with_zero_key;  // what a scrub that stops at the re-key would do
  };
  for (const Case& c : {Case{"sealed only", false}, Case{"re-keyed with zeros", true}}) {
    std::vector<std::uint8_t> payload(1408, 0x5C);
    Residue residue;
    EVP_CIPHER_CTX* context = raw_sealed_context(key, payload);
    if (c.rekey_with_zero_key) {
      ASSERT_EQ(EVP_EncryptInit_ex2(context, nullptr, kZeroKey.data(), nullptr, nullptr), 1);
    }
    const auto [held, matches] = residue.scan(secrets);
    EXPECT_GT(held, 0u) << c.what;
    EXPECT_GT(matches, 0u) << c.what;
    EVP_CIPHER_CTX_free(context);
  }
}

TEST(AudioCipherResidue, ASealLeavesNothingDerivedFromTheKeyInTheContext) {
  ASSERT_TRUE(crypto_allocations_watched);
  warm_up_openssl();
  const AeadKey key = test_key();
  // Whole blocks of key stream, and a payload that ends in a partial block (whose key stream
  // OpenSSL keeps in the context's buffer).
  for (const std::size_t payload_bytes : {std::size_t{1408}, std::size_t{100}}) {
    const auto secrets = secrets_of(key, payload_bytes);
    Residue residue;
    AeadCipher cipher;
    for (int packet = 0; packet < 3; ++packet) {
      std::vector<std::uint8_t> payload(payload_bytes, static_cast<std::uint8_t>(packet));
      std::array<std::uint8_t, kAeadTagSize> tag{};
      ASSERT_TRUE(cipher.seal(key, kNonce, kAad, payload, payload, tag));
      const auto [held, matches] = residue.scan(secrets);
      EXPECT_GT(held, 0u) << payload_bytes << " bytes, packet " << packet;
      EXPECT_EQ(matches, 0u) << payload_bytes << " bytes, packet " << packet;
    }
  }
}

}  // namespace
}  // namespace kestrune::engine
