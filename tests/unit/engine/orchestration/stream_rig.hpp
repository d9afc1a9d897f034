#pragma once
// A stream loop's surroundings without a receiver: a session, the packet channel with a thread in
// "rt-sender"'s place that keeps every packet (optionally taking them at a steady pace), the
// packetiser with a known key, and the workers' failure signals and volume requests under the
// test's control.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "engine/core/session_id.hpp"
#include "engine/core/session_shared.hpp"
#include "engine/orchestration/metrics_publication.hpp"
#include "engine/orchestration/stream_context.hpp"
#include "engine/orchestration/stream_stats.hpp"
#include "engine/orchestration/worker_failure_slot.hpp"
#include "engine/rtp/packet_history.hpp"
#include "engine/rtp/rtp_sender_state.hpp"
#include "support/channel.hpp"
#include "tests/support/audio_packets.hpp"

namespace kestrune::engine::testing {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

inline AeadKey rig_key() {
  AeadKey key{};
  for (std::size_t i = 0; i < key.size(); ++i) key[i] = static_cast<std::uint8_t>(0xA0 + i);
  return key;
}

class StreamRig {
 public:
  // `pace`: how long the stand-in sender takes per packet (0: as fast as it can).
  explicit StreamRig(std::chrono::microseconds pace = 0us) : pace_(pace) {
    auto [sender, receiver] = support::channel<OutboundPacket>(8);
    packets.emplace(std::move(sender));
    consumer_ = std::thread([this, receiver = std::move(receiver)]() mutable {
      for (int i = 0; i < 200'000; ++i) {  // ends when the channel is closed
        auto packet = receiver.recv();
        if (!packet) return;
        {
          std::lock_guard lock(mutex_);
          received_.push_back(std::move(*packet));
        }
        changed_.notify_all();
        if (on_packet) on_packet();
        if (pace_.count() > 0) std::this_thread::sleep_for(pace_);
        if (refuse_.load()) return;  // the receiving end goes: later sends fail
      }
    });
  }
  ~StreamRig() { close_channel(); }
  StreamRig(const StreamRig&) = delete;
  StreamRig& operator=(const StreamRig&) = delete;

  StreamContext context() {
    return StreamContext{*packets,
                         sender_state,
                         *stats,
                         *shared,
                         [this](float volume) {
                           volumes_sent.push_back(volume);
                           return volume_result;
                         },
                         applied_generation,
                         feedback_failed,
                         feedback,
                         *failure,
                         TimingCounters{},
                         metrics};
  }

  // The stand-in sender takes one more packet, then goes away.
  void refuse_after_next() { refuse_ = true; }

  // Closes the channel and waits for the stand-in sender to end.
  void close_channel() {
    packets.reset();
    if (consumer_.joinable()) consumer_.join();
  }

  // Waits (at most `limit`) until `count` packets have arrived; false otherwise.
  bool wait_for_packets(std::size_t count, std::chrono::milliseconds limit = 10s) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, limit, [&] { return received_.size() >= count; });
  }

  std::size_t packet_count() {
    std::lock_guard lock(mutex_);
    return received_.size();
  }

  // Every packet so far, opened with the rig's key (a packet that does not open fails the test).
  std::vector<kestrune::testing::OpenedAudioPacket> opened_packets() {
    std::lock_guard lock(mutex_);
    std::vector<kestrune::testing::OpenedAudioPacket> opened;
    for (const auto& packet : received_) {
      auto one = kestrune::testing::open_audio_packet(packet.audio, key);
      EXPECT_TRUE(one) << "packet " << opened.size() << " does not open";
      if (one) opened.push_back(std::move(*one));
    }
    return opened;
  }

  // The interleaved samples of every packet in order.
  std::vector<std::int16_t> received_samples() {
    std::vector<std::int16_t> samples;
    for (const auto& packet : opened_packets()) {
      samples.insert(samples.end(), packet.samples.begin(), packet.samples.end());
    }
    return samples;
  }

  std::shared_ptr<SessionShared> shared = make_session_shared(make_session_id().value(), 0.5F);
  AeadKey key = rig_key();
  RtpSenderState sender_state{new_packet_history(), key};
  std::unique_ptr<StreamStats> stats = std::make_unique<StreamStats>();
  std::optional<support::Sender<OutboundPacket>> packets;
  std::uint64_t applied_generation = 1;
  std::shared_ptr<std::atomic<bool>> feedback_failed = std::make_shared<std::atomic<bool>>(false);
  std::shared_ptr<FeedbackCounters> feedback = std::make_shared<FeedbackCounters>();
  std::shared_ptr<WorkerFailureSlot> failure = new_worker_failure_slot();
  MetricsPublication metrics{Clock::now() + 1s};
  std::vector<float> volumes_sent;  // written on the loop's thread
  // Called on the stand-in sender's thread after each packet it takes; set before the stream runs.
  std::function<void()> on_packet;
  support::Status volume_result;

 private:
  std::chrono::microseconds pace_;
  std::atomic<bool> refuse_{false};
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<OutboundPacket> received_;
  std::thread consumer_;
};

}  // namespace kestrune::engine::testing
