#pragma once
// A receiver on 127.0.0.1 (or another address of the machine) for tests and the demo: an RTSP
// server that plays the receiver's side of the control connection, one connection at a time, on its
// own thread, and the session's other sockets (SessionEndpoints: the event listener and the timing,
// data and control UDP ports). As started, with no script, it accepts a whole session: connect, GET
// /info, pair-setup, encrypted OPTIONS, both SETUP phases, the events connection, RECORD, volume,
// feedback, FLUSH, TEARDOWN.
//
// Each request is answered by the first scripted route that matches it, else by the built-in
// route for it: GET /info (a binary property list), POST /pair-setup (the receiver's side of
// transient pair-setup, after which the connection is encrypted both ways), OPTIONS (200 with a
// Public header), the session requests of session_routes.hpp; anything else gets 501. A route
// matches a method and a uri: exactly, any uri when the route's is empty, or any uri that ends
// with the rest when the route's begins with '*' ("*/feedback"). A route may let its first `skip`
// matches pass on (to the second SETUP, say) and be limited to a number of uses. Everything
// received is recorded for the test to look at, and so is each connection: a session, when the
// sender paired on it.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/rtsp/session_keys.hpp"
#include "platform/socket_address.hpp"
#include "platform/tcp_listener.hpp"
#include "support/error.hpp"
#include "support/mutex.hpp"
#include "support/thread.hpp"
#include "test-receiver/pair_setup_responder.hpp"
#include "test-receiver/received_request.hpp"
#include "test-receiver/scripted_reply.hpp"
#include "test-receiver/session_endpoints.hpp"
#include "test-receiver/session_routes.hpp"

namespace kestrune::test_receiver {

// What a handler may use beside the request: the state of the connection it arrived on.
struct ConnectionContext {
  PairSetupResponder pairing;
  const SessionEndpoints& endpoints;
  const SessionAnswers& answers;
};

using RequestHandler = std::function<ScriptedReply(const ReceivedRequest&, ConnectionContext&)>;

inline constexpr std::size_t kEveryTime = std::numeric_limits<std::size_t>::max();

// One control connection as the receiver served it.
struct ServedConnection {
  std::size_t number = 0;         // 1 for the first connection accepted
  std::size_t first_request = 0;  // where its requests begin in requests()
  std::size_t request_count = 0;
  std::optional<engine::SessionKeys> session_keys;  // those of its pairing
  // The numbers the data and control ports were to give their next datagrams when it was
  // accepted: none of the session's datagrams has a lower one.
  std::uint64_t first_data_datagram = 0;
  std::uint64_t first_control_datagram = 0;
  bool closed = false;
};

struct ReceiverOptions {
  // Where it listens: the RTSP port and the session's ports, each on a port the system picks.
  platform::IpAddress address{127, 0, 0, 1};
  // Makes salt and B of every pairing reproducible (SrpServer::create); random otherwise.
  std::function<support::Result<SrpServer>()> make_srp_server;
  // A connection that sends nothing for this long is closed.
  std::chrono::milliseconds idle_limit = std::chrono::seconds(30);
  // What the built-in SETUP answers announce.
  SessionAnswers session;
};

class TestReceiver {
 public:
  // Binds the options' address on a port the system picks and starts serving.
  static support::Result<std::unique_ptr<TestReceiver>> start(ReceiverOptions options = {});
  ~TestReceiver();  // stop()
  TestReceiver(const TestReceiver&) = delete;
  TestReceiver& operator=(const TestReceiver&) = delete;

  platform::SocketAddress address() const { return address_; }
  std::uint16_t port() const { return address_.port(); }

  // The event listener and UDP ports the built-in SETUP answers announce.
  const SessionEndpoints& endpoints() const { return *endpoints_; }
  SessionEndpoints& endpoints() { return *endpoints_; }

  // Answers the next `times` requests that match with `reply`, after letting `skip` pass on.
  void script(std::string method, std::string uri, ScriptedReply reply, std::size_t times = 1,
              std::size_t skip = 0);
  // Answers the requests that match with `handler`, `times` times, after letting `skip` pass on.
  void on(std::string method, std::string uri, RequestHandler handler,
          std::size_t times = kEveryTime, std::size_t skip = 0);

  // The recorded requests with this method, in order.
  std::vector<ReceivedRequest> requests_with(std::string_view method) const;

  std::vector<ReceivedRequest> requests() const;
  // Waits until at least `count` requests have been recorded; false after `timeout`.
  bool wait_for_requests(std::size_t count, std::chrono::milliseconds timeout) const;
  std::size_t connections_accepted() const;
  // Every connection accepted so far, in order, and the requests received on one of them.
  std::vector<ServedConnection> connections() const;
  std::vector<ReceivedRequest> requests_on(const ServedConnection& connection) const;
  // Waits until at least `count` connections have ended (closed by either side).
  bool wait_for_closed_connections(std::size_t count, std::chrono::milliseconds timeout) const;
  // The keys of the latest pairing as the receiver derived them.
  std::optional<engine::SessionKeys> session_keys() const;
  // Why the latest connection was given up, when it was for malformed input.
  std::optional<std::string> last_connection_error() const;

  // Stops serving and joins the thread; idempotent.
  void stop();

 private:
  struct Route {
    std::string method;
    std::string uri;
    std::shared_ptr<RequestHandler> handler;  // shared, so a stateful handler keeps its state
    std::size_t uses_left;
    std::size_t skip_left;
  };
  struct Record {
    std::vector<ReceivedRequest> requests;
    std::vector<ServedConnection> connections;
    std::size_t connections_closed = 0;
    std::optional<engine::SessionKeys> session_keys;
    std::optional<std::string> last_connection_error;
  };

  TestReceiver(platform::TcpListener listener, platform::SocketAddress address,
               ReceiverOptions options, std::unique_ptr<SessionEndpoints> endpoints);
  void serve();
  void serve_connection(platform::TcpStream stream);
  std::shared_ptr<RequestHandler> handler_for(const ReceivedRequest& request);
  template <class Fn>
  void update_record(Fn fn);

  platform::TcpListener listener_;
  platform::SocketAddress address_;
  ReceiverOptions options_;
  std::unique_ptr<SessionEndpoints> endpoints_;
  std::atomic<bool> stop_{false};
  support::Mutex<std::vector<Route>> routes_;
  mutable support::Mutex<Record> record_;
  mutable std::condition_variable record_changed_;
  std::optional<support::JoinHandle<void>> thread_;
};

// The body the built-in GET /info route sends: a binary property list describing the receiver.
std::vector<std::uint8_t> default_info_body();

}  // namespace kestrune::test_receiver
