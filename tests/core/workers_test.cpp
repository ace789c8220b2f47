// The worker pool: every item runs once, on threads with their own rooms of the size
// asked, with the program's signals blocked; a posted job runs while the caller goes on
// and is over when waited for; the pool stops and starts again.
#include <gtest/gtest.h>

#include <pthread.h>
#include <signal.h>
#include <stdlib.h>

#include <string.h>
#include <time.h>

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

// A posted job's record: each item writes only its own entries (plain memory, which the
// wait must make the caller's), and waits up to ten seconds for the caller to open the gate.
struct Posted {
  std::atomic<bool> gate{false};
  std::atomic<int> done{0};
  const Posted* before = nullptr;  // a job that must be over when this one's items run
  int lingerMs = 0;                // each item's time once through the gate
  std::vector<int> runs, sawGate, onCaller, beforeDone;
  std::vector<uintptr_t> rooms;
  pthread_t caller = pthread_self();
  explicit Posted(int n) : runs(n), sawGate(n), onCaller(n), beforeDone(n), rooms(n) {}
};

void PostedWork(void* context, int32_t item, void* room) {
  Posted* p = static_cast<Posted*>(context);
  p->runs[item]++;
  p->rooms[item] = reinterpret_cast<uintptr_t>(room);
  p->onCaller[item] = pthread_equal(pthread_self(), p->caller);
  if (p->before) p->beforeDone[item] = p->before->done.load() == static_cast<int>(p->before->runs.size());
  timespec pause = {0, 1000000};
  for (int i = 0; i < 10000 && !p->gate.load(); i++) nanosleep(&pause, nullptr);
  p->sawGate[item] = p->gate.load();
  for (int i = 0; i < p->lingerMs; i++) nanosleep(&pause, nullptr);
  p->done++;
}

TEST(Workers, PostedJobsRunOnThePoolWhileTheCallerGoesOn) {
  for (int threads : {1, 2, 3}) {
    for (int count : {1, 5}) {
      SCOPED_TRACE(testing::Message() << threads << " threads, " << count << " items");
      Posted p(count);
      int32_t used = RuntimeStartWorkers(threads, 100, PostedWork, &p, count);
      EXPECT_GE(used, 1);
      EXPECT_LE(used, threads < count ? threads : count);
      // The call came back before any item could finish: each waits for this.
      p.gate = true;
      RuntimeWaitWorkers();
      for (int i = 0; i < count; i++) {
        EXPECT_EQ(p.runs[i], 1) << "item " << i;
        EXPECT_TRUE(p.sawGate[i]) << "item " << i;
        EXPECT_FALSE(p.onCaller[i]) << "item " << i;
        EXPECT_EQ(p.rooms[i] % 64, 0u);
      }
    }
  }
  RuntimeWaitWorkers();  // none posted: at once
  MVStopWorkers();
}

TEST(Workers, APostedJobIsOverBeforeTheNextOrTheStop) {
  // Each way of going on from a posted job that was not waited for: another posted job,
  // a job run at once, and stopping the pool.
  for (int next = 0; next < 3; next++) {
    SCOPED_TRACE(testing::Message() << "next " << next);
    Posted first(6), second(4);
    first.gate = second.gate = true;
    first.lingerMs = 5;
    second.before = &first;
    ASSERT_GE(RuntimeStartWorkers(2, 64, PostedWork, &first, 6), 1);
    if (next == 0) {
      EXPECT_GE(RuntimeStartWorkers(2, 64, PostedWork, &second, 4), 1);
      RuntimeWaitWorkers();
    } else if (next == 1) {
      EXPECT_GE(RuntimeRunWorkers(2, 64, PostedWork, &second, 4), 1);
    } else {
      MVStopWorkers();
      EXPECT_EQ(first.done.load(), 6);
      continue;
    }
    for (int i = 0; i < 4; i++) {
      EXPECT_EQ(second.runs[i], 1) << "item " << i;
      EXPECT_TRUE(second.beforeDone[i]) << "item " << i;
    }
  }
  MVStopWorkers();
}

// Fills the whole room the job asked for, and checks it afterwards.
struct Filled {
  uint32_t bytes;
  std::atomic<int> intact{0};
};

void FillRoom(void* context, int32_t item, void* room) {
  Filled* f = static_cast<Filled*>(context);
  uint8_t* r = static_cast<uint8_t*>(room);
  memset(r, item + 1, f->bytes);
  for (volatile int spin = 0; spin < 100000; spin = spin + 1) {
  }
  bool same = true;
  for (uint32_t i = 0; i < f->bytes; i++) same = same && r[i] == static_cast<uint8_t>(item + 1);
  if (same) f->intact++;
}

TEST(Workers, EveryRoomHoldsWhatItsJobAsks) {
  // Smaller rooms asked for more threads, then larger ones again: no room is smaller
  // than its job asks, whichever call made it.
  struct Step {
    bool posted;
    int32_t threads;
    uint32_t bytes;
  } steps[] = {{false, 1, 1000}, {true, 3, 500}, {false, 3, 1000}, {true, 2, 4096}, {false, 4, 0}};
  for (const Step& s : steps) {
    SCOPED_TRACE(testing::Message() << s.threads << " threads, " << s.bytes << " bytes");
    Filled f{s.bytes};
    if (s.posted) {
      ASSERT_GE(RuntimeStartWorkers(s.threads, s.bytes, FillRoom, &f, 8), 1);
      RuntimeWaitWorkers();
    } else {
      ASSERT_GE(RuntimeRunWorkers(s.threads, s.bytes, FillRoom, &f, 8), 1);
    }
    EXPECT_EQ(f.intact.load(), 8);
  }
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
