// The values the control client computes on its own: the volume line, the device identifier, the
// session UUID and URL, the socket clean-up rule and what each start failure is reported as.

#include <gtest/gtest.h>

#include <regex>
#include <set>

#include "engine/session/control_requests.hpp"
#include "engine/session/session_identity.hpp"
#include "engine/session/session_teardown.hpp"
#include "engine/session/startup_error.hpp"

namespace kestrune::engine {
namespace {

TEST(VolumeParameterBody, ClampsAndWritesDecibelsWithTwoDecimals) {
  const struct {
    float volume;
    const char* body;
  } cases[] = {
      {0.0F, "volume: -144.00\r\n"}, {-0.5F, "volume: -144.00\r\n"}, {0.001F, "volume: -60.00\r\n"},
      {0.5F, "volume: -6.02\r\n"},   {1.0F, "volume: 0.00\r\n"},     {2.0F, "volume: 0.00\r\n"},
      {0.1F, "volume: -20.00\r\n"},
  };
  for (const auto& c : cases) EXPECT_EQ(volume_parameter_body(c.volume), c.body) << c.volume;
}

TEST(DeviceId, IsSixUpperCaseHexPairsOfALocallyAdministeredUnicastAddress) {
  const std::regex form("[0-9A-F]{2}(:[0-9A-F]{2}){5}");
  std::set<std::string> seen;
  for (int i = 0; i < 64; ++i) {
    const std::string id = random_device_id();
    ASSERT_TRUE(std::regex_match(id, form)) << id;
    const auto first = static_cast<unsigned>(std::stoul(id.substr(0, 2), nullptr, 16));
    EXPECT_EQ(first & 0x03u, 0x02u) << id;
    seen.insert(id);
  }
  EXPECT_GT(seen.size(), 60u);  // new for every session
}

TEST(HexUpperBytes, PadsEachByteAndJoins) {
  const std::uint8_t bytes[] = {0x5A, 0x0F, 0x00, 0xFE};
  EXPECT_EQ(hex_upper_bytes(bytes), "5A:0F:00:FE");
  EXPECT_EQ(hex_upper_bytes(bytes, 0), "5A0F00FE");
}

TEST(SessionUrl, PutsIpv6HostsInBracketsAndKeepsTheUpperCaseUuid) {
  const std::string uuid = random_rtsp_session_uuid();
  EXPECT_TRUE(std::regex_match(
      uuid, std::regex("[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}")))
      << uuid;
  EXPECT_EQ(session_url(platform::IpAddress::v4(192, 0, 2, 7), uuid), "rtsp://192.0.2.7/" + uuid);
  const platform::IpAddress v6 =
      platform::IpAddress::v6({0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x05});
  EXPECT_EQ(session_url(v6, uuid), "rtsp://[2001:db8::5]/" + uuid);
  EXPECT_EQ(receiver_socket_address(v6, 7000).to_string(), "[2001:db8::5]:7000");
}

TEST(SocketCleanup, IsForcedByAForcedStageOrAFailedRequest) {
  using R = RequestOutcome;
  const struct {
    R flush;
    R teardown;
    std::uint32_t forced;
    CleanupOutcome expected;
  } cases[] = {
      {R::succeeded, R::succeeded, 0, CleanupOutcome::completed},
      {R::rejected, R::rejected, 0, CleanupOutcome::completed},
      {R::notApplicable, R::notApplicable, 0, CleanupOutcome::completed},
      {R::succeeded, R::succeeded, 1, CleanupOutcome::forced},
      {R::transportFailed, R::succeeded, 0, CleanupOutcome::forced},
      {R::succeeded, R::skippedControlPoisoned, 0, CleanupOutcome::forced},
      {R::deadlineExceeded, R::rejected, 0, CleanupOutcome::forced},
  };
  for (const auto& c : cases) {
    TeardownEvidence teardown;
    teardown.evidence.flushOutcome = c.flush;
    teardown.evidence.teardownOutcome = c.teardown;
    teardown.forced_stages = c.forced;
    EXPECT_EQ(socket_cleanup_for(teardown), c.expected)
        << static_cast<int>(c.flush) << " " << static_cast<int>(c.teardown) << " " << c.forced;
  }
}

TEST(StartupSessionError, MapsEveryKindToItsCodeAndStage) {
  using K = SessionErrorKind;
  using S = SessionStage;
  const struct {
    StartupErrorKind kind;
    K code;
    S stage;
    bool retryable;
  } cases[] = {
      {StartupErrorKind::cancelled, K::cancelled, S::shutdown, false},
      {StartupErrorKind::connect_or_info, K::network_error, S::pairing, true},
      {StartupErrorKind::pairing, K::pairing_failed, S::pairing, false},
      {StartupErrorKind::timing, K::internal_error, S::timing, false},
      {StartupErrorKind::setup_phase1, K::setup_failed, S::setup_phase1, true},
      {StartupErrorKind::control_bind, K::network_error, S::control, true},
      {StartupErrorKind::setup_phase2, K::setup_failed, S::setup_phase2, true},
      {StartupErrorKind::record_rejected, K::record_rejected, S::record, false},
      {StartupErrorKind::record_transport, K::control_poisoned, S::record, true},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(startup_session_error(c.kind), (SessionError{c.code, c.stage, c.retryable}))
        << static_cast<int>(c.kind);
  }
}

}  // namespace
}  // namespace kestrune::engine
