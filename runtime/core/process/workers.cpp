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

// Thread 0 is the program's (it takes items in RuntimeRunWorkers only), 1 .. the pool's.
constexpr int32_t kThreadNumbers = kMVMaxWorkerThreads + 1;

struct Job {
  MVWorkItem work = nullptr;  // null: no job posted
  void* context = nullptr;
  int32_t count = 0;
  int32_t next = 0;      // the next item to hand out
  int32_t finished = 0;  // items done
  int32_t first = 0;     // threads first .. last take part
  int32_t last = -1;
};

Job g_job;
uint64_t g_generation = 0;  // counts the jobs posted
bool g_stopping = false;
int32_t g_started = 0;  // workers running: thread numbers 1 .. g_started
pthread_t g_threads[kThreadNumbers];
void* g_room[kThreadNumbers];  // thread t's room
uint32_t g_roomBytes = 0;      // the size every room held has room for

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
      if (thread >= g_job.first && thread <= g_job.last) TakeItems(thread);
    } else {
      pthread_cond_wait(&g_work, &g_lock);
    }
  }
  pthread_mutex_unlock(&g_lock);
  return nullptr;
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

// Posts a job for threads first .. last. Called with g_lock held.
void Post(MVWorkItem work, void* context, int32_t count, int32_t first, int32_t last) {
  g_job = Job{work, context, count, 0, 0, first, last};
  g_generation++;
  if (last >= 1) pthread_cond_broadcast(&g_work);
}

// Waits until every item of the posted job has run, and ends it. Called with g_lock held.
void EndJob() {
  while (g_job.work && g_job.finished < g_job.count) pthread_cond_wait(&g_done, &g_lock);
  g_job = Job{};
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

// Lets every room go; none is held afterwards (g_roomBytes 0).
void FreeRooms() {
  for (void*& room : g_room) {
    free(room);
    room = nullptr;
  }
  g_roomBytes = 0;
}

// Rooms smaller than `bytes` are let go, so that every room made from here on, and every
// one kept, has room for it. No job may be running.
void RoomsOf(uint32_t bytes) {
  if (g_roomBytes != 0 && bytes <= g_roomBytes) return;
  FreeRooms();
  g_roomBytes = bytes ? bytes : 1;
}

// Thread t's room; false when memory is short.
bool RoomFor(int32_t t) {
  if (!g_room[t]) g_room[t] = aligned_alloc(64, (uint64_t{g_roomBytes} + 63) & ~uint64_t{63});
  return g_room[t] != nullptr;
}

// The number of threads `threads` stands for.
int32_t Threads(int32_t threads) {
  if (threads <= 0) threads = MVUsableProcessors();
  return threads > kMVMaxWorkerThreads ? kMVMaxWorkerThreads : threads;
}

// Workers 1 .. last started (the end of the program stops them), and the highest of
// them running.
int32_t StartedUpTo(int32_t last) {
  if (last < 1) return 0;
  if (!g_stop) g_stop = new PoolStop;
  int32_t running = StartWorkers(last);
  return running < last ? running : last;
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
  threads = Threads(threads);
  if (!work) return threads;
  if (count <= 0) return 1;
  if (threads > count) threads = count;
  pthread_mutex_lock(&g_lock);
  EndJob();
  RoomsOf(roomBytes);
  // Rooms first: a thread without one takes no items.
  int32_t usable = 0;
  while (usable < threads && RoomFor(usable)) usable++;
  if (usable == 0) {
    pthread_mutex_unlock(&g_lock);
    return 0;
  }
  usable = StartedUpTo(usable - 1) + 1;
  Post(work, context, count, 0, usable - 1);
  TakeItems(0);
  EndJob();
  pthread_mutex_unlock(&g_lock);
  return usable;
}

extern "C" int32_t RuntimeStartWorkers(int32_t threads, uint32_t roomBytes, MVWorkItem work,
                                       void* context, int32_t count) {
  threads = Threads(threads);
  if (!work || count <= 0) return 0;
  if (threads > count) threads = count;
  pthread_mutex_lock(&g_lock);
  EndJob();
  RoomsOf(roomBytes);
  int32_t last = 0;
  while (last < threads && RoomFor(last + 1)) last++;
  last = StartedUpTo(last);
  if (last > 0) Post(work, context, count, 1, last);
  pthread_mutex_unlock(&g_lock);
  return last;
}

extern "C" void RuntimeWaitWorkers(void) {
  pthread_mutex_lock(&g_lock);
  EndJob();
  pthread_mutex_unlock(&g_lock);
}

extern "C" void MVStopWorkers(void) {
  pthread_mutex_lock(&g_lock);
  EndJob();
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
