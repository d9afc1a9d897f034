#include "platform/loopback_channels.hpp"

#include <gtest/gtest.h>

#include <string>

namespace kestrune::platform {
namespace {

pa_channel_map parsed(const char* text) {
  pa_channel_map map;
  EXPECT_NE(pa_channel_map_parse(&map, text), nullptr) << text;
  return map;
}

struct Case {
  const char* sink;      // the sink's channel map
  const char* recorded;  // the stream's
  pa_stream_flags_t flags;
};

void PrintTo(const Case& c, std::ostream* out) { *out << c.sink; }

class LoopbackChannelsTest : public ::testing::TestWithParam<Case> {};

TEST_P(LoopbackChannelsTest, RecordsTheFrontPairOrTheFirstChannelsUnmixed) {
  const Case& c = GetParam();
  const LoopbackChannels chosen = loopback_channels(parsed(c.sink));
  const pa_channel_map expected = parsed(c.recorded);
  char text[PA_CHANNEL_MAP_SNPRINT_MAX];
  EXPECT_TRUE(pa_channel_map_equal(&chosen.map, &expected))
      << pa_channel_map_snprint(text, sizeof text, &chosen.map);
  EXPECT_EQ(chosen.flags, c.flags);
}

constexpr auto kByName = PA_STREAM_NO_REMIX_CHANNELS;
constexpr auto kByIndex = PA_STREAM_NO_REMAP_CHANNELS;

INSTANTIATE_TEST_SUITE_P(
    Maps, LoopbackChannelsTest,
    ::testing::Values(
        Case{"front-left,front-right", "front-left,front-right", kByName},
        Case{"front-left,front-right,front-center,lfe,rear-left,rear-right",
             "front-left,front-right", kByName},
        // The front pair wherever it sits, and in stream order left, right.
        Case{"front-left,front-left-of-center,front-center,front-right,front-right-of-center,"
             "rear-center",
             "front-left,front-right", kByName},
        Case{"front-right,front-left", "front-left,front-right", kByName},
        // No front pair: the first channels as they are.
        Case{"mono", "mono", kByIndex}, Case{"front-center", "front-center", kByIndex},
        Case{"aux0,aux1,aux2", "aux0,aux1", kByIndex},
        Case{"front-left,front-center", "front-left,front-center", kByIndex},
        // A position twice would be summed by name.
        Case{"front-left,front-right,front-left", "front-left,front-right", kByIndex}));

}  // namespace
}  // namespace kestrune::platform
