#include "tree/rw_lock.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <latch>
#include <mutex>
#include <shared_mutex>
#include <thread>
#include <vector>

namespace trelm {
namespace {

// Writers keep two counters equal only while they hold the lock; a reader
// that ever sees them differ, or a reader and a writer inside together,
// means the lock let someone in that it should not have. Threads that block
// on each other also check that every waiter is woken (the test would hang).
TEST(RwLock, ExcludesWritersFromReadersAndEachOther) {
  cst::RwLock lock;
  long a = 0;
  long b = 0;
  std::atomic<int> readers_inside{0};
  std::atomic<bool> torn{false};
  constexpr int kRounds = 20'000;
  std::latch start(6);  // all threads run at once, or they never meet

  auto writer = [&] {
    start.arrive_and_wait();
    for (int i = 0; i < kRounds; ++i) {
      std::unique_lock guard(lock);
      if (readers_inside.load() != 0) torn = true;
      ++a;
      // Widens the window a reader could slip into.
      for (int spin = 0; spin < 100; ++spin) std::atomic_signal_fence(std::memory_order_seq_cst);
      ++b;
    }
  };
  auto reader = [&] {
    start.arrive_and_wait();
    for (int i = 0; i < kRounds; ++i) {
      std::shared_lock guard(lock);
      ++readers_inside;
      if (a != b) torn = true;
      --readers_inside;
    }
  };
  std::vector<std::thread> threads;
  for (int i = 0; i < 2; ++i) threads.emplace_back(writer);
  for (int i = 0; i < 4; ++i) threads.emplace_back(reader);
  for (std::thread& t : threads) t.join();

  EXPECT_FALSE(torn.load());
  EXPECT_EQ(a, 2 * kRounds);
  EXPECT_EQ(b, 2 * kRounds);
}

}  // namespace
}  // namespace trelm
