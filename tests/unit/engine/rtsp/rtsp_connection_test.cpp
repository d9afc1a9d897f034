// The parts of the control connection that need no receiver: its default headers, the exact read
// and the refusal of a poisoned connection. Exchanges against a receiver are tested in
// tests/integration/control_connection.

#include "engine/rtsp/rtsp_connection.hpp"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include "platform/tcp_listener.hpp"
#include "tests/support/secret_scan.hpp"

namespace kestrune::engine {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// A connection over one end of a socketpair; the test holds the other end.
struct Harness {
  RtspConnection connection;
  int peer;

  ~Harness() { ::close(peer); }
};

Harness make_harness() {
  int fds[2];
  EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
  auto connection =
      RtspConnection::from_stream(platform::TcpStream::adopt(fds[0]), "5A:0F:33:C1:09:7E");
  EXPECT_TRUE(connection);
  return Harness{std::move(*connection), fds[1]};
}

void send_to(int fd, std::string_view bytes) {
  ASSERT_EQ(::write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
}

TEST(RtspConnection, StartsWithTheSixDefaultHeadersAndTheInitialState) {
  Harness harness = make_harness();
  const auto& headers = harness.connection.default_headers();
  ASSERT_EQ(headers.size(), 6u);
  const char* names[] = {"User-Agent", "X-Apple-Client-Name", "X-Apple-Device-ID",
                         "DACP-ID",    "Client-Instance",     "Active-Remote"};
  for (std::size_t i = 0; i < headers.size(); ++i) EXPECT_EQ(headers[i].name, names[i]);
  EXPECT_EQ(headers[0].value, "AirPlay/745.83");
  EXPECT_EQ(headers[1].value, "Kestrune Sender");
  EXPECT_EQ(headers[2].value, "5A:0F:33:C1:09:7E");
  EXPECT_EQ(headers[3].value, "5A0F33C1097E");
  EXPECT_EQ(headers[4].value, "5A0F33C1097E");
  EXPECT_EQ(headers[5].value.size(), 10u);
  EXPECT_EQ(headers[5].value.find_first_not_of("0123456789"), std::string::npos);
  EXPECT_EQ(harness.connection.next_cseq(), 1u);
  EXPECT_EQ(harness.connection.request_timeout(), 10s);
  EXPECT_FALSE(harness.connection.is_poisoned());
  EXPECT_EQ(harness.connection.control_cipher(), nullptr);
  EXPECT_FALSE(harness.connection.session_id().has_value());
}

TEST(RtspConnection, ActiveRemoteIsTheSameForEveryConnection) {
  Harness first = make_harness();
  Harness second = make_harness();
  EXPECT_EQ(first.connection.default_headers()[5].value,
            second.connection.default_headers()[5].value);
}

TEST(ReadExact, AssemblesBytesFromSeveralWrites) {
  Harness harness = make_harness();
  std::thread writer([&] {
    send_to(harness.peer, "ab");
    std::this_thread::sleep_for(20ms);
    send_to(harness.peer, "cde");
  });
  auto bytes =
      harness.connection.read_exact_with_deadline(5, Clock::now() + 2s, CancelSource::none());
  writer.join();
  ASSERT_TRUE(bytes) << bytes.error().describe();
  EXPECT_EQ(std::string(bytes->begin(), bytes->end()), "abcde");
}

TEST(ReadExact, EndsOnDeadlineCancellationOrClosure) {
  struct Case {
    const char* name;
    std::chrono::milliseconds deadline_in;
    bool cancelled;
    bool close_peer;
    const char* message;  // nullptr: a time-out, the deadline message or the socket's own
  };
  const Case cases[] = {
      {"deadline", 150ms, false, false, nullptr},
      {"deadline already past", -1ms, false, false, "RTSP response deadline expired"},
      {"cancelled", 2000ms, true, false, "RTSP response cancelled"},
      {"peer closed", 2000ms, false, true, "RTSP TCP connection closed mid-frame"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Harness harness = make_harness();
    send_to(harness.peer, "x");
    if (c.close_peer) ::shutdown(harness.peer, SHUT_WR);
    std::atomic<bool> flag{c.cancelled};
    const auto started = Clock::now();
    auto bytes = harness.connection.read_exact_with_deadline(4, started + c.deadline_in,
                                                             CancelSource(&flag));
    ASSERT_FALSE(bytes);
    if (c.message) {
      EXPECT_EQ(bytes.error().describe(), c.message);
    } else {
      EXPECT_TRUE(support::is_timeout_error(bytes.error())) << bytes.error().describe();
      EXPECT_GE(Clock::now() - started, c.deadline_in);
    }
    EXPECT_LT(Clock::now() - started, 1s);
  }
}

TEST(RtspExchange, APoisonedConnectionRefusesAtOnceWithoutUsingACSeq) {
  Harness harness = make_harness();
  std::atomic<bool> stop{true};
  auto first = rtsp_exchange(harness.connection, "OPTIONS", "*", {}, {}, CancelSource(&stop));
  ASSERT_FALSE(first);
  EXPECT_EQ(first.error().describe(), "write OPTIONS CSeq 1: RTSP request cancelled");
  EXPECT_TRUE(harness.connection.is_poisoned());
  EXPECT_EQ(harness.connection.next_cseq(), 2u);

  auto second = rtsp_exchange(harness.connection, "OPTIONS", "*", {}, {}, CancelSource::none());
  ASSERT_FALSE(second);
  EXPECT_EQ(second.error().describe(), "RTSP connection is poisoned and cannot be reused");
  EXPECT_EQ(harness.connection.next_cseq(), 2u);

  // Nothing was ever written, and the stream was shut down.
  char byte = 0;
  EXPECT_EQ(::read(harness.peer, &byte, 1), 0);
}

TEST(RtspExchange, StopSetBeforeTheConnectMeansNoConnectAttempt) {
  // A listener on loopback: an attempt would complete its handshake and wait to be accepted.
  auto listener = platform::TcpListener::bind(platform::SocketAddress::loopback_v4(0));
  ASSERT_TRUE(listener);
  const auto address = listener->local_address();
  ASSERT_TRUE(address);
  std::atomic<bool> stop{true};
  auto connection = rtsp_connect_with_deadline(*address, "02:00:00:00:00:01", CancelSource(&stop));
  ASSERT_FALSE(connection);
  EXPECT_EQ(connection.error().describe(), "RTSP TCP connect cancelled");
  auto accepted = listener->accept_for(200ms);
  ASSERT_TRUE(accepted);
  EXPECT_FALSE(accepted->has_value());
}

// A request body may carry a secret (SETUP phase 2 carries the audio key): once the request is
// sealed, its plaintext is wiped before its memory goes back, so only the caller's body holds it.
TEST(RtspExchange, LeavesNoPlaintextCopyOfASealedRequest) {
  kestrune::testing::SecretScanner scanner;
  Harness harness = make_harness();
  AeadKey write_key{};
  AeadKey read_key{};
  write_key.fill(0x11);
  read_key.fill(0x22);
  harness.connection.enable_control_cipher(write_key, read_key);
  std::thread peer([&] {  // takes the sealed request and hangs up
    char sealed[4096];
    EXPECT_GT(::read(harness.peer, sealed, sizeof sealed), 0);
    ::shutdown(harness.peer, SHUT_RDWR);
  });
  auto response = rtsp_exchange(harness.connection, "SETUP", "rtsp://127.0.0.1/session", {},
                                scanner.secret(), CancelSource::none());
  peer.join();
  EXPECT_FALSE(response);
  EXPECT_EQ(scanner.copies(), 0u);
}

}  // namespace
}  // namespace kestrune::engine
