#pragma once
// A receiver on the test network, for discovery tests inside network namespaces: it listens on
// port 5353 of its own namespace, member of 224.0.0.251 on its address, logs every query with the
// TTL and destination it arrived with, and answers each query unicast to the querying socket with
// the records of a fake "AudioAccessory" receiver, their goodbye (TTL 0), a burst of junk (valid
// address records of hosts that exist nowhere, each living one second), or nothing. It shares
// the port with another responder in the namespace (address reuse), as mDNS responders do. Its
// thread ends with the responder, and after five minutes at the latest.

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/fake_receiver_records.hpp"

namespace kestrune::testing {

// What tests/services/netns.sh tells the test about the network it made.
struct NetnsNetwork {
  std::string receiver_namespace;
  std::array<std::uint8_t, 4> receiver_address{};
  std::array<std::uint8_t, 4> local_address{};
};

// Throws std::runtime_error when the test does not run under tests/services/netns.sh.
NetnsNetwork netns_network();

class MdnsResponder {
 public:
  using Clock = std::chrono::steady_clock;
  enum class Mode { answer, goodbye, junk, silent };
  // A junk burst: this many datagrams of this many distinct address records each.
  static constexpr int kJunkDatagrams = 12;
  static constexpr int kJunkRecordsPerDatagram = 200;

  struct Query {
    Clock::time_point at;
    std::vector<std::uint8_t> bytes;
    std::array<std::uint8_t, 4> source{};
    std::uint16_t source_port = 0;
    std::array<std::uint8_t, 4> destination{};  // the IP header's destination address
    int ttl = -1;                               // the IP header's TTL
  };

  // Starts listening in the named namespace before it returns; throws std::runtime_error when
  // it cannot.
  MdnsResponder(const std::string& network_namespace, std::array<std::uint8_t, 4> address,
                FakeReceiverRecords records);
  ~MdnsResponder();
  MdnsResponder(const MdnsResponder&) = delete;
  MdnsResponder& operator=(const MdnsResponder&) = delete;

  void set_mode(Mode mode) { mode_.store(mode); }
  std::vector<Query> queries() const;
  // The browse queries alone, without the follow-ups.
  std::vector<Query> browse_queries() const;
  // Waits (bounded) until at least `count` queries, or browse queries, arrived.
  bool wait_for_queries(std::size_t count, std::chrono::milliseconds limit) const;
  bool wait_for_browse_queries(std::size_t count, std::chrono::milliseconds limit) const;

 private:
  void serve(int fd);
  static bool is_browse_query(const Query& query);
  std::size_t browse_query_count() const;  // mutex_ held

  std::vector<std::vector<std::uint8_t>> junk_burst();

  const FakeReceiverRecords records_;
  const std::array<std::uint8_t, 4> address_;
  int junk_hosts_ = 0;  // serve() thread only
  std::atomic<Mode> mode_{Mode::answer};
  std::atomic<bool> stop_{false};
  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  std::vector<Query> queries_;  // guarded by mutex_
  std::thread thread_;
};

}  // namespace kestrune::testing
