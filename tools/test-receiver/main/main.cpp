// kestrune-test-receiver [--address IPV4] [--expect FILE]...: serves the loopback receiver until
// standard input ends, for trying the sender by hand, for the demo and for the example host's
// test. Prints "listening <address>:<port>" as its first line. Every session (control
// connection) gets its own account, printed once the session's connection has closed ("account
// <session> ..." lines, ending with "account <session> end"); a session still connected when
// standard input ends is accounted for then. docs/protocol.md describes the flags and lines.
//
//   --address IPV4  where it listens (default 127.0.0.1): an address of this machine
//   --expect FILE   a WAV file whose samples the next session is expected to send; given once per
//                   session, in order (the first for session 1, ...); later sessions are not
//                   compared
//
// Exits with 0, with 2 when a compared session's audio differed from its file, and with 1 when it
// could not start (an unknown flag, a file that is not a WAV of the accepted form, no socket).

#include <poll.h>
#include <unistd.h>

#include <iostream>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/wav/wav_reader.hpp"
#include "platform/stderr_log.hpp"
#include "test-receiver/session_accounts.hpp"
#include "test-receiver/test_receiver.hpp"

namespace {

using kestrune::platform::write_stderr_line;

struct Flags {
  kestrune::test_receiver::ReceiverOptions receiver;
  std::vector<std::vector<std::int16_t>> expected;  // by session, in order
};

// Nothing, after a line on standard error, when a flag is unknown or its value unusable.
std::optional<Flags> parse_flags(int argc, char** argv) {
  Flags flags;
  for (int i = 1; i < argc; ++i) {
    const std::string_view flag = argv[i];
    if (i + 1 >= argc) {
      write_stderr_line("error[test_receiver]: " + std::string(flag) + " needs a value");
      return std::nullopt;
    }
    const std::string value = argv[++i];
    if (flag == "--address") {
      const auto address = kestrune::platform::SocketAddress::from_ip_literal(value, 0);
      if (!address || address->is_ipv6()) {
        write_stderr_line("error[test_receiver]: --address takes an IPv4 address");
        return std::nullopt;
      }
      flags.receiver.address = address->ip();
    } else if (flag == "--expect") {
      auto samples = kestrune::engine::read_wav_file(value);
      if (!samples) {
        write_stderr_line("error[test_receiver]: " + samples.error().describe());
        return std::nullopt;
      }
      flags.expected.push_back(std::move(*samples));
    } else {
      write_stderr_line("error[test_receiver]: unknown flag " + std::string(flag));
      return std::nullopt;
    }
  }
  return flags;
}

// Whether standard input has ended; waits at most 50 ms for it.
bool input_ended() {
  pollfd input{STDIN_FILENO, POLLIN, 0};
  if (::poll(&input, 1, 50) <= 0) return false;
  char bytes[256];
  return ::read(STDIN_FILENO, bytes, sizeof bytes) <= 0;
}

void print(const std::vector<std::string>& lines) {
  for (const std::string& line : lines) std::cout << line << '\n';
  std::cout.flush();
}

}  // namespace

int main(int argc, char** argv) {
  auto flags = parse_flags(argc, argv);
  if (!flags) return 1;
  auto started = kestrune::test_receiver::TestReceiver::start(std::move(flags->receiver));
  if (!started) {
    write_stderr_line("error[test_receiver]: " + started.error().describe());
    return 1;
  }
  auto& receiver = **started;
  std::cout << "listening " << receiver.address().to_string() << std::endl;

  kestrune::test_receiver::SessionAccounts accounts(receiver, std::move(flags->expected));
  // Serves until standard input ends, by design of the tool.
  while (!input_ended()) print(accounts.follow());
  receiver.stop();
  print(accounts.finish());
  return accounts.all_audio_matched() ? 0 : 2;
}
