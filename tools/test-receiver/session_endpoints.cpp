#include "test-receiver/session_endpoints.hpp"

#include <poll.h>

#include <array>

#include "platform/thread_name.hpp"

namespace kestrune::test_receiver {

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kPollSliceMs = 50;
constexpr std::size_t kDatagramBufferBytes = 65'536;
// A port is read until nothing waits on it, but at most this many datagrams a turn, so the other
// sockets get their turn against a sender that never pauses.
constexpr std::size_t kMaxReadsPerTurn = 256;
constexpr std::array<UdpEndpoint, 3> kUdpEndpoints = {UdpEndpoint::timing, UdpEndpoint::data,
                                                      UdpEndpoint::control};

}  // namespace

support::Result<std::unique_ptr<SessionEndpoints>> SessionEndpoints::start(
    const platform::IpAddress& address) {
  const auto local = platform::SocketAddress::of(address, 0);
  auto listener = platform::TcpListener::bind(local);
  if (!listener) return support::fail_with_context(std::move(listener), "start event listener");
  std::vector<platform::UdpSocket> sockets;
  for (std::size_t i = 0; i < kUdpEndpoints.size(); ++i) {
    auto socket = platform::UdpSocket::bind(local);
    if (!socket) return support::fail_with_context(std::move(socket), "bind receiver UDP port");
    // Reads happen only after poll() saw a datagram; the timeout keeps a lost race short.
    if (auto set = socket->set_read_timeout(std::chrono::milliseconds(kPollSliceMs)); !set) {
      return support::fail(set.error());
    }
    sockets.push_back(std::move(*socket));
  }
  std::unique_ptr<SessionEndpoints> endpoints(
      new SessionEndpoints(std::move(*listener), std::move(sockets)));
  auto event_address = endpoints->event_listener_.local_address();
  if (!event_address) return support::fail(event_address.error());
  endpoints->event_port_ = event_address->port();
  for (const auto endpoint : kUdpEndpoints) {
    auto port = endpoints->sockets_[index(endpoint)].local_port();
    if (!port) return support::fail(port.error());
    endpoints->ports_[index(endpoint)] = *port;
  }
  auto thread = platform::spawn_named("test-endpoints", [raw = endpoints.get()] { raw->serve(); });
  if (!thread) return support::fail_with_context(std::move(thread), "start receiver endpoints");
  endpoints->thread_.emplace(std::move(*thread));
  return endpoints;
}

SessionEndpoints::SessionEndpoints(platform::TcpListener listener,
                                   std::vector<platform::UdpSocket> sockets)
    : event_listener_(std::move(listener)), sockets_(std::move(sockets)) {}

SessionEndpoints::~SessionEndpoints() { stop(); }

void SessionEndpoints::stop() {
  stop_.store(true);
  if (thread_) {
    (void)thread_->join();
    thread_.reset();
  }
  held_.clear();
  event_listener_.close();
  for (auto& socket : sockets_) socket.close();
}

template <class Fn>
void SessionEndpoints::update_record(Fn fn) {
  {
    auto record = record_.lock();
    fn(*record);
  }
  record_changed_.notify_all();
}

template <class Predicate>
bool SessionEndpoints::wait_until(Predicate predicate, std::chrono::milliseconds timeout) const {
  const auto deadline = Clock::now() + timeout;
  auto record = record_.lock();
  while (!predicate(*record)) {  // bounded by the deadline
    if (record.wait_until(record_changed_, deadline) == std::cv_status::timeout) {
      return predicate(*record);
    }
  }
  return true;
}

void SessionEndpoints::accept_event_connection() {
  auto accepted = event_listener_.accept_for(std::chrono::milliseconds(0));
  if (!accepted || !*accepted) return;
  update_record([](Record& r) { ++r.accepted; });
  if (held_.size() >= kMaxEventConnections) {
    update_record([](Record& r) { ++r.closed; });
    return;  // dropped: closed at once
  }
  held_.push_back(std::move(**accepted));
}

// False when nothing could be read.
bool SessionEndpoints::receive_datagram(UdpEndpoint endpoint, std::vector<std::uint8_t>& buffer) {
  auto received = sockets_[index(endpoint)].recv_from(buffer);
  if (!received) return false;
  update_record([&](Record& r) {
    const std::uint64_t number = r.counts[index(endpoint)]++;
    auto& kept = r.datagrams[index(endpoint)];
    if (kept.size() < kMaxRecordedDatagrams) {
      kept.push_back(
          {std::vector<std::uint8_t>(buffer.begin(),
                                     buffer.begin() + static_cast<std::ptrdiff_t>(received->size)),
           received->source, number});
    }
  });
  return true;
}

