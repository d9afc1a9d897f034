// kestrune-test-receiver: serves the loopback receiver until standard input ends, for trying the
// sender by hand and for the demo. Prints the port it listens on as its first line.

#include <unistd.h>

#include <iostream>

#include "support/stderr_log.hpp"
#include "test-receiver/test_receiver.hpp"

int main() {
  auto receiver = kestrune::test_receiver::TestReceiver::start();
  if (!receiver) {
    kestrune::support::write_stderr_line("error[test_receiver]: " + receiver.error().describe());
    return 1;
  }
  std::cout << "listening " << (*receiver)->address().to_string() << std::endl;
  char byte = 0;
  while (::read(STDIN_FILENO, &byte, 1) > 0) {
  }
  (*receiver)->stop();
  return 0;
}
