#pragma once
// The shell's command layer in-process: a real OutputQueue read by a collector thread in place of
// the writer, a discovery owner that is never asked to scan, the session slot, and a session
// starter that runs a scripted runner. Commands run either on the test's thread (run) or through
// the command loop on a thread of its own (start_loop, send, end_loop).

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "engine/core/session_lease.hpp"
#include "engine/core/session_start.hpp"
#include "shell/active_session.hpp"
#include "shell/command_loop.hpp"
#include "shell/dispatch.hpp"
#include "shell/output_queue.hpp"
#include "shell/queue_discovery_output.hpp"
#include "tests/support/gate.hpp"
#include "tests/support/refused_port.hpp"
#include "tests/support/scripted_session.hpp"
#include "tests/support/session_result.hpp"

namespace kestrune::shell::testing {

using nlohmann::json;
using namespace std::chrono_literals;

inline constexpr auto kPatience = 10s;

// Opened once by the test; a script waits on it (at most kPatience).
using kestrune::testing::Gate;

inline SessionStarter scripted_starter(engine::testing::Script script) {
  return [script = std::move(script)](engine::SessionConfig config) {
    return engine::start_session_with_runner(std::move(config), engine::testing::scripted(script));
  };
}

// Plays until stopped when `play` is set; otherwise stays starting until stopped (cancelled).
inline SessionStarter stop_waiting_starter(bool play) {
  return scripted_starter([play](engine::SessionShared& s) {
    if (play) {
      const engine::SessionStatus started = engine::mark_startup_complete(s);
      if (!started) return started.error();
    }
    engine::testing::wait_for_stop(s);
    if (!play) return kestrune::testing::session_result_of(engine::mark_startup_complete(s));
    return engine::SessionError::success();
  });
}

inline std::string command(const std::string& name, const std::string& payload = "{}",
                           const std::string& request_id = "r-1") {
  return R"({"version":1,"type":"command","requestId":")" + request_id + R"(","command":")" + name +
         R"(","payload":)" + payload + "}";
}

// A start with the production runner fails at its connect: nothing listens on this port.
inline const kestrune::testing::RefusedLoopbackPort kRefusedReceiver;

inline const std::string kStartPayload =
    R"({"device":{"stableId":"dev_1","displayName":"Kitchen","addresses":["127.0.0.1"],"port":)" +
    std::to_string(kRefusedReceiver.port()) +
    R"(},"audioSource":{"kind":"windowsDefaultOutput"},"initialVolume":0.5})";

inline std::string start_command(const std::string& request_id = "start") {
  return command("startSession", kStartPayload, request_id);
}

// The member, or null when the value has no such member (where operator[] would assert).
inline json member_of(const json& value, const std::string& key) {
  return value.is_object() ? value.value(key, json()) : json();
}

inline bool is_response(const json& line, const std::string& request_id) {
  return line.value("type", "") == "response" && line["requestId"] == request_id;
}

inline bool is_event(const json& line, const std::string& name) {
  return line.value("type", "") == "event" && line.value("event", "") == name;
}

class ShellHarness {
 public:
  explicit ShellHarness(SessionStarter starter = engine::start_session)
      : queue_(std::make_shared<OutputQueue>()),
        owner_(discovery::spawn_discovery_owner(std::make_shared<QueueDiscoveryOutput>(queue_))),
        context_{queue_, *owner_, slot_, std::move(starter)},
        collector_([this] { collect(); }) {}

  ~ShellHarness() {
    if (loop_.joinable()) (void)end_loop();
    if (slot_) (void)stop_active_session(slot_);
    queue_->finish();
    collector_.join();
    drop_discovery_owner(*owner_);
    EXPECT_FALSE(engine::SessionLease::is_taken());
  }

  ShellContext& context() { return context_; }
  ActiveSessionSlot& slot() { return slot_; }
  OutputQueue& queue() { return *queue_; }

