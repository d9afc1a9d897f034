#pragma once
// Channels between threads: many senders, one receiver.
//   channel<T>(n)          holds at most n values; a send waits while n are waiting.
//   channel<T>(n, r)       the same, except that a sender that found it full is woken only once r
//                          places are free (1 <= r <= n): a producer that keeps it full then wakes
//                          once per r values taken, not once per value.
//   channel<T>(0)          a rendezvous: a send waits until the receiver has taken its value.
//   unbounded_channel<T>() never makes a sender wait.
// The channel is disconnected when every Sender is gone (the receiver still gets what is queued,
// then sees disconnected) or when the Receiver is gone (sends fail at once, queued values are
// destroyed). Closing wakes every waiter. A channel keeps the room it has needed: once it has held
// n values, holding n again allocates nothing.

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <limits>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

namespace kestrune::support {

enum class TrySendError { full, disconnected };
enum class RecvError { empty, timeout, disconnected };

namespace detail {

// First in, first out on a circular buffer that only grows (doubling), so values passing through
// a channel cost no allocation once the buffer has room for as many as wait at once.
template <class T>
class RingQueue {
 public:
  bool empty() const { return count_ == 0; }
  std::size_t size() const { return count_; }
  T& front() { return *slots_[head_]; }

  void push_back(T&& value) {
    if (count_ == slots_.size()) grow();
    slots_[(head_ + count_) % slots_.size()].emplace(std::move(value));
    ++count_;
  }

  void pop_front() {
    slots_[head_].reset();
    head_ = (head_ + 1) % slots_.size();
    --count_;
  }

  void swap(RingQueue& other) noexcept {
    slots_.swap(other.slots_);
    std::swap(head_, other.head_);
    std::swap(count_, other.count_);
  }

 private:
  void grow() {
    std::vector<std::optional<T>> larger(slots_.empty() ? 4 : 2 * slots_.size());
    for (std::size_t i = 0; i < count_; ++i) {
      larger[i].emplace(std::move(*slots_[(head_ + i) % slots_.size()]));
    }
    slots_.swap(larger);
    head_ = 0;
  }

  std::vector<std::optional<T>> slots_;
  std::size_t head_ = 0;
  std::size_t count_ = 0;
};

template <class T>
struct ChannelState {
  ChannelState(std::size_t cap, std::size_t room)
      : capacity(cap), wake_room(cap == 0 ? 1 : std::clamp<std::size_t>(room, 1, cap)) {}

  std::mutex mutex;
  std::condition_variable readable;  // a value arrived or the senders are gone
  std::condition_variable writable;  // room freed, a value taken, or the receiver is gone
  RingQueue<T> queue;
  const std::size_t capacity;   // 0: rendezvous
  const std::size_t wake_room;  // free places that wake a sender waiting for room
  std::size_t senders = 1;
  bool receiver_alive = true;
  std::size_t receivers_waiting = 0;
  std::uint64_t pushed = 0;  // values ever queued
  std::uint64_t taken = 0;   // values ever taken by the receiver

  bool has_room() const { return capacity == 0 ? queue.empty() : queue.size() < capacity; }
  // What a sender waiting for room waits for.
  bool room_to_wake() const {
    return capacity == 0 ? queue.empty() : capacity - queue.size() >= wake_room;
  }
};

}  // namespace detail

template <class T>
class Receiver;

template <class T>
class Sender {
 public:
  Sender(const Sender& other) : state_(other.state_) {
    if (state_) {
      std::lock_guard<std::mutex> lock(state_->mutex);
      ++state_->senders;
    }
  }
  Sender(Sender&& other) noexcept : state_(std::move(other.state_)) {}
  Sender& operator=(Sender other) noexcept {
    std::swap(state_, other.state_);
    return *this;
  }
  ~Sender() { release(); }

  // Waits for room (for a rendezvous: until the receiver has taken the value). False when the
  // receiver is gone; the value is then dropped.
  bool send(T value) {
    if (!state_) return false;
    auto& s = *state_;
    std::unique_lock<std::mutex> lock(s.mutex);
    if (!s.has_room()) {
      s.writable.wait(lock, [&] { return !s.receiver_alive || s.room_to_wake(); });
    }
    if (!s.receiver_alive) return false;
    s.queue.push_back(std::move(value));
    const std::uint64_t ticket = ++s.pushed;
    s.readable.notify_all();
    if (s.capacity != 0) return true;
    s.writable.wait(lock, [&] { return !s.receiver_alive || s.taken >= ticket; });
    return s.taken >= ticket;
  }

  // Never waits. A rendezvous accepts only when the receiver is already waiting for a value.
  std::expected<void, TrySendError> try_send(T value) {
    if (!state_) return std::unexpected(TrySendError::disconnected);
    auto& s = *state_;
    std::lock_guard<std::mutex> lock(s.mutex);
    if (!s.receiver_alive) return std::unexpected(TrySendError::disconnected);
    if (!s.has_room() || (s.capacity == 0 && s.receivers_waiting == 0)) {
      return std::unexpected(TrySendError::full);
    }
    s.queue.push_back(std::move(value));
    ++s.pushed;
    s.readable.notify_all();
    return {};
  }

