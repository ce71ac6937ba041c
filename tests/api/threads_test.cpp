// The supported ways to use the library from several threads, run under ThreadSanitizer: handles
// sharing one backend key copied and destroyed at once, the lock that guards their counts, and
// threads with logins of their own writing one store.
#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <thread>
#include <vector>

#include <zor-qel-rb-key/os_thread.h>

#include "api_support.h"

namespace {

using api_test::Connect;
using api_test::kSmallStore;
using api_test::StoreFile;

TEST(Threads, HandlesSharingOneKeyAreCopiedAssignedAndDestroyedConcurrently) {
  StoreFile store(kSmallStore);
  const QELConnection connection = Connect(store);
  const QELRBKey shared("/A/B", connection);
  const QELRBKey other("/A/C", connection);
  constexpr int kThreads = 4;
  constexpr int kRounds = 2000;
  std::vector<std::thread> threads;
  std::vector<int> mismatches(kThreads, 0);
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      QELRBKey mine = shared;
      for (int i = 0; i < kRounds; ++i) {
        QELRBKey copy(shared);
        mine = (i % 2 == 0) ? other : copy;
        QELRBKey moved = copy;
        // A change detaches this thread's copy; the shared key is never moved.
        if (i % 50 == 0) moved.Up();
        if (copy.GetKeyPath() != "/A/B" || moved.GetLevel() > 2) ++mismatches[t];
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  for (int count : mismatches) EXPECT_EQ(count, 0);
  EXPECT_EQ(shared.GetKeyPath(), "/A/B");
  EXPECT_EQ(shared.GetKeyName(), "B");
}

// The lock behind every shared count: threads that take it in turn lose no update, whether they
// find it free or wait for it, and what one wrote under it the next one reads.
TEST(Threads, TheLockLetsOneThreadInAtATime) {
  os_critical_section lock(false);
  constexpr int kThreads = 4;
  constexpr int kRounds = 20000;
  long count = 0;
  std::vector<long> seen(kThreads * kRounds);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&lock, &count, &seen] {
      for (int i = 0; i < kRounds; ++i) {
        lock.lock();
        const long mine = count++;
        lock.unlock();
        seen[static_cast<size_t>(mine)] += 1;
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(count, kThreads * kRounds);
  EXPECT_EQ(std::count(seen.begin(), seen.end(), 1), kThreads * kRounds);
}

TEST(Threads, EachWithItsOwnLoginWriteOneStoreAndLoseNothing) {
  StoreFile store(kSmallStore);
  constexpr int kThreads = 4;
  constexpr int kAdds = 25;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&store, t] {
      const QELConnection connection = Connect(store);
      QELRBKey key("/A", connection);
      for (int i = 0; i < kAdds; ++i) {
        key.AddValue("list", QELRBValue("t" + std::to_string(t) + "-" + std::to_string(i)));
        key.SetValue("last" + std::to_string(t), QELRBValue(std::to_string(i)));
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  const QELRBKey result("/A", Connect(store));
  const std::vector<std::string> elements = result.GetValue("list").Elements();
  EXPECT_EQ(std::set<std::string>(elements.begin(), elements.end()).size(),
            static_cast<size_t>(kThreads * kAdds + 2));
  for (int t = 0; t < kThreads; ++t) {
    EXPECT_EQ(std::string(result.GetValue("last" + std::to_string(t))), std::to_string(kAdds - 1));
  }
}

}  // namespace
