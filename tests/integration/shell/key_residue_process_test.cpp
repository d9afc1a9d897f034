// No secret of a session is left in the memory of the real binary once the session is over: a
// file is played to the loopback receiver, which runs here in the test process and so knows
// every secret of the pairing, and then the idle kestrune's whole memory is read through
// /proc/PID/mem (heap, freed blocks, the stacks of threads that have ended) and must hold none of
// them: not the audio key, the control keys, K or the SRP premaster secret. And the binary binds
// every symbol when it is loaded, which the scan alone would not show (each thread also zeroes the
// stack it gives up, which hides a lazily bound symbol's saved registers as well).

#include <elf.h>
#include <openssl/rand.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "engine/rtsp/session_keys.hpp"
#include "engine/session/pair_setup.hpp"
#include "engine/session/tlv8.hpp"
#include "test-receiver/test_receiver.hpp"
#include "tests/integration/shell/process_harness.hpp"
#include "tests/support/audio_packets.hpp"
#include "tests/support/process_memory_scan.hpp"
#include "tests/support/temp_wav_file.hpp"
#include "tests/support/test_paths.hpp"

namespace kestrune::testing {
namespace {

using nlohmann::json;

std::span<const std::uint8_t> ascii(std::string_view text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

template <std::size_t N>
std::vector<std::uint8_t> bytes_of(const std::array<std::uint8_t, N>& bytes) {
  return {bytes.begin(), bytes.end()};
}

// The receiver's SRP values are made by the test, so that it can work out the pairing's secrets
// from what the sender sent in M3.
struct ReceiverSecrets {
  std::array<std::uint8_t, 16> salt{};
  std::array<std::uint8_t, 32> private_value{};

  ReceiverSecrets() {
    if (RAND_bytes(salt.data(), static_cast<int>(salt.size())) != 1 ||
        RAND_bytes(private_value.data(), static_cast<int>(private_value.size())) != 1) {
      ADD_FAILURE() << "no random bytes";
    }
  }
  support::Result<test_receiver::SrpServer> server() const {
    return test_receiver::SrpServer::create(ascii(engine::kPairSetupIdentity),
                                            ascii(engine::kTransientPairingPin), salt,
                                            private_value);
  }
};

// Every secret of the pairing the receiver served: the four derived keys, K and the premaster
// secret, the latter both as bytes and as OpenSSL keeps a big number on this machine (its words
// least significant first, each little-endian: the bytes reversed).
std::vector<KnownSecret> pairing_secrets(const ReceiverSecrets& values,
                                         const test_receiver::TestReceiver& receiver) {
  const auto posts = receiver.requests_with("POST");
  if (posts.size() < 2) {
    ADD_FAILURE() << "no M3 came";
    return {};
  }
  const auto items = engine::tlv8_decode(posts[1].body);
  auto server = values.server();
  if (!items || !server) {
    ADD_FAILURE() << "M3 does not decode";
    return {};
  }
  const auto client_public = engine::require_tlv_item(*items, engine::tlv_type::kPublicKey, "A");
  const auto client_proof = engine::require_tlv_item(*items, engine::tlv_type::kProof, "M1");
  if (!client_public || !client_proof) {
    ADD_FAILURE() << "M3 lacks A or M1";
    return {};
  }
  const auto verified = server->verify_client(*client_public, *client_proof);
  const auto keys = receiver.session_keys();
  if (!verified || !keys) {
    ADD_FAILURE() << "M3 does not verify";
    return {};
  }
  const auto derived = engine::derive_session_keys(verified->session_key);
  EXPECT_TRUE(derived && derived->events_key == keys->events_key)
      << "K is not the one the receiver's keys come from";
  std::vector<std::uint8_t> reversed(verified->premaster.rbegin(), verified->premaster.rend());
  return {
      {"audio key", bytes_of(keys->events_key)},
      {"control write key", bytes_of(keys->control_write_key)},
      {"control read key", bytes_of(keys->control_read_key)},
      {"pair-setup encrypt key", bytes_of(keys->pair_setup_encrypt_key)},
      {"K", bytes_of(verified->session_key)},
      {"premaster", verified->premaster},
      {"premaster as a big number", std::move(reversed)},
  };
}

std::string described(const std::vector<SecretCopy>& copies) {
  std::string text;
  for (const SecretCopy& copy : copies) text += copy.describe() + "\n";
  return text;
}

TEST(KeyResidueProcess, NoSecretOfAFinishedSessionIsLeftInTheIdleProcess) {
  const ReceiverSecrets values;
  test_receiver::ReceiverOptions options;
  options.make_srp_server = [&values] { return values.server(); };
  auto receiver = test_receiver::TestReceiver::start(std::move(options));
  ASSERT_TRUE(receiver);
  // 8 s, so that the session still plays once its memory has been read the first time.
  TempWavFile file(test_signal(8 * 44'100));
  auto process = start_ready();
  ASSERT_TRUE(process->write_line(
      command_line("s", "startSession", file_session_payload((*receiver)->port(), file.path()))));
  EXPECT_EQ(process->read_line(), accepted_line("s"));
  read_through(*process, [](const json& line) {
    return line.value("event", "") == "sessionState" && line["payload"]["state"] == "playing";
  });
  const std::vector<KnownSecret> secrets = pairing_secrets(values, **receiver);
  ASSERT_EQ(secrets.size(), 7U);

  // While the session plays, its sender state holds the audio key: the scan sees it, if the
  // session still played when the scan was over.
  const auto playing = scan_process_memory(process->pid(), secrets);
  ASSERT_TRUE(playing);
  ASSERT_TRUE(process->write_line(command_line("p", "getState")));
  const auto state = read_through(
      *process, [](const json& line) { return line.value("requestId", "") == "p"; });
  ASSERT_FALSE(state.empty());
  ASSERT_EQ(state.back()["result"]["session"]["state"], "playing")
      << "the scan outlasted the session";
  EXPECT_TRUE(std::any_of(playing->copies.begin(), playing->copies.end(),
                          [](const SecretCopy& copy) { return copy.secret == "audio key"; }))
      << "the audio key was not found in a playing session: the scan does not see the memory";

  const auto lines = read_through(
      *process, [](const json& line) { return line.value("event", "") == "terminal"; });
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.back()["payload"]["outcome"], "completed") << lines.back();
  ASSERT_TRUE(process->write_line(command_line("state", "getState")));
  ASSERT_EQ(process->read_line(),
            R"({"ok":true,"requestId":"state","result":{"session":null,"state":"idle"},)"
            R"("type":"response","version":1})");

  const auto idle = scan_process_memory(process->pid(), secrets);
  ASSERT_TRUE(idle);
  EXPECT_GT(idle->bytes_read, std::size_t{1} << 20);
  EXPECT_TRUE(idle->copies.empty()) << described(idle->copies);
  process->close_stdin();
  EXPECT_EQ(process->wait_exit(), 0);
}

// What the program headers of an ELF file say about its binding: whether its dynamic section asks
// for every symbol to be bound at load, and whether it has a read-only-after-relocation segment.
struct Binding {
  bool now = false;
  bool relro = false;
};

template <class T>
bool read_at(const std::vector<char>& file, std::size_t offset, T& value) {
  if (offset > file.size() || file.size() - offset < sizeof value) return false;
  std::memcpy(&value, file.data() + offset, sizeof value);
  return true;
}

std::optional<Binding> binding_of(const std::string& path) {
  std::ifstream in(path, std::ios::binary | std::ios::ate);
  std::vector<char> file(static_cast<std::size_t>(std::max<std::streamoff>(in.tellg(), 0)));
  in.seekg(0);
  in.read(file.data(), static_cast<std::streamsize>(file.size()));
  if (!in) return std::nullopt;
  Elf64_Ehdr header{};
  if (!read_at(file, 0, header) || std::memcmp(header.e_ident, ELFMAG, SELFMAG) != 0 ||
      header.e_ident[EI_CLASS] != ELFCLASS64) {
    return std::nullopt;
  }
  Binding binding;
  for (std::size_t i = 0; i < header.e_phnum; ++i) {  // at most e_phnum headers
    Elf64_Phdr segment{};
    if (!read_at(file, header.e_phoff + i * header.e_phentsize, segment)) return std::nullopt;
    if (segment.p_type == PT_GNU_RELRO) binding.relro = true;
    if (segment.p_type != PT_DYNAMIC) continue;
    for (std::size_t at = 0; at + sizeof(Elf64_Dyn) <= segment.p_filesz; at += sizeof(Elf64_Dyn)) {
      Elf64_Dyn entry{};
      if (!read_at(file, segment.p_offset + at, entry) || entry.d_tag == DT_NULL) break;
      if ((entry.d_tag == DT_FLAGS && (entry.d_un.d_val & DF_BIND_NOW) != 0) ||
          (entry.d_tag == DT_FLAGS_1 && (entry.d_un.d_val & DF_1_NOW) != 0) ||
          entry.d_tag == DT_BIND_NOW) {
        binding.now = true;
      }
    }
  }
  return binding;
}

// Nothing of the binary's own is bound while it runs: a symbol bound lazily, at its first call,
// has the dynamic linker save the vector registers in the calling frame, and a key may be in them
// then (a file session left the audio key so, 9 KiB down a thread's stack). Full RELRO comes with
// it: the binding table is read-only once it is filled.
TEST(KeyResidueProcess, TheBinaryBindsEverySymbolWhenItIsLoaded) {
  const auto binding = binding_of(kestrune_binary_path());
  ASSERT_TRUE(binding) << kestrune_binary_path() << " is not a 64-bit ELF file";
  EXPECT_TRUE(binding->now);
  EXPECT_TRUE(binding->relro);
}

}  // namespace
}  // namespace kestrune::testing
