// The per-packet paths and what they allocate. This test binary counts every allocation made
// through operator new and every one OpenSSL makes (the sealing runs in OpenSSL); each test runs
// in a process of its own (one test per CTest entry), so while a test measures, nothing else in
// the process allocates.

#include <gtest/gtest.h>
#include <openssl/crypto.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <new>
#include <thread>
#include <vector>

#include "engine/capture/capture_callback.hpp"
#include "engine/orchestration/queue_audio_packet.hpp"
#include "engine/orchestration/rtp_sender.hpp"
#include "engine/rtp/seal_audio_packet.hpp"
#include "tests/support/loopback_peer.hpp"

namespace {

std::atomic<std::uint64_t> allocations{0};

void* counted_allocation(std::size_t size) {
  allocations.fetch_add(1, std::memory_order_relaxed);
  return std::malloc(size == 0 ? 1 : size);
}

void* counted_crypto_malloc(std::size_t size, const char*, int) { return counted_allocation(size); }
void* counted_crypto_realloc(void* p, std::size_t size, const char*, int) {
  allocations.fetch_add(1, std::memory_order_relaxed);
  return std::realloc(p, size);
}
void counted_crypto_free(void* p, const char*, int) { std::free(p); }

// OpenSSL takes other memory functions only before its first allocation, hence at load time.
const bool crypto_allocations_counted =
    CRYPTO_set_mem_functions(counted_crypto_malloc, counted_crypto_realloc, counted_crypto_free) ==
    1;

}  // namespace

// The replacements pair malloc with free on purpose; GCC cannot tell them from a mismatch.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif

void* operator new(std::size_t size) {
  if (void* p = counted_allocation(size)) return p;
  throw std::bad_alloc();
}
void* operator new[](std::size_t size) {
  if (void* p = counted_allocation(size)) return p;
  throw std::bad_alloc();
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  return counted_allocation(size);
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
  return counted_allocation(size);
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }

#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif

namespace kestrune::engine {
namespace {

using testing::LoopbackPeer;

std::uint64_t allocated() { return allocations.load(std::memory_order_relaxed); }

TEST(PerPacketAllocation, SealingAllocatesOnlyThePacketItHandsOn) {
  ASSERT_TRUE(crypto_allocations_counted);
  RtpSenderState state(new_packet_history(), AeadKey{1});
  const std::vector<std::int16_t> samples(kSamplesPerPacket, 3);
  std::vector<std::vector<std::uint8_t>> kept;
  kept.reserve(600);
  // The first packet makes the stream's cipher context; the history's slots were made with the
  // history, so the first use of each (and the reuse after 512) allocates nothing.
  kept.push_back(seal_audio_packet(state, 0, samples).value());
  const std::uint64_t before = allocated();
  for (int i = 1; i < 600; ++i) kept.push_back(seal_audio_packet(state, 0, samples).value());
  EXPECT_EQ(allocated() - before, 599u);
}

// The stream loops' whole hand-off: sealing, the sync packet and the send into the packet channel,
// with a thread taking the packets out at the other end as "rt-sender" does.
TEST(PerPacketAllocation, QueueingAllocatesOnlyThePacketItHandsOn) {
  ASSERT_TRUE(crypto_allocations_counted);
  RtpSenderState state(new_packet_history(), AeadKey{1});
  constexpr int kChannelCapacity = 8;
  constexpr int kMeasured = 600;  // past the first use of every history slot
  auto [packets, receiver] = support::channel<OutboundPacket>(kChannelCapacity);
  const std::vector<std::int16_t> samples(kSamplesPerPacket, 5);
  std::atomic<std::uint64_t> prepared{0};
  std::uint32_t timestamp = 0;
  const auto queue_one = [&] {
    EXPECT_TRUE(queue_audio_packet(packets, state, samples, timestamp, prepared));
    timestamp += kFramesPerPacket;
  };
  // Filling the channel before anything takes from it makes the cipher context and all the
  // channel's room, whatever the consumer's timing later.
  for (int i = 0; i < kChannelCapacity; ++i) queue_one();
  std::vector<OutboundPacket> taken;
  taken.reserve(kChannelCapacity + kMeasured);
  std::thread consumer([&receiver, &taken] {
    for (int i = 0; i < kChannelCapacity + kMeasured; ++i) {
      auto packet = receiver.recv();
      if (!packet) return;
      taken.push_back(std::move(*packet));
    }
  });
  const std::uint64_t before = allocated();
  for (int i = 0; i < kMeasured; ++i) queue_one();
  const std::uint64_t during = allocated() - before;
  consumer.join();
  EXPECT_EQ(during, static_cast<std::uint64_t>(kMeasured));
  EXPECT_EQ(taken.size(), static_cast<std::size_t>(kChannelCapacity + kMeasured));
}

// The capture callback on the audio library's thread: once the capture queue's room has been
// used, converting buffers and handing chunks to a consumer that keeps up allocates nothing.
TEST(PerPacketAllocation, TheCaptureCallbackAllocatesNothingOnceWarm) {
  auto [chunks, queue] = support::channel<CaptureChunk>(kCaptureQueueChunks);
  CaptureCallbackState state(std::move(chunks), std::make_shared<CaptureStats>(), 2, 48000);
  const std::vector<float> buffer(2 * 480, 0.25F);  // 10 ms of stereo at 48 kHz
  std::uint64_t received = 0;
  const auto run_callbacks = [&](int count) {
    for (int i = 0; i < count; ++i) {
      capture_f32_callback(state, buffer);
      for (int drained = 0; drained < 4 && queue.try_recv(); ++drained) ++received;
    }
  };
  run_callbacks(100);
  const std::uint64_t before = allocated();
  run_callbacks(400);
  EXPECT_EQ(allocated() - before, 0U);
  EXPECT_EQ(received, 500U * 960 / kCaptureChunkSamples);
}

// Allocations made while "rt-sender" sends `count` packets queued before it started.
std::uint64_t sender_run_allocations(std::size_t count) {
  LoopbackPeer data_peer, control_peer;
  auto control_socket = platform::UdpSocket::bind_any_ipv4().value();
  auto stats = std::make_shared<StreamStats>();
  auto [packets, receiver] = support::channel<OutboundPacket>(count);
  for (std::size_t i = 0; i < count; ++i) {
    OutboundPacket packet{std::vector<std::uint8_t>(1444, static_cast<std::uint8_t>(i)),
                          std::nullopt};
    if (i % 4 == 0) packet.sync = SyncPacket{0x80, 0xD4};
    EXPECT_TRUE(packets.try_send(std::move(packet)));
  }
  packets.close();
  const std::uint64_t before = allocated();
  auto handle = start_rtp_sender(std::move(receiver), control_peer.endpoint, data_peer.endpoint,
                                 std::move(control_socket), stats);
  EXPECT_TRUE(handle);
  EXPECT_TRUE(handle->join().value().is_success());
  const std::uint64_t during = allocated() - before;
  EXPECT_EQ(stats->packetsSent.load(), count);
  return during;
}

TEST(PerPacketAllocation, TheSenderAllocatesNothingPerPacket) {
  // A first run pays what a process pays once (the thread priority report, the stderr writer).
  (void)sender_run_allocations(1);
  const std::uint64_t few = sender_run_allocations(3);
  const std::uint64_t many = sender_run_allocations(30);
  EXPECT_EQ(many, few);
}

}  // namespace
}  // namespace kestrune::engine
