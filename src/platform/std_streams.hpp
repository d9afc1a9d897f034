#pragma once
// The process's standard streams as the protocol uses them: standard input read in pieces,
// standard output written in whole lines, and a stream the host left closed kept unusable. The
// reads and writes take any descriptor, so a pipe can stand in for a standard stream.

#include <cstddef>
#include <span>
#include <string_view>

namespace kestrune::platform {

inline constexpr int kStandardInput = 0;
inline constexpr int kStandardOutput = 1;

struct StreamRead {
  enum class Outcome { data, end, error };
  Outcome outcome = Outcome::error;
  std::size_t size = 0;  // bytes read, more than 0 for data
};

// Reads what is there, at most `into.size()` bytes, from `fd`, which it does not own. The end of
// the stream, and a descriptor that is not open, give `end`. A read interrupted by a signal, or
// one that finds a non-blocking descriptor empty (it then waits for input as a blocking read
// would), is tried again up to 1000 times before it gives `error`; any other failure gives
// `error` at once.
[[nodiscard]] StreamRead read_stream(int fd, std::span<char> into);

// Writes every byte of `bytes` to `fd`, which it does not own; false on the first failure (a
// broken pipe once the reader has closed its end). A non-blocking descriptor that is full is
// waited on as a blocking one would be; up to 1000 interrupted writes are tried again.
[[nodiscard]] bool write_stream(int fd, std::string_view bytes);

// A standard stream (input, output, error) that the host left closed keeps its descriptor: it is
// held by /dev/null opened the other way round, so a read of standard input or a write of
// standard output or error still fails as on a missing stream, and no descriptor the process
// opens later takes its number.
void hold_closed_standard_streams();

// A write to a pipe whose reader has gone fails with a broken pipe instead of raising SIGPIPE.
void ignore_broken_pipe_signal();

}  // namespace kestrune::platform
