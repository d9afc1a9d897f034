#pragma once
// A loopback receiver that accepts a whole session, sessions run against it by the production
// runner (with loopback capture from a fake audio host where a test asks for it), and what the
// session reported and the receiver got, read back.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "engine/core/session_events.hpp"
#include "engine/core/session_handle.hpp"
#include "engine/core/session_runner.hpp"
#include "engine/core/session_start.hpp"
#include "engine/engine.hpp"
#include "engine/orchestration/managed_session.hpp"
#include "test-receiver/test_receiver.hpp"
#include "tests/support/audio_packets.hpp"
#include "tests/support/fake_audio_host.hpp"
#include "tests/support/wait_until.hpp"

namespace kestrune::engine::testing {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using test_receiver::UdpEndpoint;

using kestrune::testing::wait_until;

// The managed session with loopback capture from a fake audio host instead of the sound server.
class FakeAudioRunner final : public SessionRunner {
 public:
  explicit FakeAudioRunner(std::shared_ptr<kestrune::testing::FakeAudioHost> host)
      : host_(std::move(host)) {}
  SessionError run(const SessionConfig& config, std::shared_ptr<SessionShared> shared) override {
    return run_managed_session(config, shared, *host_);
  }

 private:
  std::shared_ptr<kestrune::testing::FakeAudioHost> host_;
};

// Everything a session's event source delivers, read on a thread of its own until the terminal
// record (for at most 60 s).
class EventLog {
 public:
  explicit EventLog(SessionEventSource source) : source_(std::move(source)) {
    reader_ = std::thread([this] { read(); });
  }
  ~EventLog() {
    done_ = true;
    if (reader_.joinable()) reader_.join();
  }
  EventLog(const EventLog&) = delete;
  EventLog& operator=(const EventLog&) = delete;

  bool wait_for_state(SessionState state, std::chrono::milliseconds limit = 20s) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, limit, [&] {
      return std::any_of(states_.begin(), states_.end(),
                         [&](const SessionStateEvent& e) { return e.state == state; });
    });
  }
  std::optional<SessionTerminalRecord> wait_for_terminal(std::chrono::milliseconds limit = 40s) {
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, limit, [&] { return terminal_.has_value(); });
    return terminal_;
  }
  std::vector<std::pair<SessionState, TransitionReason>> states() {
    std::lock_guard lock(mutex_);
    std::vector<std::pair<SessionState, TransitionReason>> steps;
    for (const auto& event : states_) steps.emplace_back(event.state, event.reason);
    return steps;
  }
  std::vector<SessionWarningEvent> warnings() {
    std::lock_guard lock(mutex_);
    return warnings_;
  }
  std::size_t metrics_events() {
    std::lock_guard lock(mutex_);
    return metrics_;
  }

 private:
  void read() {
    const auto give_up = Clock::now() + 60s;
    while (!done_ && Clock::now() < give_up) {  // bounded by the time limit
      SessionEvent event = wait_session_event(source_, 250ms);
      std::lock_guard lock(mutex_);
      if (auto* state = std::get_if<SessionStateEvent>(&event)) {
        states_.push_back(*state);
      } else if (auto* warning = std::get_if<SessionWarningEvent>(&event)) {
        warnings_.push_back(*warning);
      } else if (std::holds_alternative<SessionMetricsEvent>(event)) {
        ++metrics_;
      } else if (auto* terminal = std::get_if<SessionTerminalRecord>(&event)) {
        terminal_ = std::move(*terminal);
        changed_.notify_all();
        return;
      }
      changed_.notify_all();
    }
  }

  SessionEventSource source_;
  std::atomic<bool> done_{false};
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<SessionStateEvent> states_;
  std::vector<SessionWarningEvent> warnings_;
  std::size_t metrics_ = 0;
  std::optional<SessionTerminalRecord> terminal_;
  std::thread reader_;
};

using States = std::vector<std::pair<SessionState, TransitionReason>>;

