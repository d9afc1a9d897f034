// What one packet costs the coordinator: queue_audio_packet (sync check, sealing, the history
// copy and the hand-off into the packet channel) beside OpenSSL's ChaCha20-Poly1305 alone on the
// same 1408 bytes, and the ratio of the two (medians of interleaved repetitions).
//
// OpenSSL alone is measured twice: as an application would call it, and with the upper halves
// of the vector registers cleared after the tag, as the engine's AEAD does (on Intel processors
// OpenSSL's Poly1305 leaves them in use and every later SSE instruction pays for it; see
// engine/crypto/vector_registers.hpp). Against the second, the steps in between say where the
// rest of a packet's time goes: sealing the payload on the stream's context (the per-packet scrub
// of the context and the call), then the packet itself (its buffer, the samples, the header and
// the history copy), then the clock, the sync check and the hand-off.

#include <benchmark/benchmark.h>
#include <openssl/evp.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <vector>

#include "engine/crypto/vector_registers.hpp"
#include "engine/orchestration/queue_audio_packet.hpp"
#include "engine/rtp/seal_audio_packet.hpp"
#include "engine/wire/audio_cipher.hpp"
#include "engine/wire/audio_packet.hpp"
#include "same_run_baseline.hpp"

namespace {

using namespace kestrune;

engine::AeadKey test_key() {
  engine::AeadKey key{};
  key.fill(0x5A);
  return key;
}

std::vector<std::int16_t> test_samples() {
  std::vector<std::int16_t> samples(engine::kSamplesPerPacket);
  for (std::size_t i = 0; i < samples.size(); ++i) {
    samples[i] = static_cast<std::int16_t>((i * 7919) & 0x7FFF);
  }
  return samples;
}

void BM_QueueAudioPacket(benchmark::State& state) {
  auto [packets, receiver] = support::channel<engine::OutboundPacket>(8);
  engine::RtpSenderState sender_state(engine::new_packet_history(), test_key());
  std::atomic<std::uint64_t> prepared{0};
  const auto samples = test_samples();
  std::uint32_t timestamp = 0;
  for (auto _ : state) {
    const auto result =
        engine::queue_audio_packet(packets, sender_state, samples, timestamp, prepared);
    if (!result) state.SkipWithError("queue_audio_packet failed");
    // What "rt-sender" does with the buffer in the end: take it and free it.
    benchmark::DoNotOptimize(receiver.try_recv());
    timestamp += engine::kFramesPerPacket;
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                          static_cast<std::int64_t>(engine::kAudioPayloadBytes));
}
BENCHMARK(BM_QueueAudioPacket);

// The packet without the clock, the sync check and the hand-off; the buffer is freed at once.
void BM_SealAudioPacket(benchmark::State& state) {
  engine::RtpSenderState sender_state(engine::new_packet_history(), test_key());
  const auto samples = test_samples();
  std::uint32_t timestamp = 0;
  for (auto _ : state) {
    auto packet = engine::seal_audio_packet(sender_state, timestamp, samples);
    if (!packet) state.SkipWithError("seal_audio_packet failed");
    benchmark::DoNotOptimize(packet);
    timestamp += engine::kFramesPerPacket;
  }
}
BENCHMARK(BM_SealAudioPacket);

// The payload alone, sealed in place on the stream's context, as the packet does it.
void BM_SealAudioPayload(benchmark::State& state) {
  engine::AeadCipher cipher;
  const engine::AeadKey key = test_key();
  std::vector<std::uint8_t> payload(engine::kAudioPayloadBytes, 0x33);
  std::uint16_t sequence_number = 0;
  for (auto _ : state) {
    auto trailer = engine::encrypt_audio_payload(cipher, key, sequence_number, 0, 0, payload);
    if (!trailer) state.SkipWithError("encrypt_audio_payload failed");
    benchmark::DoNotOptimize(trailer);
    ++sequence_number;
  }
}
BENCHMARK(BM_SealAudioPayload);

// OpenSSL's seal of one payload in place; `clear` clears the upper vector registers after it.
template <bool clear>
void BM_RawChaCha20Poly1305(benchmark::State& state) {
  const engine::AeadKey key = test_key();
  std::array<std::uint8_t, 12> nonce{};
  std::array<std::uint8_t, 8> aad{};
  std::array<std::uint8_t, 16> tag{};
  std::vector<std::uint8_t> payload(engine::kAudioPayloadBytes, 0x33);
  EVP_CIPHER_CTX* context = EVP_CIPHER_CTX_new();
  EVP_EncryptInit_ex2(context, EVP_chacha20_poly1305(), nullptr, nullptr, nullptr);
  std::uint16_t sequence_number = 0;
  for (auto _ : state) {
    nonce[4] = static_cast<std::uint8_t>(sequence_number);
    nonce[5] = static_cast<std::uint8_t>(sequence_number >> 8);
    int written = 0;
    EVP_EncryptInit_ex2(context, nullptr, key.data(), nonce.data(), nullptr);
    EVP_EncryptUpdate(context, nullptr, &written, aad.data(), static_cast<int>(aad.size()));
    EVP_EncryptUpdate(context, payload.data(), &written, payload.data(),
                      static_cast<int>(payload.size()));
    EVP_EncryptFinal_ex(context, payload.data() + written, &written);
    if constexpr (clear) engine::clear_upper_vector_registers();
    EVP_CIPHER_CTX_ctrl(context, EVP_CTRL_AEAD_GET_TAG, static_cast<int>(tag.size()), tag.data());
    benchmark::DoNotOptimize(tag);
    ++sequence_number;
  }
  EVP_CIPHER_CTX_free(context);
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                          static_cast<std::int64_t>(engine::kAudioPayloadBytes));
}
BENCHMARK(BM_RawChaCha20Poly1305<false>)->Name("BM_RawChaCha20Poly1305");
BENCHMARK(BM_RawChaCha20Poly1305<true>)->Name("BM_RawChaCha20Poly1305Cleared");

}  // namespace

int main(int argc, char** argv) {
  kestrune::bench::SameRunTimes reporter;
  if (!kestrune::bench::run_benchmarks(argc, argv, reporter)) return 1;
  const double queued = reporter.median_of("BM_QueueAudioPacket");
  const double packet = reporter.median_of("BM_SealAudioPacket");
  const double payload = reporter.median_of("BM_SealAudioPayload");
  const double raw = reporter.median_of("BM_RawChaCha20Poly1305");
  const double cleared = reporter.median_of("BM_RawChaCha20Poly1305Cleared");
  if (queued > 0 && raw > 0) {
    std::printf(
        "queue_audio_packet %.0f ns CPU, raw ChaCha20-Poly1305 seal of 1408 bytes %.0f ns "
        "in the same run: %.2fx\n",
        queued, raw, queued / raw);
  }
  if (queued > 0 && packet > 0 && payload > 0 && cleared > 0) {
    std::printf(
        "the raw seal with the vector registers cleared after the tag, as the engine's: %.0f ns: "
        "%.2fx\n"
        "over that, per packet: context scrub and call %+.0f ns, packet buffer, samples, header "
        "and history %+.0f ns, clock, sync and hand-off %+.0f ns\n",
        cleared, queued / cleared, payload - cleared, packet - payload, queued - packet);
  }
  return 0;
}
