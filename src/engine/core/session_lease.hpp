#pragma once
// The process-wide lease that admits one session at a time. It is taken with one
// compare-and-exchange when a session starts and given back by that session's coordinator (or by
// the start itself when the coordinator cannot be spawned); nothing else touches it.

namespace kestrune::engine {

class SessionLease {
 public:
  // false when a session holds it already.
  static bool try_take();
  static void give_back();
  static bool is_taken();
};

}  // namespace kestrune::engine
