#include "runtime/files/background_io.h"

#include <errno.h>
#include <fcntl.h>
#include <malloc.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <new>

#include "runtime/core/objects/signals.h"

namespace {

MVWriteBehind* g_writers = nullptr;  // writers alive (program thread only)

int ErrnoOrEIO() { return errno ? errno : EIO; }

// Blocks now live a little longer (while they wait to be written, or after they were
// read ahead) and are freed in another order than they were made, which glibc answers
// by giving the top of the heap back and mapping and unmapping large blocks again and
// again: every block of a large file then costs fresh pages. Keeping a few megabytes
// and taking large blocks from the heap makes the blocks be reused instead.
void KeepBlocks() {
  static bool done = false;
  if (done) return;
  done = true;
  mallopt(M_MMAP_THRESHOLD, 4 * 1024 * 1024);
  mallopt(M_TRIM_THRESHOLD, 16 * 1024 * 1024);
}

}  // namespace

// --- The thread.

MVIOWorker::~MVIOWorker() {
  pthread_cond_destroy(&changed_);
  pthread_mutex_destroy(&lock_);
}

void* MVIOWorker::Entry(void* self) {
  static_cast<MVIOWorker*>(self)->Run();
  return nullptr;
}

bool MVIOWorker::StartThread() {
  // The new thread inherits the mask: what the user or the system sends goes to the
  // program's thread, whose handlers record it. A write past the file size limit or to
  // a closed pipe fails with EFBIG or EPIPE here instead.
  sigset_t block, old;
  sigemptyset(&block);
  MVAddHandledSignals(&block);
  pthread_attr_t attributes;
  pthread_attr_init(&attributes);
  pthread_attr_setstacksize(&attributes, 256 * 1024);  // it only calls the kernel
  pthread_sigmask(SIG_BLOCK, &block, &old);
  started_ = pthread_create(&thread_, &attributes, Entry, this) == 0;
  pthread_sigmask(SIG_SETMASK, &old, nullptr);
  pthread_attr_destroy(&attributes);
  return started_;
}

void MVIOWorker::StopThread() {
  if (!started_) return;
  pthread_mutex_lock(&lock_);
  stopping_ = true;
  pthread_cond_broadcast(&changed_);
  pthread_mutex_unlock(&lock_);
  pthread_join(thread_, nullptr);
  started_ = false;
}

// --- Writing behind.

MVWriteBehind* MVWriteBehind::Start(int fd) {
  KeepBlocks();
  MVWriteBehind* w = new (std::nothrow) MVWriteBehind(fd);
  if (!w) return nullptr;
  if (!w->StartThread()) {
    delete w;
    return nullptr;
  }
  w->next_ = g_writers;
  g_writers = w;
  return w;
}

MVWriteBehind::~MVWriteBehind() {
  Cancel();
  StopThread();
  ReleaseWritten();
  for (MVWriteBehind** p = &g_writers; *p; p = &(*p)->next_) {
    if (*p == this) {
      *p = next_;
      break;
    }
  }
}

void MVWriteBehind::Run() {
  pthread_mutex_lock(&lock_);
  for (;;) {
    while (!stopping_ && written_ == queued_) pthread_cond_wait(&changed_, &lock_);
    if (written_ == queued_) break;  // stopping, and nothing is left
    Entry e = ring_[written_ % kDepth];
    bool skip = error_ != 0 || cancelled_;
    pthread_mutex_unlock(&lock_);
    int error = 0;
    const uint8_t* p = e.bytes;
    size_t n = e.n;
    while (!skip && n > 0) {
      errno = 0;
      ssize_t w = write(fd_, p, n);
      if (w < 0 && errno == EINTR) continue;
      if (w <= 0) {
        error = ErrnoOrEIO();
        break;
      }
      p += w;
      n -= static_cast<size_t>(w);
    }
    if (!skip && !error) {
      // The disk starts on what was written once a few MiB have gathered, so that the
      // sync before the output is put in place finds little left to do, and the disk gets
      // large requests. Only a hint: its failure changes nothing.
      unsynced_ += e.n;
      if (unsynced_ >= kSyncRun) {
        off_t end = lseek(fd_, 0, SEEK_CUR);
        if (end >= static_cast<off_t>(unsynced_))
          sync_file_range(fd_, end - static_cast<off_t>(unsynced_), static_cast<off_t>(unsynced_),
                          SYNC_FILE_RANGE_WRITE);
        unsynced_ = 0;
      }
    }
    pthread_mutex_lock(&lock_);
    if (error && !error_) error_ = error;
    written_++;
    pthread_cond_broadcast(&changed_);
  }
  pthread_mutex_unlock(&lock_);
}

void MVWriteBehind::ReleaseWritten() {
  pthread_mutex_lock(&lock_);
  uint64_t written = written_;
  pthread_mutex_unlock(&lock_);
  for (; released_ < written; released_++) {
    Entry& e = ring_[released_ % kDepth];
    if (e.keep) RuntimeUnlockString(e.keep);
    free(e.copy);
    e = Entry{};
  }
}

