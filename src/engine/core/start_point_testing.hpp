#pragma once
// A test seam of the start points: a test is told when a session reaches one, to request the stop
// exactly there and see that the check that follows ends the start, with the clean-up that
// belongs to that point. Compiled into the library; included only by tests.

#include <functional>

#include "engine/core/start_point.hpp"

namespace kestrune::engine {

using StartPointObserver = std::function<void(SessionShared&, StartPoint)>;

// Replaces the observer (empty: none); it is called with no lock of the program held.
void observe_start_points_for_testing(StartPointObserver observer);

}  // namespace kestrune::engine
