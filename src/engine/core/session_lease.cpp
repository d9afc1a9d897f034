#include "engine/core/session_lease.hpp"

#include <atomic>

namespace kestrune::engine {

namespace {

std::atomic<bool> lease_taken{false};

}  // namespace

bool SessionLease::try_take() {
  bool expected = false;
  return lease_taken.compare_exchange_strong(expected, true, std::memory_order_acq_rel);
}

void SessionLease::give_back() { lease_taken.store(false, std::memory_order_release); }

bool SessionLease::is_taken() { return lease_taken.load(std::memory_order_acquire); }

}  // namespace kestrune::engine
