#pragma once
// The renewal schedule of the discovery owner: once a scan has published receivers, it keeps them
// fresh without the host asking. A published receiver is batched for a regular renewal pass once
// three quarters of the time to the batch's earliest airplay expiry has passed; one that stays
// silent gets a retry row due at its expiry, then a failed row, and at its give-up deadline
// (expiry + grace, the grace a quarter of the time left, within 1 to 5 s) its records are evicted
// and it leaves with "deviceExpired" "renewalMiss". Any pass that sees a receiver returns it to
// unscheduled. Every instant is owner time; arithmetic saturates. Owner thread only.

#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <string>

#include "discovery/discovered_device.hpp"
#include "discovery/discovery_cache.hpp"
#include "discovery/discovery_output.hpp"
#include "discovery/owner_time.hpp"

namespace kestrune::discovery {

inline constexpr std::chrono::milliseconds kLongestRequestWait{50};
inline constexpr std::chrono::milliseconds kShortestRenewalPass{1};
inline constexpr std::chrono::seconds kLongestRenewalPass{3};
inline constexpr std::chrono::milliseconds kRenewalPassMargin{50};
inline constexpr std::chrono::seconds kShortestGrace{1};
inline constexpr std::chrono::seconds kLongestGrace{5};

using DeviceInstants = std::map<std::string, OwnerTime>;

struct RetryRow {
  OwnerTime retry_at;
  OwnerTime give_up_at;
  friend bool operator==(const RetryRow&, const RetryRow&) = default;
};

struct RegularRenewal {
  DeviceInstants expiries;    // each device's airplay expiry when it was batched
  DeviceInstants give_up_at;  // each device's give-up deadline
  OwnerTime due_at;
};

enum class PassKind { regular, retry };

struct PlannedPass {
  PassKind kind = PassKind::regular;
  std::uint64_t generation = 0;
  DeviceInstants retry_at;  // the airplay expiry (regular) or the row's retry time (retry)
  DeviceInstants give_up_at;
};

// What the owner loop does next after a schedule step.
struct ScheduleOutcome {
  enum class Kind {
    continue_now,  // a renewal miss was handled: take another turn at once
    end,           // an event push was refused during a renewal miss
    renewal_pass,  // run a renewal pass of `duration`
    wait,          // wait for a request for `duration`, at most 50 ms
  };
  Kind kind;
  std::chrono::nanoseconds duration{0};
  friend bool operator==(const ScheduleOutcome&, const ScheduleOutcome&) = default;
};

// clamp(0.25 * (expiry - now), 1 s, 5 s).
std::chrono::nanoseconds renewal_grace(OwnerTime expiry, OwnerTime now);

class RenewalSchedule {
 public:
  // Run at the start of every owner turn. It may evict the records of receivers that missed their
  // give-up deadline and push their events.
  ScheduleOutcome step(OwnerTime now, DiscoveryCache& cache, DiscoveryOutput& output);

  // After the renewal pass that the last step planned, with the ids that pass saw.
  void settle_renewal_pass(const StableIdSet& seen, const DiscoveryCache& cache);

  // After every scan's pass, with the ids it saw and the owner time after it: a scan that reaches
  // a retry or the regular renewal counts as that pass.
  void after_scan(const StableIdSet& seen, OwnerTime now, const DiscoveryCache& cache);

 private:
  friend struct RenewalScheduleAccess;  // read-only views of the rows and plans

  ScheduleOutcome handle_renewal_miss(const StableIdSet& due, DiscoveryCache& cache,
                                      DiscoveryOutput& output);
  void update_regular_renewal(const DeviceInstants& unscheduled, OwnerTime now);
  ScheduleOutcome plan_pass(PassKind kind, OwnerTime now);
  void apply_outcome(const PlannedPass& record, const StableIdSet& seen,
                     const StableIdSet& present);

  std::map<std::string, RetryRow> retry_rows_;
  DeviceInstants failed_rows_;  // device id to its give-up deadline
  std::optional<RegularRenewal> regular_renewal_;
  std::optional<PlannedPass> planned_pass_;
  std::uint64_t generation_ = 0;
};

}  // namespace kestrune::discovery
