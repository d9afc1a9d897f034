#include "support/error.hpp"

#include <cerrno>
#include <cstring>

namespace kestrune::support {

namespace {

ErrorKind kind_of_errno(int value) {
  switch (value) {
    case EAGAIN:
#if EWOULDBLOCK != EAGAIN
    case EWOULDBLOCK:
#endif
      return ErrorKind::would_block;
    case ETIMEDOUT:
      return ErrorKind::timed_out;
    case EINTR:
      return ErrorKind::interrupted;
    case EPIPE:
    case ECONNRESET:
    case ECONNABORTED:
    case ENOTCONN:
      return ErrorKind::connection_closed;
    default:
      return ErrorKind::other;
  }
}

}  // namespace

Error::Error(std::string message, ErrorKind kind, int os_code)
    : message_(std::move(message)), kind_(kind), os_code_(os_code) {}

Error Error::from_errno(std::string_view what, int errno_value) {
  std::string message(what);
  message += ": ";
  message += std::strerror(errno_value);
  return Error(std::move(message), kind_of_errno(errno_value), errno_value);
}

Error Error::context(std::string message) && {
  contexts_innermost_first_.push_back(std::move(message));
  return std::move(*this);
}

Error Error::context(std::string message) const& {
  Error copy = *this;
  return std::move(copy).context(std::move(message));
}

std::vector<std::string> Error::contexts() const {
  return {contexts_innermost_first_.rbegin(), contexts_innermost_first_.rend()};
}

std::string Error::describe() const {
  std::string text;
  for (auto it = contexts_innermost_first_.rbegin(); it != contexts_innermost_first_.rend(); ++it) {
    text += *it;
    text += ": ";
  }
  text += message_;
  return text;
}

bool is_timeout_error(const Error& error) {
  return error.kind() == ErrorKind::timed_out || error.kind() == ErrorKind::would_block;
}

}  // namespace kestrune::support
