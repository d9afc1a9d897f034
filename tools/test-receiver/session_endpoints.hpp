#pragma once
// The receiver's side of a session's other sockets, on the receiver's address: the event port (a
// TCP listener that accepts the sender's events connection and holds it open) and three UDP ports,
// timing, data (RTP audio) and control (sync packets, retransmissions), that record what arrives.
// One thread serves them all in waits of at most 50 ms, reading each port until nothing waits on
// it. Every datagram that arrives at a port is numbered, from 0 on, in the order it was read. What
// is kept is bounded: at most kMaxRecordedDatagrams datagrams of each port at a time (later ones
// are counted and numbered but not kept, until forget_datagrams makes room) and
// kMaxEventConnections open events connections (later ones are closed at once, but counted).

#include <sys/socket.h>

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "platform/ip_address.hpp"
#include "platform/socket_address.hpp"
#include "platform/tcp_listener.hpp"
#include "platform/tcp_stream.hpp"
#include "platform/udp_socket.hpp"
#include "support/error.hpp"
#include "support/mutex.hpp"
#include "support/thread.hpp"

namespace kestrune::test_receiver {

inline constexpr std::size_t kMaxRecordedDatagrams = 8'192;
inline constexpr std::size_t kMaxEventConnections = 16;

enum class UdpEndpoint : std::uint8_t { timing, data, control };

struct RecordedDatagram {
  std::vector<std::uint8_t> bytes;
  platform::SocketAddress source;
  std::uint64_t number = 0;  // the port's datagrams before it
};

class SessionEndpoints {
 public:
  static support::Result<std::unique_ptr<SessionEndpoints>> start(
      const platform::IpAddress& address = {127, 0, 0, 1});
  ~SessionEndpoints();  // stop()
  SessionEndpoints(const SessionEndpoints&) = delete;
  SessionEndpoints& operator=(const SessionEndpoints&) = delete;

  std::uint16_t event_port() const { return event_port_; }
  std::uint16_t port(UdpEndpoint endpoint) const { return ports_[index(endpoint)]; }

  // The kept datagrams of one port, in arrival order, and how many arrived in all (the number
  // the next one gets).
  std::vector<RecordedDatagram> datagrams(UdpEndpoint endpoint) const;
  std::uint64_t datagram_count(UdpEndpoint endpoint) const;
  bool wait_for_datagrams(UdpEndpoint endpoint, std::uint64_t count,
                          std::chrono::milliseconds timeout) const;
  // Drops the kept datagrams of one port numbered below `number`, making room for later ones.
  void forget_datagrams(UdpEndpoint endpoint, std::uint64_t number);
  // Waits until every datagram that had arrived at any port when it was called has been read and
  // recorded: until two turns of the serving thread have ended with nothing left to read. False
  // after `timeout`.
  bool wait_until_read_up(std::chrono::milliseconds timeout) const;

  // Events connections accepted, and those the sender has closed (or shut down) since.
  std::size_t event_connections_accepted() const;
  std::size_t event_connections_closed() const;
  bool wait_for_event_connections(std::size_t accepted, std::chrono::milliseconds timeout) const;
  bool wait_for_closed_event_connections(std::size_t closed,
                                         std::chrono::milliseconds timeout) const;

  // Sends one datagram from one of the UDP ports (a timing request to the sender's timing port, a
  // retransmission request to its control port).
  support::Status send_from(UdpEndpoint endpoint, std::span<const std::uint8_t> datagram,
                            const platform::SocketAddress& destination) const;

  // Stops serving, joins the thread and closes every socket; idempotent.
  void stop();

 private:
  struct Record {
    std::array<std::vector<RecordedDatagram>, 3> datagrams;
    std::array<std::uint64_t, 3> counts{};
    std::uint64_t read_up_turns = 0;  // turns that ended with nothing left to read
    std::size_t accepted = 0;
    std::size_t closed = 0;
  };

  static std::size_t index(UdpEndpoint endpoint) { return static_cast<std::size_t>(endpoint); }

  SessionEndpoints(platform::TcpListener listener, std::vector<platform::UdpSocket> sockets);
  void serve();
  void accept_event_connection();
  bool receive_datagram(UdpEndpoint endpoint, std::vector<std::uint8_t>& buffer);
  bool receive_waiting(UdpEndpoint endpoint, std::vector<std::uint8_t>& buffer);
  template <class Fn>
  void update_record(Fn fn);
  template <class Predicate>
  bool wait_until(Predicate predicate, std::chrono::milliseconds timeout) const;

  platform::TcpListener event_listener_;
  std::vector<platform::UdpSocket> sockets_;  // indexed by UdpEndpoint
  std::uint16_t event_port_ = 0;
  std::array<std::uint16_t, 3> ports_{};
  std::vector<platform::TcpStream> held_;  // the serving thread's alone
  std::atomic<bool> stop_{false};
  mutable support::Mutex<Record> record_;
  mutable std::condition_variable record_changed_;
  std::optional<support::JoinHandle<void>> thread_;
};

}  // namespace kestrune::test_receiver
