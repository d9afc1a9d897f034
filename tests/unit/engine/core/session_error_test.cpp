#include "engine/core/session_error.hpp"
#include "engine/core/session_error_testing.hpp"

#include <gtest/gtest.h>

#include <cstdint>

namespace kestrune::engine {
namespace {

TEST(SessionError, PacksCodeStageAndRetryableIntoTheirBytes) {
  struct Case {
    SessionError error;
    std::uint32_t packed;
  };
  const Case cases[] = {
      {{SessionErrorKind::config_error, SessionStage::validate_config, false}, 0x000000},
      {{SessionErrorKind::network_error, SessionStage::pairing, true}, 0x010302},
      {{SessionErrorKind::stream_failed, SessionStage::stream_worker, false}, 0x000A08},
      {{SessionErrorKind::internal_error, SessionStage::internal, false}, 0x000F0B},
      {{SessionErrorKind::cancelled, SessionStage::set_volume, false}, 0x000D0A},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(pack_session_error(c.error), c.packed);
    const SessionError back = unpack_session_error(c.packed);
    EXPECT_EQ(back.code, c.error.code);
    EXPECT_EQ(back.stage, c.error.stage);
    EXPECT_EQ(back.retryable, c.error.retryable);
  }
}

TEST(SessionError, EveryCodeAndStageSurvivesTheRoundTrip) {
  for (std::uint32_t code = 0; code <= 12; ++code) {
    for (std::uint32_t stage = 0; stage < kSessionStageNames.size(); ++stage) {
      for (std::uint32_t retryable = 0; retryable <= 1; ++retryable) {
        const std::uint32_t packed = code | stage << 8 | retryable << 16;
        const SessionError error = unpack_session_error(packed);
        EXPECT_EQ(pack_session_error(error), packed);
      }
    }
  }
}

TEST(SessionError, CodeTwelveIsSuccessWhateverTheOtherBytesHold) {
  const SessionError a = unpack_session_error(0x000C);
  const SessionError b = unpack_session_error(0x010E0C);
  EXPECT_TRUE(a.is_success());
  EXPECT_TRUE(b.is_success());
  EXPECT_EQ(a, b);
  EXPECT_EQ(a, SessionError::success());
  EXPECT_NE(SessionError::of(SessionErrorKind::cancelled, SessionStage::shutdown),
            SessionError::of(SessionErrorKind::cancelled, SessionStage::set_volume));
}

TEST(SessionError, BytesOutsideTheEnumerationsUnpackAsInternal) {
  const SessionError error = unpack_session_error(0x07FF0D);
  EXPECT_EQ(error.code, SessionErrorKind::internal_error);
  EXPECT_EQ(error.stage, SessionStage::internal);
  EXPECT_TRUE(error.retryable);
}

TEST(SessionError, OnlyTransientCodesAreRetryableByDefault) {
  for (std::size_t code = 0; code < kSessionErrorKindNames.size(); ++code) {
    const auto kind = static_cast<SessionErrorKind>(code);
    const std::string_view name = kSessionErrorKindNames[code];
    const bool expected = name == "network_error" || name == "setup_failed" ||
                          name == "control_poisoned" || name == "capture_failed" ||
                          name == "stream_failed";
    EXPECT_EQ(default_retryable(kind), expected) << name;
    EXPECT_EQ(SessionError::of(kind, SessionStage::internal).retryable, expected) << name;
  }
}

TEST(SessionError, WireNamesFollowTheEnumerations) {
  EXPECT_EQ(wire_name(SessionErrorKind::config_error), "config_error");
  EXPECT_EQ(wire_name(SessionErrorKind::shutdown_timeout), "shutdown_timeout");
  EXPECT_EQ(wire_name(SessionErrorKind::internal_error), "internal_error");
  EXPECT_EQ(wire_name(SessionErrorKind::success), "completed");
  EXPECT_EQ(wire_name(SessionStage::validate_config), "validate_config");
  EXPECT_EQ(wire_name(SessionStage::setup_phase1), "setup_phase1");
  EXPECT_EQ(wire_name(SessionStage::setup_phase2), "setup_phase2");
  EXPECT_EQ(wire_name(SessionStage::set_volume), "set_volume");
  EXPECT_EQ(wire_name(SessionStage::internal), "internal");
}

}  // namespace
}  // namespace kestrune::engine