  // One command line, handled on the calling thread.
  DispatchOutcome run(const std::string& line) { return handle_command_line(line, context_); }

  // The command loop on a thread of its own, fed by send and ended by end_loop (end of input).
  // While it runs, the test only reads the slot.
  void start_loop() {
    auto [sender, receiver] = support::channel<InputLine>(32);
    lines_.emplace(std::move(sender));
    loop_ = std::thread([this, receiver = std::move(receiver)]() mutable {
      const ShutdownRecord record = run_command_loop(context_, receiver);
      std::lock_guard lock(mutex_);
      record_ = record;
      changed_.notify_all();
    });
  }
  void send(InputLine line) { ASSERT_TRUE(lines_->send(std::move(line))); }
  void send(const std::string& line) { send(InputLine{Line{line}}); }
  // Sends end of input (unless told not to: the loop is to end by itself) and waits (at most
  // kPatience) for the loop's record. A loop that does not end in time is a failure; it is then
  // made to end by closing the output.
  ShutdownRecord end_loop(bool send_end_of_input = true) {
    if (send_end_of_input) (void)lines_->send(InputLine{EndOfInput{}});
    std::optional<ShutdownRecord> record;
    {
      std::unique_lock lock(mutex_);
      if (!changed_.wait_for(lock, kPatience, [&] { return record_.has_value(); })) {
        ADD_FAILURE() << "the command loop did not end";
      }
      record = record_;
    }
    if (!record) queue_->close();
    loop_.join();
    lines_.reset();
    return record.value_or(ShutdownRecord{"did not end", false});
  }

  // A copy of everything queued so far, in output order.
  std::vector<json> lines() {
    std::lock_guard lock(mutex_);
    return seen_;
  }

  // Waits (at most kPatience) until `done` holds for the lines seen so far; then the lines.
  std::vector<json> wait_for(const std::function<bool(const std::vector<json>&)>& done) {
    std::unique_lock lock(mutex_);
    const bool met = changed_.wait_for(lock, kPatience, [&] { return done(seen_); });
    EXPECT_TRUE(met) << "gave up waiting; seen: " << json(seen_).dump();
    return seen_;
  }
  std::vector<json> wait_for_event(const std::string& name) {
    return wait_for([&](const std::vector<json>& seen) {
      for (const auto& line : seen) {
        if (is_event(line, name)) return true;
      }
      return false;
    });
  }
  std::vector<json> wait_for_state(const std::string& state) {
    return wait_for([&](const std::vector<json>& seen) {
      for (const auto& line : seen) {
        if (is_event(line, "sessionState") && line["payload"]["state"] == state) return true;
      }
      return false;
    });
  }
  std::vector<json> wait_for_response(const std::string& request_id) {
    return wait_for([&](const std::vector<json>& seen) {
      for (const auto& line : seen) {
        if (is_response(line, request_id)) return true;
      }
      return false;
    });
  }

  // Reaps the session in the slot the way the main loop does once the pump acknowledged.
  void reap_when_acknowledged() {
    ASSERT_TRUE(slot_);
    ASSERT_TRUE(slot_->acknowledgement.recv_timeout(kPatience));
    reap_finished_session(slot_);
  }

 private:
  void collect() {
    for (int i = 0; i < 100000; ++i) {
      auto value = queue_->pop();
      if (!value) return;
      std::lock_guard lock(mutex_);
      seen_.push_back(std::move(*value));
      changed_.notify_all();
    }
  }

  std::shared_ptr<OutputQueue> queue_;
  support::Result<discovery::DiscoveryOwner> owner_;
  ActiveSessionSlot slot_;
  ShellContext context_;

  std::optional<support::Sender<InputLine>> lines_;
  std::thread loop_;
  std::optional<ShutdownRecord> record_;  // guarded by mutex_

  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<json> seen_;
  std::thread collector_;  // last: it starts once everything above exists
};

}  // namespace kestrune::shell::testing
