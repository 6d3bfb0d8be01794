// A reader/writer lock in one 32-bit word. Trees have a lock per node and
// are read far more often than written, so the uncontended paths are a
// single atomic operation and the lock costs 4 bytes instead of the 56 of a
// std::shared_mutex. Waiting threads sleep on the word (futex on Linux).
//
// Not recursive, like std::shared_mutex: a thread must not take a lock it
// already holds. Waiting writers do not hold back new readers.
#pragma once

#include <atomic>
#include <cstdint>

namespace trelm::cst {

class RwLock {
 public:
  RwLock() = default;
  RwLock(const RwLock&) = delete;
  RwLock& operator=(const RwLock&) = delete;

  void lock_shared() {
    std::uint32_t s = state_.load(std::memory_order_relaxed);
    while (true) {
      if ((s & kWriter) == 0) {
        if (state_.compare_exchange_weak(s, s + 1, std::memory_order_acquire, std::memory_order_relaxed)) return;
        continue;
      }
      s = wait_from(s);
    }
  }

  void unlock_shared() {
    std::uint32_t prev = state_.fetch_sub(1, std::memory_order_release);
    if (prev != (kWaiters | 1)) return;
    // The last reader left and someone sleeps: wake them, unless a writer
    // already took the lock (its unlock wakes them) or readers came back
    // (the last of them will).
    std::uint32_t expected = kWaiters;
    if (state_.compare_exchange_strong(expected, 0, std::memory_order_relaxed)) state_.notify_all();
  }

  void lock() {
    std::uint32_t s = state_.load(std::memory_order_relaxed);
    while (true) {
      if ((s & ~kWaiters) == 0) {
        // The waiters mark is kept, so this writer's unlock wakes them.
        if (state_.compare_exchange_weak(s, kWriter | s, std::memory_order_acquire, std::memory_order_relaxed)) return;
        continue;
      }
      s = wait_from(s);
    }
  }

  void unlock() {
    if (state_.exchange(0, std::memory_order_release) & kWaiters) state_.notify_all();
  }

 private:
  static constexpr std::uint32_t kWriter = 1u << 31;
  static constexpr std::uint32_t kWaiters = 1u << 30;

  // Marks the word as waited on and sleeps until it changes; answers its
  // new value. Every waker clears the mark, so a woken thread that must go
  // on waiting marks it again.
  std::uint32_t wait_from(std::uint32_t s) {
    if ((s & kWaiters) == 0) {
      if (!state_.compare_exchange_weak(s, s | kWaiters, std::memory_order_relaxed)) return s;
      s |= kWaiters;
    }
    state_.wait(s, std::memory_order_relaxed);
    return state_.load(std::memory_order_relaxed);
  }

  std::atomic<std::uint32_t> state_{0};
};

}  // namespace trelm::cst
