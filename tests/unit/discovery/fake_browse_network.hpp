#pragma once
// A browse network without a network, for driving browse passes and the owner in tests: it reports
// the interface addresses it is given, refuses sockets on chosen addresses, logs every query, and
// hands each socket the datagrams that the responder returned for its query (plus any delivered
// later), without waiting, with an oversize datagram discarded as the real socket does. Safe to
// configure from the test thread while the owner thread uses it.

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <span>
#include <vector>

#include "discovery/browse_network.hpp"
#include "platform/ip_address.hpp"

namespace kestrune::testing {

using Datagram = std::vector<std::uint8_t>;

// An IPv4 interface address as the system would list it: a /24 with its broadcast address.
inline platform::InterfaceAddress host_ipv4(platform::IpAddress address,
                                            std::string name = "eth0") {
  platform::Ipv4InterfaceAddress v4;
  v4.address = address;
  v4.netmask = {255, 255, 255, 0};
  v4.prefix_length = 24;
  v4.broadcast = platform::IpAddress{address.bytes[0], address.bytes[1], address.bytes[2], 255};
  return {std::move(name), v4};
}

class FakeBrowseNetwork final : public discovery::BrowseNetwork {
 public:
  using Clock = std::chrono::steady_clock;
  // Runs on the owner thread for every query sent; returns what arrives on that socket.
  using Responder = std::function<std::vector<Datagram>(const platform::Ipv4InterfaceAddress&)>;
  // Runs on the owner thread for every follow-up query sent; returns what arrives on that socket.
  using FollowUpResponder = std::function<std::vector<Datagram>(
      const platform::Ipv4InterfaceAddress&, const Datagram& query)>;

  struct Query {
    platform::Ipv4InterfaceAddress interface;
    Datagram bytes;
    Clock::time_point at;
  };

  FakeBrowseNetwork() : state_(std::make_shared<State>()) {}

  // Nothing: the interface list cannot be read.
  void set_interfaces(std::optional<std::vector<platform::InterfaceAddress>> addresses) {
    std::lock_guard lock(state_->mutex);
    state_->addresses = std::move(addresses);
  }
  void refuse_socket_on(platform::IpAddress address) {
    std::lock_guard lock(state_->mutex);
    state_->refused.insert(address);
  }
  void set_responder(Responder responder) {
    std::lock_guard lock(state_->mutex);
    state_->responder = std::move(responder);
  }
  void set_follow_up_responder(FollowUpResponder responder) {
    std::lock_guard lock(state_->mutex);
    state_->follow_up_responder = std::move(responder);
  }
  // Queues a datagram on the open socket of that interface address; false when there is none.
  bool deliver(platform::IpAddress address, Datagram datagram) {
    std::lock_guard lock(state_->mutex);
    for (auto& socket : state_->sockets) {
      if (socket.open && socket.interface.address == address) {
        socket.waiting.push_back(std::move(datagram));
        state_->empty_polls = 0;
        return true;
      }
    }
    return false;
  }

  std::vector<Query> queries() const {
    std::lock_guard lock(state_->mutex);
    return state_->queries;
  }
  // The follow-up queries sent, in order (the first query of each socket is in queries()).
  std::vector<Query> follow_ups() const {
    std::lock_guard lock(state_->mutex);
    return state_->follow_ups;
  }
  std::size_t interface_reads() const {
    std::lock_guard lock(state_->mutex);
    return state_->interface_reads;
  }
  std::size_t open_sockets() const {
    std::lock_guard lock(state_->mutex);
    std::size_t open = 0;
    for (const auto& socket : state_->sockets) open += socket.open ? 1 : 0;
    return open;
  }
  // The interface address of every datagram handed out (oversize ones included), in order.
  std::vector<platform::IpAddress> receive_log() const {
    std::lock_guard lock(state_->mutex);
    return state_->receive_log;
  }
  // Whether the sockets have been polled empty at least `polls` times since a datagram was last
  // queued or handed out. Three polls per open socket: the sweep that drained the last datagram
  // ends with one empty poll of each, the first idle sweep makes two, and only after that sweep
  // does the pass send its follow-ups (each of which resets the count); a third empty poll of
  // each means the pass has swept again after asking every follow-up it would ask. Two would let
  // a test stop the pass between its idle sweep and its follow-ups.
  bool quiet(std::size_t polls_per_socket = 3) const {
    std::lock_guard lock(state_->mutex);
    std::size_t open = 0;
    for (const auto& socket : state_->sockets) open += socket.open ? 1 : 0;
    return open > 0 && state_->empty_polls >= polls_per_socket * open;
  }
  // How many receives were tried in all, datagram or not.
  std::size_t polls() const {
    std::lock_guard lock(state_->mutex);
    return state_->polls;
  }
  // Waits (bounded) until at least `count` queries were sent; false when the time ran out.
  bool wait_for_queries(std::size_t count, std::chrono::milliseconds limit) const {
    std::unique_lock lock(state_->mutex);
    return state_->changed.wait_for(lock, limit, [&] { return state_->queries.size() >= count; });
  }

