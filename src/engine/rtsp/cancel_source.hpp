#pragma once
// What a connect, an exchange or an exact read looks at before every wait: the session's
// stop-requested flag, a worker's own stop flag, or nothing. A set flag cancels; nothing never
// cancels. The flag is owned elsewhere and must outlive every operation given this source.

#include <atomic>

namespace kestrune::engine {

class CancelSource {
 public:
  // Never cancels.
  CancelSource() = default;
  explicit CancelSource(const std::atomic<bool>* flag) : flag_(flag) {}

  static CancelSource none() { return CancelSource(); }

  bool is_cancelled() const { return flag_ != nullptr && flag_->load(std::memory_order_acquire); }

 private:
  const std::atomic<bool>* flag_ = nullptr;
};

}  // namespace kestrune::engine
