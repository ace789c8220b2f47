// Reads ahead and writes behind on a thread of the file layer's own, so that the
// kernel's copies of a large file run while the program works on the bytes it already
// has. The program itself stays on its one thread: it hands blocks over and takes them
// back only through these classes, every failure comes back to it there, and the
// signals it acts on are blocked in the worker so that they always reach it.
// Only regular files are read or written this way (a write to a regular file always
// finishes, so waiting for one never hangs).
#pragma once
#include "runtime/runtime_only.h"
#include <pthread.h>
#include <stddef.h>
#include <stdint.h>

#include "runtime/files/streams.h"
#include "runtime/values/string.h"

// Blocks of at least this many bytes go through the worker.
enum { kMVBackgroundBlock = 64 * 1024 };

class MVIOWorker {
 public:
  virtual ~MVIOWorker();

 protected:
  MVIOWorker() = default;
  // False when no thread could be started (the caller then works synchronously).
  bool StartThread();
  // Asks the thread to end and waits for it.
  void StopThread();
  // The thread's work: returns once stopping_ is set.
  virtual void Run() = 0;

  pthread_mutex_t lock_ = PTHREAD_MUTEX_INITIALIZER;
  pthread_cond_t changed_ = PTHREAD_COND_INITIALIZER;  // any change, seen by both sides
  bool stopping_ = false;

 private:
  static void* Entry(void* self);
  pthread_t thread_{};
  bool started_ = false;
};

// Writes handed-over blocks in order at the descriptor's offset.
class MVWriteBehind : public MVIOWorker {
 public:
  static MVWriteBehind* Start(int fd);  // nullptr: write synchronously
  ~MVWriteBehind() override;            // cancels what is not written yet
  // Hands n bytes over. `keep` is the string they live in (held until they are written;
  // the caller must not change it meanwhile), or NULL to have them copied. Waits while
  // the queue is full. False, with nothing queued, once a write has failed or the
  // output was cancelled.
  bool Queue(const uint8_t* bytes, size_t n, MVString* keep);
  // Waits until everything handed over is written; the first failure's errno, or 0.
  int Finish();
  // Drops what is not written yet and waits for the write in progress: afterwards the
  // worker writes nothing more.
  void Cancel();
  // The first failure so far (0 when none), without waiting.
  int Error();
  // Cancels every writer still running (the process is ending).
  static void CancelAll();

 private:
  enum { kDepth = 4 };
  struct Entry {
    const uint8_t* bytes;
    size_t n;
    MVString* keep;  // held string, or NULL
    uint8_t* copy;   // own copy, or NULL
  };
  explicit MVWriteBehind(int fd) : fd_(fd) {}
  void Run() override;
  void ReleaseWritten();  // program thread only: gives back strings and copies

  int fd_;
  // Bytes written since the disk was last asked to start on them (the worker's), and how
  // many gather before it is.
  enum : uint32_t { kSyncRun = 4u << 20 };
  uint64_t unsynced_ = 0;
  Entry ring_[kDepth] = {};
  uint64_t queued_ = 0;    // handed over (program thread)
  uint64_t written_ = 0;   // done by the worker, written or skipped
  uint64_t released_ = 0;  // given back (program thread)
  int error_ = 0;
  bool cancelled_ = false;
  MVWriteBehind* next_ = nullptr;  // writers alive
};

// Reads a file in order from an offset on, a few blocks ahead of the program.
class MVReadAhead : public MVIOWorker {
 public:
  static MVReadAhead* Start(int fd, uint64_t offset);  // nullptr: read synchronously
  ~MVReadAhead() override;
  // Up to n bytes, continuing where the last call stopped; fewer only at the end of the
  // file or after a failed read, whose errno is then put into *error.
  size_t Read(uint8_t* out, size_t n, int* error);
  // The next n bytes as a new string (one reference, tag kEncodingUnknown) without
  // copying them, when they are exactly one whole block of the worker's; otherwise
  // NULL, and nothing was taken.
  MVString* TakeBlock(size_t n);

  enum { kChunk = kMVStreamBlock };  // the block the image reads and writes

 private:
  enum { kSlots = 4 };
  struct Slot {
    MVString* string;  // the block's bytes live in a string, so that it can be handed on
    uint8_t* bytes;
    size_t count;
    int error;
  };
  // Waits for the slot in front; false at the end of what the worker will read.
  bool WaitFront();
  MVReadAhead(int fd, uint64_t offset) : fd_(fd), offset_(offset) {}
  void Run() override;

  int fd_;
  uint64_t offset_;  // where the worker reads next
  Slot slots_[kSlots] = {};
  uint64_t filled_ = 0;    // slots read by the worker
  uint64_t consumed_ = 0;  // slots used up by the program
  size_t taken_ = 0;       // bytes used of the slot in front
  bool ended_ = false;     // the worker met the end of the file or a failure
};
