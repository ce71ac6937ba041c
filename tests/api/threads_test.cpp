// Handles sharing one backend key, copied, assigned, read and destroyed from several threads at
// once; run under ThreadSanitizer to prove the reference counting race-free.
#include <gtest/gtest.h>

#include <thread>

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

}  // namespace
