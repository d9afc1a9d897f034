#pragma once
// A test seam of write_stderr_line, to see when and on which thread each line is written.
// Compiled into the platform library; included only by tests.

#include <functional>
#include <string_view>

namespace kestrune::platform {

// `observer` is called with each line just before it goes to the writer, on the thread that
// writes it (a line kept by a DeferredStderr: when that ends). Empty: none.
void set_stderr_observer_for_testing(std::function<void(std::string_view)> observer);

}  // namespace kestrune::platform