class RunnerFixture : public ::testing::Test {
 protected:
  void SetUp() override { start_receiver(); }
  void TearDown() override {
    if (handle) (void)stop_and_wait_session(*handle);
    log.reset();
    handle.reset();
  }

  void start_receiver(test_receiver::ReceiverOptions options = {}) {
    auto started = test_receiver::TestReceiver::start(std::move(options));
    ASSERT_TRUE(started) << started.error().describe();
    receiver = std::move(*started);
  }

  SessionConfig config_for(AudioSource source) const {
    SessionConfig config;
    config.stableId = "dev_loopback";
    config.displayName = "Loopback";
    config.addresses = {platform::IpAddress::v4(127, 0, 0, 1)};
    config.port = receiver->port();
    config.audioSource = std::move(source);
    config.initialVolume = 0.5F;
    return config;
  }

  // Starts a session with the production runner, or with `runner` when one is given.
  void start(SessionConfig config, std::unique_ptr<SessionRunner> runner = nullptr) {
    auto started = runner ? start_session_with_runner(std::move(config), std::move(runner))
                          : start_session(std::move(config));
    ASSERT_TRUE(started) << static_cast<int>(started.error().code);
    handle.emplace(std::move(started->handle));
    log.emplace(std::move(started->events));
  }

  // The terminal record of the session started, which must come.
  SessionTerminalRecord terminal() {
    auto record = log->wait_for_terminal();
    EXPECT_TRUE(record.has_value()) << "no terminal record";
    return record.value_or(SessionTerminalRecord{});
  }

  // A session stopped before it played ends cancelled at shutdown, through stopping alone.
  void expect_cancelled_before_playing(const SessionOutcome& outcome,
                                       const SessionTerminalRecord& record) {
    const SessionError cancelled{SessionErrorKind::cancelled, SessionStage::shutdown, false};
    EXPECT_EQ(outcome, std::unexpected(cancelled));
    EXPECT_EQ(record.error, cancelled);
    EXPECT_EQ(log->states(), (States{{SessionState::starting, TransitionReason::start_requested},
                                     {SessionState::stopping, TransitionReason::stop_requested},
                                     {SessionState::stopped, TransitionReason::cleanup_complete}}));
  }

  SessionOutcome stop() { return stop_and_wait_session(*handle); }

  // The methods the receiver was asked for, without the feedback POSTs (whose timing is the
  // worker's).
  std::vector<std::string> methods() const {
    std::vector<std::string> names;
    for (const auto& request : receiver->requests()) {
      if (request.method == "POST" && request.uri.ends_with("/feedback")) continue;
      names.push_back(request.method);
    }
    return names;
  }
  std::vector<std::string> methods_after_record() const {
    std::vector<std::string> all = methods();
    const auto record = std::find(all.begin(), all.end(), "RECORD");
    if (record == all.end()) return {};
    return {record + 1, all.end()};
  }

  AeadKey audio_key() const {
    const auto keys = receiver->session_keys();
    EXPECT_TRUE(keys.has_value());
    return keys ? keys->events_key : AeadKey{};
  }

  // The audio packets that arrived at the data port, opened with the key the receiver derived.
  std::vector<kestrune::testing::OpenedAudioPacket> audio_packets() const {
    std::vector<kestrune::testing::OpenedAudioPacket> opened;
    const AeadKey key = audio_key();
    for (const auto& datagram : receiver->endpoints().datagrams(UdpEndpoint::data)) {
      auto packet = kestrune::testing::open_audio_packet(datagram.bytes, key);
      EXPECT_TRUE(packet) << "audio packet " << opened.size() << " does not open";
      if (packet) opened.push_back(std::move(*packet));
    }
    return opened;
  }

  std::unique_ptr<test_receiver::TestReceiver> receiver;
  std::optional<SessionHandle> handle;
  std::optional<EventLog> log;
};

}  // namespace kestrune::engine::testing
