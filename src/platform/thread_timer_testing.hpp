#pragma once
// A test seam of the thread timer, for the fallback path. Compiled into the platform library;
// included only by tests.

namespace kestrune::platform {

// Makes the calling thread behave as if its timer could not be created. Cannot be undone for that
// thread.
void disable_thread_timer_for_testing();

}  // namespace kestrune::platform
