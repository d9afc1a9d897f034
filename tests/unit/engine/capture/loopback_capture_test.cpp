#include "engine/capture/loopback_capture.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/fake_audio_host.hpp"
#include "tests/support/wait_until.hpp"

namespace kestrune::engine {
namespace {

using kestrune::testing::wait_until;
using platform::OutputConfig;
using platform::SampleFormat;
using testing::FakeAudioHost;
using testing::FakeDeviceScript;

struct StartFailure {
  std::string name;
  FakeDeviceScript script;
  std::string root;
  std::vector<std::string> contexts;
};

void PrintTo(const StartFailure& c, std::ostream* out) { *out << c.name; }

FakeDeviceScript script_with(void (*change)(FakeDeviceScript&)) {
  FakeDeviceScript script;
  change(script);
  return script;
}

FakeDeviceScript format(SampleFormat sample_format) {
  FakeDeviceScript script;
  script.config = OutputConfig{sample_format, 48000, 2};
  return script;
}

std::vector<StartFailure> start_failures() {
  return {
      {"no_device",
       script_with([](FakeDeviceScript& s) { s.has_device = false; }),
       "Windows has no default output device",
       {}},
      {"host_unreachable",
       script_with(
           [](FakeDeviceScript& s) { s.host_error = support::Error("connection refused"); }),
       "connection refused",
       {"Windows has no default output device"}},
      {"config_unreadable",
       script_with([](FakeDeviceScript& s) { s.config = support::fail("device gone"); }),
       "device gone",
       {"read default output config"}},
      {"zero_channels",
       script_with(
           [](FakeDeviceScript& s) { s.config = OutputConfig{SampleFormat::f32, 48000, 0}; }),
       "default output reports zero channels",
       {}},
      {"format_i8", format(SampleFormat::i8), "unsupported Windows output sample format I8", {}},
      {"format_i32", format(SampleFormat::i32), "unsupported Windows output sample format I32", {}},
      {"format_i64", format(SampleFormat::i64), "unsupported Windows output sample format I64", {}},
      {"format_u8", format(SampleFormat::u8), "unsupported Windows output sample format U8", {}},
      {"format_u32", format(SampleFormat::u32), "unsupported Windows output sample format U32", {}},
      {"format_u64", format(SampleFormat::u64), "unsupported Windows output sample format U64", {}},
      {"format_f64", format(SampleFormat::f64), "unsupported Windows output sample format F64", {}},
      {"build_fails",
       script_with([](FakeDeviceScript& s) { s.build_error = support::Error("no such stream"); }),
       "no such stream",
       {}},
      {"play_fails",
       script_with([](FakeDeviceScript& s) { s.play_error = support::Error("busy"); }),
       "busy",
       {"start WASAPI loopback capture stream"}},
  };
}

class CaptureStartFailure : public ::testing::TestWithParam<StartFailure> {};

TEST_P(CaptureStartFailure, FailsWithItsMessage) {
  const StartFailure& c = GetParam();
  FakeAudioHost host(c.script);
  auto handle = start_loopback_capture(host);
  ASSERT_FALSE(handle.has_value());
  EXPECT_EQ(handle.error().root_message(), c.root);
  EXPECT_EQ(handle.error().contexts(), c.contexts);
  // Whatever was built is gone again, and nothing keeps running.
  EXPECT_EQ(host.stream->built, host.stream->destroyed);
  EXPECT_FALSE(host.stream->data.has_value());
}

INSTANTIATE_TEST_SUITE_P(Table, CaptureStartFailure, ::testing::ValuesIn(start_failures()),
                         [](const auto& test) { return test.param.name; });

struct StartedFormat {
  SampleFormat format;
  const char* name;
};

class CaptureStartsWith : public ::testing::TestWithParam<StartedFormat> {};

TEST_P(CaptureStartsWith, TheDevicesOwnConfiguration) {
  FakeDeviceScript script;
  script.config = OutputConfig{GetParam().format, 96000, 6};
  FakeAudioHost host(script);
  auto handle = start_loopback_capture(host);
  ASSERT_TRUE(handle.has_value()) << handle.error().describe();
  EXPECT_EQ(handle->device_name, "Fake Speakers");
  EXPECT_EQ(handle->sample_format, GetParam().name);
  EXPECT_EQ(handle->sample_rate, 96000u);
  EXPECT_EQ(handle->channels, 6u);
  EXPECT_TRUE(host.stream->played);
  EXPECT_EQ(host.stream->config.channels, 6u);
  EXPECT_EQ(host.stream->config.sample_rate, 96000u);
  switch (GetParam().format) {
    case SampleFormat::i16:
      EXPECT_TRUE(host.stream->holds<std::int16_t>());
      break;
    case SampleFormat::u16:
      EXPECT_TRUE(host.stream->holds<std::uint16_t>());
      break;
    default:
      EXPECT_TRUE(host.stream->holds<float>());
      break;
  }
}

INSTANTIATE_TEST_SUITE_P(Formats, CaptureStartsWith,
                         ::testing::Values(StartedFormat{SampleFormat::i16, "I16"},
                                           StartedFormat{SampleFormat::u16, "U16"},
                                           StartedFormat{SampleFormat::f32, "F32"}),
                         [](const auto& test) { return std::string(test.param.name); });

TEST(LoopbackCapture, UnreadableNameIsUnknown) {
  FakeDeviceScript script;
  script.name = support::fail("no name");
  FakeAudioHost host(script);
  auto handle = start_loopback_capture(host);
  ASSERT_TRUE(handle.has_value());
  EXPECT_EQ(handle->device_name, "<unknown>");
}

TEST(LoopbackCapture, DeliversChunksCountsErrorsAndClosesOnDrop) {
  FakeDeviceScript script;
  script.config = OutputConfig{SampleFormat::u16, 44100, 1};
  FakeAudioHost host(script);
  auto handle = start_loopback_capture(host);
  ASSERT_TRUE(handle.has_value());

  // A mono device: 2048 unsigned samples become two chunks with left = right.
  std::vector<std::uint16_t> mono(2048);
  for (std::size_t i = 0; i < mono.size(); ++i) mono[i] = static_cast<std::uint16_t>(32768 + i);
  ASSERT_TRUE(host.stream->deliver(std::span<const std::uint16_t>(mono)));
  ASSERT_TRUE(host.stream->fail(support::Error("glitch")));
  ASSERT_TRUE(host.stream->deliver(std::span<const std::uint16_t>(mono.data(), 10)));

  const CaptureTotals totals = capture_totals(*handle->stats);
  EXPECT_EQ(totals.callbacks, 2u);
  EXPECT_EQ(totals.callbackErrors, 1u);
  EXPECT_EQ(totals.chunks, 2u);
  EXPECT_EQ(totals.frames, 2058u);
  EXPECT_EQ(totals.peak, 2047u);

  support::Receiver<CaptureChunk> queue = std::move(handle->queue);
  {
    CaptureHandle dropped = std::move(*handle);
  }  // stops the stream
  EXPECT_TRUE(host.stream->destroyed);
  EXPECT_FALSE(host.stream->data.has_value());
  for (std::size_t chunk = 0; chunk < 2; ++chunk) {
    auto received = queue.try_recv();
    ASSERT_TRUE(received.has_value()) << "chunk " << chunk;
    EXPECT_EQ(received->sample_rate, 44100u);
    for (std::size_t f = 0; f < 1024; ++f) {
      const auto expected = static_cast<std::int16_t>(chunk * 1024 + f);
      ASSERT_EQ(received->samples[2 * f], expected);
      ASSERT_EQ(received->samples[2 * f + 1], expected);
    }
  }
  auto after = queue.try_recv();
  ASSERT_FALSE(after.has_value());
  EXPECT_EQ(after.error(), support::RecvError::disconnected);
}

// The library's thread produces while the coordinator drains and reads the counters.
TEST(LoopbackCapture, CountersAndQueueAcrossThreads) {
  FakeAudioHost host(FakeDeviceScript{});
  auto handle = start_loopback_capture(host);
  ASSERT_TRUE(handle.has_value());
  constexpr int kBuffers = 400;
  constexpr std::size_t kFrames = 480;
  std::thread library([stream = host.stream] {
    std::vector<float> buffer(2 * kFrames, 0.5f);
    for (int i = 0; i < kBuffers; ++i) stream->deliver(std::span<const float>(buffer));
  });
  std::uint64_t received = 0;
  const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (std::chrono::steady_clock::now() < give_up) {
    const CaptureTotals totals = capture_totals(*handle->stats);
    auto chunk = handle->queue.recv_timeout(std::chrono::milliseconds(5));
    if (chunk) {
      ++received;
      EXPECT_EQ(chunk->samples[0], 16384);
    } else if (totals.callbacks == kBuffers) {
      break;
    }
  }
  library.join();
  while (handle->queue.try_recv()) ++received;
  const CaptureTotals totals = capture_totals(*handle->stats);
  EXPECT_EQ(totals.frames, kBuffers * kFrames);
  EXPECT_EQ(totals.chunks, kBuffers * kFrames * 2 / kCaptureChunkSamples);
  EXPECT_EQ(received + totals.queueDrops, totals.chunks);
}

// The session's stop ends the start wherever it is: before anything is looked up, or while the
// host waits for a server that does not answer.
TEST(LoopbackCapture, AStopEndsTheStartAndNothingKeepsRunning) {
  struct Case {
    const char* name;
    bool stopped_before;
    bool hangs;
    const char* root;
  };
  const Case cases[] = {
      {"stopped before the start", true, false, "loopback capture start stopped"},
      {"stopped while the host waits", false, true, "the audio host was stopped"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FakeDeviceScript script;
    script.hangs_until_stopped = c.hangs;
    FakeAudioHost host(script);
    std::atomic<bool> stop{c.stopped_before};
    std::thread host_side([&] {
      if (c.stopped_before) return;
      (void)wait_until([&] { return host.waiting.load(); }, std::chrono::seconds(10));
      stop = true;
    });
    auto handle = start_loopback_capture(host, &stop);
    host_side.join();
    ASSERT_FALSE(handle.has_value());
    EXPECT_EQ(handle.error().root_message(), c.root);
    EXPECT_EQ(host.waiting.load(), c.hangs);
    EXPECT_FALSE(host.stream->built);
  }
}

}  // namespace
}  // namespace kestrune::engine
