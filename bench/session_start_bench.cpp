// Cold start of a session: a fresh kestrune process per run, started against the loopback test
// receiver (in this process), timed from the moment the startSession line is written to the moment
// the "playing" state line is read. Beside it, measured in the same run: the crypto floor, one
// pairing's SRP-6a work on both sides (the client's A, x, S, K and proofs, the receiver's v, B and
// check) plus the HKDF key derivation, done in this process with the library already warm. Figures
// only; nothing here passes or fails.
//
// Usage: session_start_bench [runs]   (15 by default)

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/rtsp/session_keys.hpp"
#include "engine/session/pair_setup.hpp"
#include "engine/srp/srp_client.hpp"
#include "engine/srp/srp_group.hpp"
#include "host_session.hpp"
#include "test-receiver/srp_server.hpp"
#include "test-receiver/test_receiver.hpp"
#include "tests/support/kestrune_process.hpp"
#include "tests/support/temp_wav_file.hpp"

namespace {

using namespace kestrune;
using Clock = std::chrono::steady_clock;

std::span<const std::uint8_t> ascii(std::string_view text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

double milliseconds(Clock::duration d) {
  return std::chrono::duration<double, std::milli>(d).count();
}

double median(std::vector<double> values) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  const std::size_t mid = values.size() / 2;
  return values.size() % 2 ? values[mid] : (values[mid - 1] + values[mid]) / 2;
}

// One pairing's public-key work on both sides and the key derivation; nothing when a step fails.
std::optional<Clock::duration> crypto_floor_once() {
  const auto identity = ascii(engine::kPairSetupIdentity);
  const auto pin = ascii(engine::kTransientPairingPin);
  const auto start = Clock::now();
  auto client = engine::srp_client_new(identity, pin);
  auto server = test_receiver::SrpServer::create_random(identity, pin);
  if (!client || !server) return std::nullopt;
  auto challenge =
      engine::srp_process_challenge(*client, server->salt(), server->padded_public_value());
  if (!challenge) return std::nullopt;
  auto client_public = engine::srp_pad(client->public_value());
  if (!client_public) return std::nullopt;
  auto verified = server->verify_client(*client_public, challenge->client_proof);
  if (!verified) return std::nullopt;
  if (!engine::srp_verify_server_proof(*client, verified->server_proof)) return std::nullopt;
  auto keys = engine::derive_session_keys(challenge->session_key);
  if (!keys) return std::nullopt;
  benchmark::DoNotOptimize(keys->events_key);
  return Clock::now() - start;
}

// One fresh process: startSession written to "playing" read; nothing when the run went wrong.
std::optional<Clock::duration> cold_start_once(std::uint16_t receiver_port,
                                               const std::string& wav_path) {
  testing::KestruneProcess process;
  if (!bench::read_until(process, "\"event\":\"ready\"")) return std::nullopt;
  const std::string start = bench::file_session_start_line(receiver_port, wav_path);
  const auto written = Clock::now();
  if (!process.write_line(start)) return std::nullopt;
  const bool playing = bench::read_until(process, "\"state\":\"playing\"").has_value();
  const auto played = Clock::now();
  process.close_stdin();  // end of input stops the session and ends the process
  (void)process.wait_exit();
  if (!playing) return std::nullopt;
  return played - written;
}

}  // namespace

int main(int argc, char** argv) {
  const long runs = argc > 1 ? std::clamp(std::strtol(argv[1], nullptr, 10), 1L, 200L) : 15;
  auto receiver = test_receiver::TestReceiver::start();
  if (!receiver) {
    std::fprintf(stderr, "the test receiver did not start\n");
    return 1;
  }
  // Two seconds of silence: the session plays it out while the process shuts down.
  const std::vector<std::int16_t> silence(2 * 44'100 * 2, 0);
  testing::TempWavFile wav(silence);

  std::vector<double> starts_ms, floors_ms;
  (void)crypto_floor_once();  // the library's first use is not part of the floor
  for (long run = 0; run < runs; ++run) {
    if (const auto floor = crypto_floor_once()) floors_ms.push_back(milliseconds(*floor));
    if (const auto start = cold_start_once((*receiver)->port(), wav.path())) {
      starts_ms.push_back(milliseconds(*start));
    }
  }
  const auto [fastest, slowest] = std::minmax_element(starts_ms.begin(), starts_ms.end());
  std::printf("session cold start (startSession -> playing, fresh process, loopback receiver)\n");
  std::printf("  %zu of %ld runs  median %7.2f ms  fastest %7.2f ms  slowest %7.2f ms\n",
              starts_ms.size(), runs, median(starts_ms), starts_ms.empty() ? 0.0 : *fastest,
              starts_ms.empty() ? 0.0 : *slowest);
  std::printf("crypto floor, same run (both sides' SRP-6a + HKDF, in-process, warm)\n");
  std::printf("  median %7.2f ms   cold start / floor %5.2fx\n", median(floors_ms),
              median(floors_ms) > 0 ? median(starts_ms) / median(floors_ms) : 0.0);
  return starts_ms.size() == static_cast<std::size_t>(runs) ? 0 : 1;
}
