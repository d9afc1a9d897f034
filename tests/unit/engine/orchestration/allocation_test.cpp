// The per-packet paths and what they allocate. This test binary counts every allocation made
// through operator new; each test runs in a process of its own (one test per CTest entry), so
// while a test measures, nothing else in the process allocates.

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <new>
#include <vector>

#include "engine/orchestration/rtp_sender.hpp"
#include "engine/rtp/audio_packet.hpp"
#include "tests/support/loopback_peer.hpp"

namespace {

std::atomic<std::uint64_t> allocations{0};

void* counted_allocation(std::size_t size) {
  allocations.fetch_add(1, std::memory_order_relaxed);
  return std::malloc(size == 0 ? 1 : size);
}

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
  RtpSenderState state(new_packet_history(), AudioKey{1});
  const std::vector<std::int16_t> samples(kSamplesPerPacket, 3);
  std::vector<std::vector<std::uint8_t>> kept;
  kept.reserve(600);
  // Until every history slot has held a packet, storing one also gives its slot a buffer.
  for (int i = 0; i < 512; ++i) kept.push_back(seal_audio_packet(state, 0, samples).value());
  const std::uint64_t before = allocated();
  for (int i = 0; i < 80; ++i) kept.push_back(seal_audio_packet(state, 0, samples).value());
  EXPECT_EQ(allocated() - before, 80u);
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
  const std::uint64_t few = sender_run_allocations(3);
  const std::uint64_t many = sender_run_allocations(30);
  EXPECT_EQ(many, few);
}

}  // namespace
}  // namespace kestrune::engine