  support::Result<std::vector<platform::InterfaceAddress>> interface_addresses() override {
    std::lock_guard lock(state_->mutex);
    ++state_->interface_reads;
    if (!state_->addresses) return support::fail("interface list unreadable");
    return *state_->addresses;
  }

  support::Result<std::unique_ptr<discovery::QuerySocket>> open_query_socket(
      const platform::Ipv4InterfaceAddress& interface,
      std::span<const std::uint8_t> query) override {
    Responder responder;
    std::size_t index = 0;
    {
      std::lock_guard lock(state_->mutex);
      if (state_->refused.contains(interface.address)) return support::fail("socket refused");
      state_->queries.push_back({interface, Datagram(query.begin(), query.end()), Clock::now()});
      state_->sockets.push_back({interface, {}, true});
      index = state_->sockets.size() - 1;
      responder = state_->responder;
      state_->changed.notify_all();
    }
    // Outside the lock, so that a responder may wait for the test.
    std::vector<Datagram> answers = responder ? responder(interface) : std::vector<Datagram>{};
    {
      std::lock_guard lock(state_->mutex);
      for (auto& answer : answers) state_->sockets[index].waiting.push_back(std::move(answer));
      state_->empty_polls = 0;
    }
    return std::make_unique<Socket>(state_, index);
  }

 private:
  struct SocketState {
    platform::Ipv4InterfaceAddress interface;
    std::deque<Datagram> waiting;
    bool open;
  };
  struct State {
    mutable std::mutex mutex;
    mutable std::condition_variable changed;
    std::optional<std::vector<platform::InterfaceAddress>> addresses =
        std::vector<platform::InterfaceAddress>{};
    std::set<platform::IpAddress> refused;
    Responder responder;
    FollowUpResponder follow_up_responder;
    std::vector<Query> queries;
    std::vector<Query> follow_ups;
    std::deque<SocketState> sockets;  // every socket ever opened; a deque keeps them in place
    std::vector<platform::IpAddress> receive_log;
    std::size_t interface_reads = 0;
    std::size_t empty_polls = 0;  // since a datagram was last queued or handed out
    std::size_t polls = 0;
  };

  class Socket final : public discovery::QuerySocket {
   public:
    Socket(std::shared_ptr<State> state, std::size_t index)
        : state_(std::move(state)), index_(index) {}
    ~Socket() override {
      std::lock_guard lock(state_->mutex);
      state_->sockets[index_].open = false;
    }
    std::optional<std::size_t> try_receive(std::span<std::uint8_t> buffer) override {
      std::lock_guard lock(state_->mutex);
      SocketState& socket = state_->sockets[index_];
      ++state_->polls;
      if (socket.waiting.empty()) {
        ++state_->empty_polls;
        return std::nullopt;
      }
      state_->empty_polls = 0;
      Datagram datagram = std::move(socket.waiting.front());
      socket.waiting.pop_front();
      state_->receive_log.push_back(socket.interface.address);
      if (datagram.size() > buffer.size()) return std::nullopt;  // discarded whole
      std::copy(datagram.begin(), datagram.end(), buffer.begin());
      return datagram.size();
    }
    bool send_query(std::span<const std::uint8_t> query) override {
      FollowUpResponder responder;
      platform::Ipv4InterfaceAddress interface;
      Datagram bytes(query.begin(), query.end());
      {
        std::lock_guard lock(state_->mutex);
        interface = state_->sockets[index_].interface;
        state_->follow_ups.push_back({interface, bytes, Clock::now()});
        responder = state_->follow_up_responder;
        state_->changed.notify_all();
      }
      std::vector<Datagram> answers =
          responder ? responder(interface, bytes) : std::vector<Datagram>{};
      std::lock_guard lock(state_->mutex);
      for (auto& answer : answers) state_->sockets[index_].waiting.push_back(std::move(answer));
      state_->empty_polls = 0;
      return true;
    }

   private:
    std::shared_ptr<State> state_;
    std::size_t index_;
  };

  std::shared_ptr<State> state_;
};

}  // namespace kestrune::testing
