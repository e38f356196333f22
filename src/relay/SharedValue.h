// TSharedValue: a setting that one of the host's threads changes while
// another reads it (the audio path reads Synch, AudioPrec and the channel
// counts while automation, a chunk or suspend changes them). Each read and
// write is one atomic access, so a reader always sees a whole value; nothing
// orders it against other memory, and no lock is taken.
//
// It converts to T but is not made from T implicitly, so it mixes with plain
// values in comparisons and conditional expressions as T itself would.
#pragma once

#include <atomic>

template <typename T>
class TSharedValue {
 public:
  constexpr explicit TSharedValue(T value) : value_(value) {}
  TSharedValue(const TSharedValue&) = delete;
  TSharedValue& operator=(const TSharedValue&) = delete;

  operator T() const { return value_.load(std::memory_order_relaxed); }
  TSharedValue& operator=(T value) {
    value_.store(value, std::memory_order_relaxed);
    return *this;
  }

 private:
  static_assert(std::atomic<T>::is_always_lock_free, "read on the audio thread: never a lock");
  std::atomic<T> value_;
};
