#pragma once
// Failures as values: an Error carries a root message, the kind of operating-system failure it came
// from (so callers can ask "was this a timeout?"), and the context messages added on its way up.

#include <expected>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace kestrune::support {

enum class ErrorKind {
  other,
  timed_out,
  would_block,
  interrupted,
  connection_closed,
};

class Error {
 public:
  explicit Error(std::string message, ErrorKind kind = ErrorKind::other, int os_code = 0);

  // An error from an errno value: "<what>: <strerror>", with the kind derived from the value
  // (EAGAIN -> would_block, ETIMEDOUT -> timed_out, EINTR -> interrupted, EPIPE / ECONNRESET /
  // ECONNABORTED / ENOTCONN -> connection_closed).
  static Error from_errno(std::string_view what, int errno_value);

  // Adds an outer context message ("read WAV header"); the kind and code stay those of the root.
  Error context(std::string message) &&;
  Error context(std::string message) const&;

  const std::string& root_message() const { return message_; }
  // The context messages, outermost first.
  std::vector<std::string> contexts() const;
  // "outermost: ...: innermost: root".
  std::string describe() const;
  ErrorKind kind() const { return kind_; }
  int os_code() const { return os_code_; }

 private:
  std::string message_;
  std::vector<std::string> contexts_innermost_first_;
  ErrorKind kind_;
  int os_code_;
};

// True for a timed-out or would-block failure: the two forms a read timeout takes.
bool is_timeout_error(const Error& error);

// A value or the failure that stopped it. Marked [[nodiscard]] so that no call drops a failure
// without saying so: an intended discard is written `(void)call();`.
template <class T>
class [[nodiscard]] Result : public std::expected<T, Error> {
 public:
  using std::expected<T, Error>::expected;
  // What the monadic operations (and_then, transform, or_else) hand back.
  Result(std::expected<T, Error> other) : std::expected<T, Error>(std::move(other)) {}
};
using Status = Result<void>;

inline std::unexpected<Error> fail(std::string message, ErrorKind kind = ErrorKind::other) {
  return std::unexpected<Error>(Error(std::move(message), kind));
}
inline std::unexpected<Error> fail(Error error) { return std::unexpected<Error>(std::move(error)); }

// Passes a failed result up with one more context message.
template <class T>
std::unexpected<Error> fail_with_context(Result<T>&& result, std::string message) {
  return std::unexpected<Error>(std::move(result).error().context(std::move(message)));
}

}  // namespace kestrune::support
