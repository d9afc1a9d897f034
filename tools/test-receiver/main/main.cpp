// kestrune-test-receiver [expected.wav]: serves the loopback receiver until standard input ends,
// for trying the sender by hand and for the demo. Prints the port it listens on as its first line.
// Once 40 audio packets have arrived it asks the sender for two of them again. When standard input
// ends it prints its account of what arrived ("account ..." lines), with, given a WAV file,
// whether the audio equals the file's samples; it exits with 2 when it does not.

#include <poll.h>
#include <unistd.h>

#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include "engine/wav/wav_reader.hpp"
#include "platform/stderr_log.hpp"
#include "test-receiver/audio_account.hpp"
#include "test-receiver/test_receiver.hpp"

namespace {

constexpr std::uint64_t kPacketsBeforeRetransmission = 40;
constexpr std::size_t kRetransmittedFrom = 5;
constexpr std::uint16_t kRetransmittedCount = 2;

// Whether standard input has ended; waits at most 50 ms for it.
bool input_ended() {
  pollfd input{STDIN_FILENO, POLLIN, 0};
  if (::poll(&input, 1, 50) <= 0) return false;
  char bytes[256];
  return ::read(STDIN_FILENO, bytes, sizeof bytes) <= 0;
}

}  // namespace

int main(int argc, char** argv) {
  using kestrune::platform::write_stderr_line;
  std::optional<std::vector<std::int16_t>> expected;
  if (argc > 1) {
    auto samples = kestrune::engine::read_wav_file(argv[1]);
    if (!samples) {
      write_stderr_line("error[test_receiver]: " + samples.error().describe());
      return 1;
    }
    expected = std::move(*samples);
  }
  auto started = kestrune::test_receiver::TestReceiver::start();
  if (!started) {
    write_stderr_line("error[test_receiver]: " + started.error().describe());
    return 1;
  }
  auto& receiver = **started;
  std::cout << "listening " << receiver.address().to_string() << std::endl;

  std::uint64_t requested = 0;
  // Serves until standard input ends, by design of the tool.
  while (!input_ended()) {
    if (requested == 0 &&
        receiver.endpoints().datagram_count(kestrune::test_receiver::UdpEndpoint::data) >=
            kPacketsBeforeRetransmission) {
      if (kestrune::test_receiver::request_retransmission(receiver, kRetransmittedFrom,
                                                          kRetransmittedCount)) {
        requested = kRetransmittedCount;
      }
    }
  }
  receiver.stop();

  const auto account = kestrune::test_receiver::take_audio_account(receiver, requested);
  const auto lines = kestrune::test_receiver::describe_audio_account(account, expected);
  for (const std::string& line : lines) std::cout << line << '\n';
  std::cout.flush();
  const bool matches = !expected || lines.back().starts_with("account audio=matches");
  return matches ? 0 : 2;
}