bool MVWriteBehind::Queue(const uint8_t* bytes, size_t n, MVString* keep) {
  ReleaseWritten();
  pthread_mutex_lock(&lock_);
  while (queued_ - written_ == kDepth && !error_ && !cancelled_)
    pthread_cond_wait(&changed_, &lock_);
  bool refused = error_ != 0 || cancelled_;
  pthread_mutex_unlock(&lock_);
  if (refused) return false;
  ReleaseWritten();  // the slot that just came free
  Entry e{bytes, n, keep, nullptr};
  if (keep) {
    RuntimeLockString(keep);
  } else {
    e.copy = static_cast<uint8_t*>(malloc(n));
    if (!e.copy) return false;
    memcpy(e.copy, bytes, n);
    e.bytes = e.copy;
  }
  pthread_mutex_lock(&lock_);
  ring_[queued_ % kDepth] = e;
  queued_++;
  pthread_cond_broadcast(&changed_);
  pthread_mutex_unlock(&lock_);
  return true;
}

int MVWriteBehind::Finish() {
  pthread_mutex_lock(&lock_);
  while (written_ != queued_) pthread_cond_wait(&changed_, &lock_);
  int error = error_ ? error_ : cancelled_ ? ECANCELED : 0;
  pthread_mutex_unlock(&lock_);
  ReleaseWritten();
  return error;
}

void MVWriteBehind::Cancel() {
  pthread_mutex_lock(&lock_);
  cancelled_ = true;
  pthread_cond_broadcast(&changed_);
  pthread_mutex_unlock(&lock_);
  Finish();
}

int MVWriteBehind::Error() {
  pthread_mutex_lock(&lock_);
  int error = error_;
  pthread_mutex_unlock(&lock_);
  return error;
}

void MVWriteBehind::CancelAll() {
  for (MVWriteBehind* w = g_writers; w; w = w->next_) w->Cancel();
}

// --- Reading ahead.

MVReadAhead* MVReadAhead::Start(int fd, uint64_t offset) {
  KeepBlocks();
  MVReadAhead* r = new (std::nothrow) MVReadAhead(fd, offset);
  if (!r) return nullptr;
  for (Slot& s : r->slots_) {
    s.string = MVStringAllocate(kChunk, kEncodingUnknown);
    s.bytes = s.string->buffer + 1;
  }
  if (!r->StartThread()) {
    delete r;
    return nullptr;
  }
  return r;
}

MVReadAhead::~MVReadAhead() {
  StopThread();
  for (Slot& s : slots_) RuntimeUnlockString(s.string);
}

void MVReadAhead::Run() {
  pthread_mutex_lock(&lock_);
  for (;;) {
    while (!stopping_ && (ended_ || filled_ - consumed_ == kSlots))
      pthread_cond_wait(&changed_, &lock_);
    if (stopping_) break;
    Slot& s = slots_[filled_ % kSlots];
    pthread_mutex_unlock(&lock_);
    // The slot is the worker's until filled_ passes it.
    size_t count = 0;
    int error = 0;
    while (count < kChunk) {
      errno = 0;
      ssize_t r = pread(fd_, s.bytes + count, kChunk - count, static_cast<off_t>(offset_ + count));
      if (r < 0 && errno == EINTR) continue;
      if (r < 0) error = ErrnoOrEIO();
      if (r <= 0) break;
      count += static_cast<size_t>(r);
    }
    s.count = count;
    s.error = error;
    offset_ += count;
    pthread_mutex_lock(&lock_);
    if (count < kChunk) ended_ = true;  // the end, or a failure: this slot is the last
    filled_++;
    pthread_cond_broadcast(&changed_);
  }
  pthread_mutex_unlock(&lock_);
}

bool MVReadAhead::WaitFront() {
  pthread_mutex_lock(&lock_);
  while (filled_ == consumed_ && !ended_) pthread_cond_wait(&changed_, &lock_);
  bool ready = filled_ != consumed_;
  pthread_mutex_unlock(&lock_);
  return ready;
}

MVString* MVReadAhead::TakeBlock(size_t n) {
  if (n != kChunk || taken_ != 0 || !WaitFront()) return nullptr;
  Slot& s = slots_[consumed_ % kSlots];
  if (s.count != kChunk) return nullptr;
  // The filled string goes to the caller; the slot gets a new one before the worker
  // may use it again.
  MVString* block = s.string;
  s.string = MVStringAllocate(kChunk, kEncodingUnknown);
  s.bytes = s.string->buffer + 1;
  pthread_mutex_lock(&lock_);
  consumed_++;
  pthread_cond_broadcast(&changed_);
  pthread_mutex_unlock(&lock_);
  return block;
}

size_t MVReadAhead::Read(uint8_t* out, size_t n, int* error) {
  size_t got = 0;
  while (got < n) {
    if (!WaitFront()) break;  // everything up to the end was delivered
    Slot& s = slots_[consumed_ % kSlots];
    size_t m = s.count - taken_ < n - got ? s.count - taken_ : n - got;
    memcpy(out + got, s.bytes + taken_, m);
    got += m;
    taken_ += m;
    if (taken_ < s.count) break;  // n bytes delivered
    bool last = s.count < kChunk;
    if (last && s.error) {
      *error = s.error;
      break;  // the slot stays in front: later calls get nothing more
    }
    pthread_mutex_lock(&lock_);
    consumed_++;
    taken_ = 0;
    pthread_cond_broadcast(&changed_);
    pthread_mutex_unlock(&lock_);
    if (last) break;
  }
  return got;
}
