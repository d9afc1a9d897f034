#pragma once
// A test seam of the renewal schedule: read-only views of its rows and plans. Included only by
// tests.

#include <map>
#include <optional>
#include <string>

#include "discovery/renewal_schedule.hpp"

namespace kestrune::discovery {

struct RenewalScheduleAccess {
  static const std::map<std::string, RetryRow>& retry_rows(const RenewalSchedule& schedule) {
    return schedule.retry_rows_;
  }
  static const DeviceInstants& failed_rows(const RenewalSchedule& schedule) {
    return schedule.failed_rows_;
  }
  static const std::optional<RegularRenewal>& regular_renewal(const RenewalSchedule& schedule) {
    return schedule.regular_renewal_;
  }
  static const std::optional<PlannedPass>& planned_pass(const RenewalSchedule& schedule) {
    return schedule.planned_pass_;
  }
};

inline const std::map<std::string, RetryRow>& retry_rows(const RenewalSchedule& schedule) {
  return RenewalScheduleAccess::retry_rows(schedule);
}
inline const DeviceInstants& failed_rows(const RenewalSchedule& schedule) {
  return RenewalScheduleAccess::failed_rows(schedule);
}
inline const std::optional<RegularRenewal>& regular_renewal(const RenewalSchedule& schedule) {
  return RenewalScheduleAccess::regular_renewal(schedule);
}
inline const std::optional<PlannedPass>& planned_pass(const RenewalSchedule& schedule) {
  return RenewalScheduleAccess::planned_pass(schedule);
}

}  // namespace kestrune::discovery