  // Drops this sender now; the channel disconnects when it was the last.
  void close() { release(); }

 private:
  template <class U>
  friend std::pair<Sender<U>, Receiver<U>> make_channel(std::size_t, std::size_t);
  explicit Sender(std::shared_ptr<detail::ChannelState<T>> state) : state_(std::move(state)) {}

  void release() {
    if (!state_) return;
    {
      std::lock_guard<std::mutex> lock(state_->mutex);
      if (--state_->senders == 0) state_->readable.notify_all();
    }
    state_.reset();
  }

  std::shared_ptr<detail::ChannelState<T>> state_;
};

template <class T>
class Receiver {
 public:
  Receiver(Receiver&&) noexcept = default;
  Receiver& operator=(Receiver&& other) noexcept {
    if (this != &other) {
      release();
      state_ = std::move(other.state_);
    }
    return *this;
  }
  Receiver(const Receiver&) = delete;
  Receiver& operator=(const Receiver&) = delete;
  ~Receiver() { release(); }

  // Waits for a value; disconnected once every sender is gone and nothing is queued.
  std::expected<T, RecvError> recv() {
    return recv_until(std::chrono::steady_clock::time_point::max());
  }

  std::expected<T, RecvError> recv_timeout(std::chrono::steady_clock::duration timeout) {
    return recv_until(saturating_deadline(timeout));
  }

  // Waits until the deadline; timeout when it passes with nothing queued.
  std::expected<T, RecvError> recv_until(std::chrono::steady_clock::time_point deadline) {
    if (!state_) return std::unexpected(RecvError::disconnected);
    auto& s = *state_;
    std::unique_lock<std::mutex> lock(s.mutex);
    ++s.receivers_waiting;
    const bool ready =
        s.readable.wait_until(lock, deadline, [&] { return !s.queue.empty() || s.senders == 0; });
    --s.receivers_waiting;
    if (!ready) return std::unexpected(RecvError::timeout);
    return take(lock);
  }

  // How many values are queued now; the senders may add more the moment after.
  std::size_t size() const {
    if (!state_) return 0;
    std::lock_guard<std::mutex> lock(state_->mutex);
    return state_->queue.size();
  }

  std::expected<T, RecvError> try_recv() {
    if (!state_) return std::unexpected(RecvError::disconnected);
    auto& s = *state_;
    std::unique_lock<std::mutex> lock(s.mutex);
    return take(lock);
  }

  // Drops the receiving end now: senders fail from here on and queued values are destroyed.
  void close() { release(); }

 private:
  template <class U>
  friend std::pair<Sender<U>, Receiver<U>> make_channel(std::size_t, std::size_t);
  explicit Receiver(std::shared_ptr<detail::ChannelState<T>> state) : state_(std::move(state)) {}

  static std::chrono::steady_clock::time_point saturating_deadline(
      std::chrono::steady_clock::duration timeout) {
    const auto now = std::chrono::steady_clock::now();
    if (timeout > std::chrono::steady_clock::time_point::max() - now) {
      return std::chrono::steady_clock::time_point::max();
    }
    return now + timeout;
  }

  std::expected<T, RecvError> take(std::unique_lock<std::mutex>&) {
    auto& s = *state_;
    if (s.queue.empty()) {
      return std::unexpected(s.senders == 0 ? RecvError::disconnected : RecvError::empty);
    }
    T value = std::move(s.queue.front());
    s.queue.pop_front();
    ++s.taken;
    // A rendezvous sender waits for its value to be taken; the others for room enough.
    if (s.capacity == 0 || s.capacity - s.queue.size() == s.wake_room) s.writable.notify_all();
    return value;
  }

  void release() {
    if (!state_) return;
    detail::RingQueue<T> dropped;
    {
      std::lock_guard<std::mutex> lock(state_->mutex);
      state_->receiver_alive = false;
      dropped.swap(state_->queue);
      state_->writable.notify_all();
    }
    state_.reset();
  }

  std::shared_ptr<detail::ChannelState<T>> state_;
};

template <class T>
std::pair<Sender<T>, Receiver<T>> make_channel(std::size_t capacity, std::size_t wake_room = 1) {
  auto state = std::make_shared<detail::ChannelState<T>>(capacity, wake_room);
  return {Sender<T>(state), Receiver<T>(state)};
}

// A channel holding at most `capacity` values; 0 makes it a rendezvous. A sender that found it
// full is woken once `wake_room` places are free (clamped to 1 ... capacity).
template <class T>
std::pair<Sender<T>, Receiver<T>> channel(std::size_t capacity, std::size_t wake_room = 1) {
  return make_channel<T>(capacity, wake_room);
}

template <class T>
std::pair<Sender<T>, Receiver<T>> unbounded_channel() {
  return make_channel<T>(std::numeric_limits<std::size_t>::max());
}

}  // namespace kestrune::support
