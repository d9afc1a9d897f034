#include "engine/core/start_point.hpp"
#include "engine/core/start_point_testing.hpp"

#include <mutex>
#include <utility>

namespace kestrune::engine {

namespace {

std::mutex observer_mutex;
StartPointObserver observer;

}  // namespace

void reached_start_point(SessionShared& shared, StartPoint point) {
  StartPointObserver told;
  {
    std::lock_guard<std::mutex> lock(observer_mutex);
    if (!observer) return;
    told = observer;
  }
  told(shared, point);
}

void observe_start_points_for_testing(StartPointObserver replacement) {
  std::lock_guard<std::mutex> lock(observer_mutex);
  observer = std::move(replacement);
}

}  // namespace kestrune::engine
