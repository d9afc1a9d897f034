#pragma once
// What the stdin reader hands to the main thread for each line of standard input.

#include <cstddef>
#include <string>
#include <variant>

namespace kestrune::shell {

inline constexpr std::size_t kMaxInputLineBytes = 65536;

// The bytes before the line feed (at most kMaxInputLineBytes; a carriage return is kept).
struct Line {
  std::string bytes;
};
// The line had more than kMaxInputLineBytes before its line feed; nothing of it is kept.
struct TooLarge {};
// Standard input ended with no byte of a new line read.
struct EndOfInput {};
// A read of standard input failed.
struct ReadError {};

using InputLine = std::variant<Line, TooLarge, EndOfInput, ReadError>;

}  // namespace kestrune::shell
