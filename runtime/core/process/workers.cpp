#include "runtime/core/process/workers.h"

#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>

#include "runtime/core/objects/shutdown.h"
#include "runtime/core/objects/signals.h"

namespace {

// The pool. Every field is guarded by g_lock.
pthread_mutex_t g_lock = PTHREAD_MUTEX_INITIALIZER;
pthread_cond_t g_work = PTHREAD_COND_INITIALIZER;  // a job was posted, or stop
pthread_cond_t g_done = PTHREAD_COND_INITIALIZER;  // an item of the job finished

struct Job {
  MVWorkItem work = nullptr;
  void* context = nullptr;
  int32_t count = 0;
  int32_t next = 0;      // the next item to hand out
  int32_t finished = 0;  // items done
  int32_t threads = 0;   // threads 0 .. threads - 1 take part (0 is the caller)
};

Job g_job;
uint64_t g_generation = 0;  // counts the jobs posted
bool g_stopping = false;
int32_t g_started = 0;  // workers running: thread numbers 1 .. g_started
pthread_t g_threads[kMVMaxWorkerThreads];
void* g_room[kMVMaxWorkerThreads];  // thread t's room (0: the caller's)
uint32_t g_roomBytes = 0;           // the size of every room held

// Takes items of the current job until none are left. Called with g_lock held.
void TakeItems(int32_t thread) {
  while (g_job.next < g_job.count) {
    int32_t item = g_job.next++;
    Job job = g_job;
    pthread_mutex_unlock(&g_lock);
    job.work(job.context, item, g_room[thread]);
    pthread_mutex_lock(&g_lock);
    if (++g_job.finished == g_job.count) pthread_cond_broadcast(&g_done);
  }
}

void* WorkerMain(void* arg) {
  int32_t thread = static_cast<int32_t>(reinterpret_cast<intptr_t>(arg));
  pthread_mutex_lock(&g_lock);
  uint64_t seen = 0;  // jobs are numbered from 1: a job posted as this thread started counts
  while (!g_stopping) {
    if (g_job.work && seen != g_generation) {
      seen = g_generation;
      if (thread < g_job.threads) TakeItems(thread);
    } else {
      pthread_cond_wait(&g_work, &g_lock);
    }
  }
  pthread_mutex_unlock(&g_lock);
  return nullptr;
}

// Starts workers up to thread number `last`; returns the highest running.
int32_t StartWorkers(int32_t last) {
  // The workers inherit the mask: what the user or the system sends goes to the
  // program's thread, whose handlers record it.
  sigset_t block, old;
  sigemptyset(&block);
  MVAddHandledSignals(&block);
  pthread_attr_t attributes;
  pthread_attr_init(&attributes);
  pthread_attr_setstacksize(&attributes, 256 * 1024);  // work keeps its data in its room
  pthread_sigmask(SIG_BLOCK, &block, &old);
  while (g_started < last) {
    int32_t t = g_started + 1;
    if (pthread_create(&g_threads[t], &attributes, WorkerMain,
                       reinterpret_cast<void*>(static_cast<intptr_t>(t))) != 0)
      break;
    g_started = t;
  }
  pthread_sigmask(SIG_SETMASK, &old, nullptr);
  pthread_attr_destroy(&attributes);
  return g_started;
}

void FreeRooms() {
  for (void*& room : g_room) {
    free(room);
    room = nullptr;
  }
  g_roomBytes = 0;
}

// Rooms of at least `bytes` for threads 0 .. threads - 1; false when memory is short.
bool Rooms(int32_t threads, uint32_t bytes) {
  if (bytes > g_roomBytes) FreeRooms();
  uint32_t size = (bytes + 63) & ~63u;
  if (size == 0) size = 64;
  for (int32_t t = 0; t < threads; t++) {
    if (g_room[t]) continue;
    g_room[t] = aligned_alloc(64, size);
    if (!g_room[t]) return false;
  }
  if (bytes > g_roomBytes) g_roomBytes = bytes;
  return true;
}

// Stops the workers at the end of the program (if MVStopWorkers has not yet).
class PoolStop : public MVShutdownParticipant {
 public:
  ~PoolStop() override;
};
PoolStop* g_stop = nullptr;
PoolStop::~PoolStop() {
  MVStopWorkers();
  g_stop = nullptr;
}

}  // namespace

extern "C" int32_t MVUsableProcessors(void) {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof set, &set) != 0) return 1;
  int n = CPU_COUNT(&set);
  return n < 1 ? 1 : n;
}

extern "C" int32_t RuntimeRunWorkers(int32_t threads, uint32_t roomBytes, MVWorkItem work,
                                     void* context, int32_t count) {
  if (threads <= 0) threads = MVUsableProcessors();
  if (threads > kMVMaxWorkerThreads) threads = kMVMaxWorkerThreads;
  if (!work) return threads;
  if (count <= 0) return 1;
  if (threads > count) threads = count;
  pthread_mutex_lock(&g_lock);
  // Rooms first: a thread without one takes no items.
  int32_t usable = 0;
  while (usable < threads && Rooms(usable + 1, roomBytes)) usable++;
  if (usable == 0) {
    pthread_mutex_unlock(&g_lock);
    return 0;
  }
  if (usable > 1) {
    if (!g_stop) g_stop = new PoolStop;
    usable = StartWorkers(usable - 1) + 1;
  }
  g_job = Job{work, context, count, 0, 0, usable};
  g_generation++;
  if (usable > 1) pthread_cond_broadcast(&g_work);
  TakeItems(0);
  while (g_job.finished < g_job.count) pthread_cond_wait(&g_done, &g_lock);
  g_job = Job{};
  pthread_mutex_unlock(&g_lock);
  return usable;
}

extern "C" void MVStopWorkers(void) {
  pthread_mutex_lock(&g_lock);
  g_stopping = true;
  pthread_cond_broadcast(&g_work);
  int32_t started = g_started;
  pthread_mutex_unlock(&g_lock);
  for (int32_t t = 1; t <= started; t++) pthread_join(g_threads[t], nullptr);
  pthread_mutex_lock(&g_lock);
  g_started = 0;
  g_stopping = false;
  FreeRooms();
  pthread_mutex_unlock(&g_lock);
}

extern "C" int32_t RuntimeEnvironmentValue(const char* name, uint8_t* out, int32_t room) {
  const char* value = name ? getenv(name) : nullptr;
  if (!value) return -1;
  size_t n = strlen(value);
  for (size_t i = 0; i < n && static_cast<int64_t>(i) < room; i++) out[i] = static_cast<uint8_t>(value[i]);
  return n > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int32_t>(n);
}
