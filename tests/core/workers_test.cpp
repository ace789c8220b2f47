// The worker pool: every item runs once, on threads with their own rooms, with the
// program's signals blocked; the pool stops and starts again.
#include <gtest/gtest.h>

#include <pthread.h>
#include <signal.h>
#include <stdlib.h>

#include <atomic>
#include <vector>

#include "runtime/core/process/workers.h"

namespace {

struct Record {
  std::vector<std::atomic<int>> runs;
  std::vector<void*> rooms;
  std::vector<int> blocked;  // SIGINT and SIGTERM blocked on the thread that ran the item
  std::atomic<int> concurrent{0}, most{0};
  bool onMain[256] = {};
  pthread_t main = pthread_self();
  explicit Record(int n) : runs(n), rooms(n), blocked(n) {}
};

void Work(void* context, int32_t item, void* room) {
  Record* r = static_cast<Record*>(context);
  int now = ++r->concurrent;
  for (int m = r->most; now > m && !r->most.compare_exchange_weak(m, now);) {
  }
  r->runs[item]++;
  r->rooms[item] = room;
  sigset_t mask;
  pthread_sigmask(SIG_BLOCK, nullptr, &mask);
  r->blocked[item] = sigismember(&mask, SIGINT) && sigismember(&mask, SIGTERM);
  r->onMain[item] = pthread_equal(pthread_self(), r->main);
  // The room is the thread's own while the item runs.
  static_cast<volatile uint8_t*>(room)[0] = static_cast<uint8_t>(item);
  for (volatile int spin = 0; spin < 200000; spin = spin + 1) {
  }
  EXPECT_EQ(static_cast<volatile uint8_t*>(room)[0], static_cast<uint8_t>(item));
  --r->concurrent;
}

TEST(Workers, EveryItemOnceOnUpToTheThreadsAsked) {
  for (int threads : {1, 2, 3}) {
    for (int count : {1, 2, 7}) {
      SCOPED_TRACE(testing::Message() << threads << " threads, " << count << " items");
      Record r(count);
      int32_t used = RuntimeRunWorkers(threads, 1000, Work, &r, count);
      EXPECT_GE(used, 1);
      EXPECT_LE(used, threads < count ? threads : count);
      EXPECT_LE(r.most.load(), used);
      for (int i = 0; i < count; i++) {
        EXPECT_EQ(r.runs[i].load(), 1) << "item " << i;
        EXPECT_EQ(reinterpret_cast<uintptr_t>(r.rooms[i]) % 64, 0u);
        if (!r.onMain[i]) {
          EXPECT_TRUE(r.blocked[i]) << "item " << i << " on a worker";
        }
      }
    }
  }
  MVStopWorkers();
}

TEST(Workers, CountsAndStopping) {
  EXPECT_EQ(RuntimeRunWorkers(0, 0, nullptr, nullptr, 0), MVUsableProcessors() < kMVMaxWorkerThreads
                                                             ? MVUsableProcessors()
                                                             : kMVMaxWorkerThreads);
  EXPECT_EQ(RuntimeRunWorkers(1000, 0, nullptr, nullptr, 0), kMVMaxWorkerThreads);
  EXPECT_EQ(RuntimeRunWorkers(3, 0, nullptr, nullptr, 0), 3);
  // Stopped, the pool starts again on the next job, with larger rooms.
  Record a(4);
  EXPECT_GE(RuntimeRunWorkers(2, 64, Work, &a, 4), 1);
  MVStopWorkers();
  MVStopWorkers();
  Record b(4);
  EXPECT_GE(RuntimeRunWorkers(2, 1 << 20, Work, &b, 4), 1);
  for (int i = 0; i < 4; i++) EXPECT_EQ(b.runs[i].load(), 1);
  MVStopWorkers();
}

TEST(Workers, EnvironmentValue) {
  setenv("OMBRIX_WORKERS_TEST", "avx2", 1);
  uint8_t out[8] = {};
  EXPECT_EQ(RuntimeEnvironmentValue("OMBRIX_WORKERS_TEST", out, 2), 4);
  EXPECT_EQ(out[0], 'a');
  EXPECT_EQ(out[2], 0);  // only the room is written
  EXPECT_EQ(RuntimeEnvironmentValue("OMBRIX_WORKERS_TEST", out, 8), 4);
  EXPECT_EQ(out[3], '2');
  unsetenv("OMBRIX_WORKERS_TEST");
  EXPECT_EQ(RuntimeEnvironmentValue("OMBRIX_WORKERS_TEST", out, 8), -1);
}

}  // namespace
