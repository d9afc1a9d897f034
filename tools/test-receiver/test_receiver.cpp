#include "test-receiver/test_receiver.hpp"

#include "engine/plist/plist_codec.hpp"
#include "platform/thread_name.hpp"
#include "test-receiver/server_connection.hpp"

namespace kestrune::test_receiver {

namespace {

using Clock = std::chrono::steady_clock;

ScriptedReply answer_info(const ReceivedRequest&, ConnectionContext&) {
  ScriptedResponse response;
  response.headers.push_back({"Content-Type", "application/x-apple-binary-plist"});
  response.body = default_info_body();
  return ScriptedReply::with(std::move(response));
}

ScriptedReply answer_pair_setup(const ReceivedRequest& request, ConnectionContext& context) {
  const PairSetupResponder::Step step = context.pairing.handle(request.body);
  ScriptedResponse response;
  response.headers.push_back({"Content-Type", "application/octet-stream"});
  response.body = step.body;
  ScriptedReply reply = ScriptedReply::with(std::move(response));
  if (step.paired) reply.encrypt_after = context.pairing.session_keys();
  return reply;
}

ScriptedReply answer_options(const ReceivedRequest&, ConnectionContext&) {
  ScriptedResponse response;
  response.headers.push_back(
      {"Public",
       "ANNOUNCE, SETUP, RECORD, PAUSE, FLUSH, TEARDOWN, OPTIONS, GET_PARAMETER, "
       "SET_PARAMETER, POST, GET"});
  return ScriptedReply::with(std::move(response));
}

ScriptedReply answer_unknown(const ReceivedRequest&, ConnectionContext&) {
  return ScriptedReply::status(501, "Not Implemented");
}

bool uri_matches(std::string_view pattern, std::string_view uri) {
  if (pattern.empty()) return true;
  if (pattern.front() == '*') return uri.ends_with(pattern.substr(1));
  return pattern == uri;
}

bool route_matches(const std::string& method, const std::string& uri,
                   const ReceivedRequest& request) {
  return method == request.method && uri_matches(uri, request.uri);
}

ScriptedReply answer_session(const ReceivedRequest& request, ConnectionContext& context) {
  if (request.method == "SETUP") return answer_setup(request, context.answers, context.endpoints);
  return answer_session_ok(request);
}

}  // namespace

std::vector<std::uint8_t> default_info_body() {
  engine::PlistValue info(plist_new_dict());
  plist_dict_set_item(info.get(), "name", plist_new_string("Kestrune Test Receiver"));
  plist_dict_set_item(info.get(), "model", plist_new_string("AudioAccessory5,1"));
  plist_dict_set_item(info.get(), "deviceID", plist_new_string("02:00:00:00:00:01"));
  plist_dict_set_item(info.get(), "features", plist_new_uint(0x1C340405D4A00ULL));
  auto bytes = engine::encode_binary_plist(info.get());
  return bytes ? std::move(*bytes) : std::vector<std::uint8_t>{};
}

support::Result<std::unique_ptr<TestReceiver>> TestReceiver::start(ReceiverOptions options) {
  auto listener = platform::TcpListener::bind(platform::SocketAddress::of(options.address, 0));
  if (!listener) return support::fail_with_context(std::move(listener), "start test receiver");
  auto address = listener->local_address();
  if (!address) return support::fail_with_context(std::move(address), "start test receiver");
  auto endpoints = SessionEndpoints::start(options.address);
  if (!endpoints) return support::fail_with_context(std::move(endpoints), "start test receiver");
  std::unique_ptr<TestReceiver> receiver(
      new TestReceiver(std::move(*listener), *address, std::move(options), std::move(*endpoints)));
  auto thread = platform::spawn_named("test-receiver", [raw = receiver.get()] { raw->serve(); });
  if (!thread) return support::fail_with_context(std::move(thread), "start test receiver");
  receiver->thread_.emplace(std::move(*thread));
  return receiver;
}

TestReceiver::TestReceiver(platform::TcpListener listener, platform::SocketAddress address,
                           ReceiverOptions options, std::unique_ptr<SessionEndpoints> endpoints)
    : listener_(std::move(listener)),
      address_(address),
      options_(std::move(options)),
      endpoints_(std::move(endpoints)) {}

TestReceiver::~TestReceiver() { stop(); }

void TestReceiver::stop() {
  stop_.store(true);
  if (thread_) {
    (void)thread_->join();
    thread_.reset();
  }
  listener_.close();
  endpoints_->stop();
}

void TestReceiver::script(std::string method, std::string uri, ScriptedReply reply,
                          std::size_t times, std::size_t skip) {
  on(
      std::move(method), std::move(uri),
      [reply = std::move(reply)](const ReceivedRequest&, ConnectionContext&) { return reply; },
      times, skip);
}

void TestReceiver::on(std::string method, std::string uri, RequestHandler handler,
                      std::size_t times, std::size_t skip) {
  auto routes = routes_.lock();
  routes->push_back(Route{std::move(method), std::move(uri),
                          std::make_shared<RequestHandler>(std::move(handler)), times, skip});
}

std::shared_ptr<RequestHandler> TestReceiver::handler_for(const ReceivedRequest& request) {
  {
    auto routes = routes_.lock();
    for (auto it = routes->begin(); it != routes->end(); ++it) {
      if (!route_matches(it->method, it->uri, request)) continue;
      if (it->skip_left > 0) {
        --it->skip_left;
        continue;
      }
      std::shared_ptr<RequestHandler> handler = it->handler;
      if (it->uses_left != kEveryTime && --it->uses_left == 0) routes->erase(it);
      return handler;
    }
  }
  static const auto built_in = [](RequestHandler handler) {
    return std::make_shared<RequestHandler>(std::move(handler));
  };
  if (request.method == "GET" && request.uri == "/info") return built_in(answer_info);
  if (request.method == "POST" && request.uri == "/pair-setup") {
    return built_in(answer_pair_setup);
  }
  if (request.method == "OPTIONS") return built_in(answer_options);
  if (is_session_request(request)) return built_in(answer_session);
  return built_in(answer_unknown);
}

template <class Fn>
void TestReceiver::update_record(Fn fn) {
  {
    auto record = record_.lock();
    fn(*record);
  }
  record_changed_.notify_all();
}

void TestReceiver::serve() {
  while (!stop_.load()) {  // each turn waits at most 50 ms for a connection
    auto accepted = listener_.accept_for(std::chrono::milliseconds(50));
    if (!accepted) {
      update_record([&](Record& r) { r.last_connection_error = accepted.error().describe(); });
      return;
    }
    if (*accepted) serve_connection(std::move(**accepted));
  }
}

void TestReceiver::serve_connection(platform::TcpStream stream) {
  // Read before the record is locked: the endpoints have a lock of their own.
  ServedConnection served;
  served.first_data_datagram = endpoints_->datagram_count(UdpEndpoint::data);
  served.first_control_datagram = endpoints_->datagram_count(UdpEndpoint::control);
  update_record([&](Record& r) {
    served.number = r.connections.size() + 1;
    served.first_request = r.requests.size();
    r.connections.push_back(std::move(served));
  });
  ServerConnection connection(std::move(stream), stop_, options_.idle_limit);
  ConnectionContext context{options_.make_srp_server
                                ? PairSetupResponder([&]() -> std::optional<SrpServer> {
                                    auto server = options_.make_srp_server();
                                    if (!server) return std::nullopt;
                                    return std::move(*server);
                                  }())
                                : PairSetupResponder(),
                            *endpoints_, options_.session};
  bool silent = false;
  for (;;) {  // ends when the peer closes, the stop flag is set or the connection idles too long
    auto request = connection.next_request();
    if (!request || !*request) {
      if (!request) {
        update_record([&](Record& r) { r.last_connection_error = request.error().describe(); });
      }
      break;
    }
    update_record([&](Record& r) {
      r.requests.push_back(**request);
      ++r.connections.back().request_count;
    });
    if (silent) continue;
    ScriptedReply reply = (*handler_for(**request))(**request, context);
    // Recorded before the answer goes out, so whoever got the answer also sees the keys.
    if (reply.encrypt_after) {
      update_record([&](Record& r) {
        r.session_keys = reply.encrypt_after;
        r.connections.back().session_keys = reply.encrypt_after;
      });
    }
    if (auto sent = connection.send(reply, **request); !sent) break;
    if (reply.encrypt_after) connection.enable_encryption(*reply.encrypt_after);
    if (reply.ending == ScriptedReply::Ending::close) break;
    if (reply.ending == ScriptedReply::Ending::silence) silent = true;
  }
  connection.close();
  update_record([](Record& r) {
    ++r.connections_closed;
    r.connections.back().closed = true;
  });
}

std::vector<ReceivedRequest> TestReceiver::requests() const { return record_.lock()->requests; }

std::vector<ReceivedRequest> TestReceiver::requests_with(std::string_view method) const {
  std::vector<ReceivedRequest> matching;
  // The guard is held for the whole loop: a temporary one in the range would be gone before it.
  const auto record = record_.lock();
  for (const auto& request : record->requests) {
    if (request.method == method) matching.push_back(request);
  }
  return matching;
}

std::size_t TestReceiver::connections_accepted() const {
  return record_.lock()->connections.size();
}

std::vector<ServedConnection> TestReceiver::connections() const {
  return record_.lock()->connections;
}

std::vector<ReceivedRequest> TestReceiver::requests_on(const ServedConnection& connection) const {
  const auto record = record_.lock();
  const auto first =
      record->requests.begin() + static_cast<std::ptrdiff_t>(connection.first_request);
  return {first, first + static_cast<std::ptrdiff_t>(connection.request_count)};
}

std::optional<engine::SessionKeys> TestReceiver::session_keys() const {
  return record_.lock()->session_keys;
}

std::optional<std::string> TestReceiver::last_connection_error() const {
  return record_.lock()->last_connection_error;
}

bool TestReceiver::wait_for_requests(std::size_t count, std::chrono::milliseconds timeout) const {
  const auto deadline = Clock::now() + timeout;
  auto record = record_.lock();
  while (record->requests.size() < count) {  // bounded by the deadline
    if (record.wait_until(record_changed_, deadline) == std::cv_status::timeout) {
      return record->requests.size() >= count;
    }
  }
  return true;
}

bool TestReceiver::wait_for_closed_connections(std::size_t count,
                                               std::chrono::milliseconds timeout) const {
  const auto deadline = Clock::now() + timeout;
  auto record = record_.lock();
  while (record->connections_closed < count) {  // bounded by the deadline
    if (record.wait_until(record_changed_, deadline) == std::cv_status::timeout) {
      return record->connections_closed >= count;
    }
  }
  return true;
}

}  // namespace kestrune::test_receiver
