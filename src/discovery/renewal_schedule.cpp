#include "discovery/renewal_schedule.hpp"

#include <algorithm>
#include <limits>
#include <utility>

#include "discovery/device_events.hpp"
#include "discovery/device_view.hpp"
#include "support/thread.hpp"

namespace kestrune::discovery {
namespace {

using std::chrono::nanoseconds;

constexpr double kRegularRenewalPoint = 0.75;  // of the time left to the earliest expiry
constexpr double kGraceShare = 0.25;           // of the time left to a device's expiry

// The product is formed in seconds as a double, as the schedule's figures are given.
nanoseconds scaled(nanoseconds duration, double factor) {
  const double seconds = std::chrono::duration<double>(duration).count() * factor;
  return std::chrono::duration_cast<nanoseconds>(std::chrono::duration<double>(seconds));
}

// The entries of the view that the host has been told about.
DeviceView present_devices(const DiscoveryCache& cache) {
  if (cache.published_view.empty()) return {};  // nothing can be present; spare the view
  DeviceView view = build_device_view(cache);
  std::erase_if(view, [&](const auto& item) { return !cache.published_view.contains(item.first); });
  return view;
}

StableIdSet ids_of(const DeviceView& view) {
  StableIdSet ids;
  for (const auto& [id, entry] : view) ids.insert(id);
  return ids;
}

template <class Map>
void keep_present(Map& rows, const DeviceView& present) {
  std::erase_if(rows, [&](const auto& row) { return !present.contains(row.first); });
}

template <class Map, class Instant>
std::optional<OwnerTime> earliest(const Map& rows, Instant instant) {
  std::optional<OwnerTime> first;
  for (const auto& row : rows) {
    const OwnerTime at = instant(row.second);
    if (!first || at < *first) first = at;
  }
  return first;
}

OwnerTime earliest_instant(const DeviceInstants& instants) {
  return earliest(instants, [](OwnerTime at) { return at; }).value_or(OwnerTime::max());
}

}  // namespace

nanoseconds renewal_grace(OwnerTime expiry, OwnerTime now) {
  const double seconds =
      std::chrono::duration<double>(expiry.duration_since(now)).count() * kGraceShare;
  const double clamped = std::clamp(seconds, std::chrono::duration<double>(kShortestGrace).count(),
                                    std::chrono::duration<double>(kLongestGrace).count());
  return std::chrono::duration_cast<nanoseconds>(std::chrono::duration<double>(clamped));
}

ScheduleOutcome RenewalSchedule::step(OwnerTime now, DiscoveryCache& cache,
                                      DiscoveryOutput& output) {
  const DeviceView present = present_devices(cache);
  keep_present(retry_rows_, present);
  keep_present(failed_rows_, present);
  if (present.empty()) {
    regular_renewal_.reset();
    return {ScheduleOutcome::Kind::wait, kLongestRequestWait};
  }

  StableIdSet due;
  for (const auto& [id, deadline] : failed_rows_) {
    if (deadline <= now) due.insert(id);
  }
  if (!due.empty()) return handle_renewal_miss(due, cache, output);

  DeviceInstants unscheduled;
  for (const auto& [id, entry] : present) {
    if (!retry_rows_.contains(id) && !failed_rows_.contains(id)) {
      unscheduled.emplace(id, entry.airplay_expiry);
    }
  }
  std::optional<OwnerTime> regular_due;
  if (!unscheduled.empty()) {
    update_regular_renewal(unscheduled, now);
    regular_due = regular_renewal_->due_at;
  }

  const std::optional<OwnerTime> failed_due =
      earliest(failed_rows_, [](OwnerTime at) { return at; });
  const std::optional<OwnerTime> retry_due =
      earliest(retry_rows_, [](const RetryRow& row) { return row.retry_at; });
  std::optional<OwnerTime> next;
  for (const auto& candidate : {failed_due, retry_due, regular_due}) {
    if (candidate && (!next || *candidate < *next)) next = candidate;
  }
  if (!next) return {ScheduleOutcome::Kind::wait, kLongestRequestWait};
  if (*next > now) {
    return {ScheduleOutcome::Kind::wait,
            std::min<nanoseconds>(next->duration_since(now), kLongestRequestWait)};
  }
  if (failed_due && *failed_due <= now) {
    support::end_thread(
        "internal error: entered unreachable code: due failed rows are handled before renewal "
        "scheduling");
  }
  if (retry_due && *retry_due <= now && (!regular_due || *retry_due <= *regular_due)) {
    return plan_pass(PassKind::retry, now);
  }
  if (!regular_due) support::end_thread("a due regular renewal must remain scheduled");
  return plan_pass(PassKind::regular, now);
}

ScheduleOutcome RenewalSchedule::handle_renewal_miss(const StableIdSet& due, DiscoveryCache& cache,
                                                     DiscoveryOutput& output) {
  // A record that also stands behind a device still renewed in time stays.
  RecordKeySet due_keys;
  RecordKeySet kept_keys;
  for (const auto& [id, entry] : present_devices(cache)) {
    RecordKeySet& keys = due.contains(id) ? due_keys : kept_keys;
    keys.insert(entry.supporting_keys.begin(), entry.supporting_keys.end());
  }
  for (const RecordKey& key : due_keys) {
    if (!kept_keys.contains(key)) (void)remove_cache_record(cache.records, key);
  }
  if (!emit_device_events(cache, output, ExpiryReason::renewal_miss, Announce::yes)) {
    return {ScheduleOutcome::Kind::end};
  }
  for (const std::string& id : due) {
    retry_rows_.erase(id);
    failed_rows_.erase(id);
  }
  return {ScheduleOutcome::Kind::continue_now};
}

void RenewalSchedule::update_regular_renewal(const DeviceInstants& unscheduled, OwnerTime now) {
  const OwnerTime first_due =
      now.plus(scaled(earliest_instant(unscheduled).duration_since(now), kRegularRenewalPoint));
  const auto give_up_of = [&](OwnerTime expiry) { return expiry.plus(renewal_grace(expiry, now)); };
  const auto rebuild = [&] {
    RegularRenewal batch;
    batch.expiries = unscheduled;
    for (const auto& [id, expiry] : unscheduled) batch.give_up_at.emplace(id, give_up_of(expiry));
    batch.due_at = first_due;
    regular_renewal_ = std::move(batch);
  };

  if (!regular_renewal_) return rebuild();
  RegularRenewal& batch = *regular_renewal_;
  if (batch.expiries == unscheduled) return;

  // The batch keeps its due time while the devices that set it are still there unchanged.
  const OwnerTime old_earliest = earliest_instant(batch.expiries);
  const bool earliest_kept =
      std::all_of(batch.expiries.begin(), batch.expiries.end(), [&](const auto& old) {
        if (old.second != old_earliest) return true;
        const auto now_entry = unscheduled.find(old.first);
        return now_entry != unscheduled.end() && now_entry->second == old.second;
      });
  if (!earliest_kept) return rebuild();

  std::erase_if(batch.give_up_at,
                [&](const auto& entry) { return !unscheduled.contains(entry.first); });
  for (const auto& [id, expiry] : unscheduled) {
    const auto old = batch.expiries.find(id);
    if (old == batch.expiries.end() || old->second != expiry) {
      batch.give_up_at.insert_or_assign(id, give_up_of(expiry));
    }
  }
  batch.expiries = unscheduled;
  batch.due_at = std::min(batch.due_at, first_due);
}

ScheduleOutcome RenewalSchedule::plan_pass(PassKind kind, OwnerTime now) {
  if (generation_ != std::numeric_limits<std::uint64_t>::max()) ++generation_;
  PlannedPass pass;
  pass.kind = kind;
  pass.generation = generation_;
  OwnerTime pass_end;
  if (kind == PassKind::regular) {
    pass.retry_at = regular_renewal_->expiries;
    pass.give_up_at = regular_renewal_->give_up_at;
    pass_end = earliest_instant(pass.retry_at);
  } else {
    for (const auto& [id, row] : retry_rows_) {
      if (row.retry_at > now) continue;
      pass.retry_at.emplace(id, row.retry_at);
      pass.give_up_at.emplace(id, row.give_up_at);
    }
    pass_end = earliest_instant(pass.give_up_at);
  }
  planned_pass_ = std::move(pass);

  nanoseconds left = pass_end.duration_since(now);
  left = left > kRenewalPassMargin ? left - kRenewalPassMargin : nanoseconds::zero();
  return {ScheduleOutcome::Kind::renewal_pass,
          std::clamp<nanoseconds>(left, kShortestRenewalPass, kLongestRenewalPass)};
}

void RenewalSchedule::settle_renewal_pass(const StableIdSet& seen, const DiscoveryCache& cache) {
  const StableIdSet present = ids_of(present_devices(cache));
  if (!planned_pass_ || planned_pass_->generation != generation_) return;
  const PlannedPass record = std::move(*planned_pass_);
  planned_pass_.reset();
  if (record.kind == PassKind::regular) regular_renewal_.reset();
  apply_outcome(record, seen, present);
}

void RenewalSchedule::after_scan(const StableIdSet& seen, OwnerTime now,
                                 const DiscoveryCache& cache) {
  const StableIdSet present = ids_of(present_devices(cache));
  const std::optional<OwnerTime> retry_due =
      earliest(retry_rows_, [](const RetryRow& row) { return row.retry_at; });
  if (retry_due && *retry_due <= now) {
    PlannedPass retry;
    retry.kind = PassKind::retry;
    for (const auto& [id, row] : retry_rows_) {
      if (row.retry_at > now) continue;
      retry.retry_at.emplace(id, row.retry_at);
      retry.give_up_at.emplace(id, row.give_up_at);
    }
    apply_outcome(retry, seen, present);
  }
  if (regular_renewal_ && regular_renewal_->due_at <= now) {
    PlannedPass regular;
    regular.kind = PassKind::regular;
    regular.retry_at = std::move(regular_renewal_->expiries);
    regular.give_up_at = std::move(regular_renewal_->give_up_at);
    regular_renewal_.reset();
    apply_outcome(regular, seen, present);
  }
  for (const std::string& id : seen) {
    if (!present.contains(id)) continue;
    retry_rows_.erase(id);
    failed_rows_.erase(id);
  }
}

void RenewalSchedule::apply_outcome(const PlannedPass& record, const StableIdSet& seen,
                                    const StableIdSet& present) {
  for (const auto& [id, retry_at] : record.retry_at) {
    if (!present.contains(id) || seen.contains(id)) {
      retry_rows_.erase(id);
      failed_rows_.erase(id);
      continue;
    }
    const auto give_up = record.give_up_at.find(id);
    const OwnerTime give_up_at = give_up != record.give_up_at.end() ? give_up->second : retry_at;
    if (record.kind == PassKind::retry) {
      retry_rows_.erase(id);
      failed_rows_.insert_or_assign(id, give_up_at);
    } else {
      retry_rows_.insert_or_assign(id, RetryRow{retry_at, give_up_at});
    }
  }
  for (const std::string& id : seen) {
    if (!present.contains(id)) continue;
    retry_rows_.erase(id);
    failed_rows_.erase(id);
  }
}

}  // namespace kestrune::discovery