// Reads the datagrams waiting on a port that poll() found readable; false when some are left.
bool SessionEndpoints::receive_waiting(UdpEndpoint endpoint, std::vector<std::uint8_t>& buffer) {
  for (std::size_t read = 0; read < kMaxReadsPerTurn; ++read) {
    if (!receive_datagram(endpoint, buffer)) return true;
    pollfd more{sockets_[index(endpoint)].native_handle(), POLLIN, 0};
    if (::poll(&more, 1, 0) <= 0) return true;
  }
  return false;
}

void SessionEndpoints::serve() {
  std::vector<std::uint8_t> buffer(kDatagramBufferBytes);
  std::vector<pollfd> fds;
  while (!stop_.load()) {  // each turn waits at most 50 ms
    // A connect completes in the listener's backlog, so looking for it once a turn is enough.
    accept_event_connection();
    fds.clear();
    for (const auto& socket : sockets_) fds.push_back({socket.native_handle(), POLLIN, 0});
    for (const auto& held : held_) fds.push_back({held.native_handle(), POLLIN, 0});
    if (::poll(fds.data(), fds.size(), kPollSliceMs) <= 0) {
      update_record([](Record& r) { ++r.read_up_turns; });
      continue;
    }
    bool read_up = true;
    for (std::size_t i = 0; i < kUdpEndpoints.size(); ++i) {
      if (fds[i].revents != 0) read_up = receive_waiting(kUdpEndpoints[i], buffer) && read_up;
    }
    // An events connection that turns readable has been closed by the sender (it never writes) or
    // sent something, which is read and ignored.
    const std::size_t first_held = kUdpEndpoints.size();
    std::vector<platform::TcpStream> still_open;
    for (std::size_t i = 0; i < held_.size(); ++i) {
      if (fds[first_held + i].revents == 0) {
        still_open.push_back(std::move(held_[i]));
        continue;
      }
      std::array<std::uint8_t, 512> discard{};
      auto read = held_[i].read_some(discard);
      if (read && *read > 0) {
        still_open.push_back(std::move(held_[i]));
      } else {
        update_record([](Record& r) { ++r.closed; });
      }
    }
    held_ = std::move(still_open);
    if (read_up) update_record([](Record& r) { ++r.read_up_turns; });
  }
}

std::vector<RecordedDatagram> SessionEndpoints::datagrams(UdpEndpoint endpoint) const {
  return record_.lock()->datagrams[index(endpoint)];
}

std::uint64_t SessionEndpoints::datagram_count(UdpEndpoint endpoint) const {
  return record_.lock()->counts[index(endpoint)];
}

bool SessionEndpoints::wait_for_datagrams(UdpEndpoint endpoint, std::uint64_t count,
                                          std::chrono::milliseconds timeout) const {
  return wait_until([&](const Record& r) { return r.counts[index(endpoint)] >= count; }, timeout);
}

void SessionEndpoints::forget_datagrams(UdpEndpoint endpoint, std::uint64_t number) {
  update_record([&](Record& r) {
    auto& kept = r.datagrams[index(endpoint)];
    std::erase_if(kept, [&](const RecordedDatagram& d) { return d.number < number; });
  });
}

bool SessionEndpoints::wait_until_read_up(std::chrono::milliseconds timeout) const {
  // The turn running at the call may have begun before the datagrams arrived; the one after it
  // began later.
  const std::uint64_t after = record_.lock()->read_up_turns + 2;
  return wait_until([&](const Record& r) { return r.read_up_turns >= after; }, timeout);
}

std::size_t SessionEndpoints::event_connections_accepted() const {
  return record_.lock()->accepted;
}

std::size_t SessionEndpoints::event_connections_closed() const { return record_.lock()->closed; }

bool SessionEndpoints::wait_for_event_connections(std::size_t accepted,
                                                  std::chrono::milliseconds timeout) const {
  return wait_until([&](const Record& r) { return r.accepted >= accepted; }, timeout);
}

bool SessionEndpoints::wait_for_closed_event_connections(std::size_t closed,
                                                         std::chrono::milliseconds timeout) const {
  return wait_until([&](const Record& r) { return r.closed >= closed; }, timeout);
}

support::Status SessionEndpoints::send_from(UdpEndpoint endpoint,
                                            std::span<const std::uint8_t> datagram,
                                            const platform::SocketAddress& destination) const {
  return sockets_[index(endpoint)].send_to(datagram, destination);
}

}  // namespace kestrune::test_receiver
