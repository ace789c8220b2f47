// The file handle under every stream: one stdio stream with a position of its own, a
// cached length and the last error of any failed call.
#include <errno.h>
#include <poll.h>
#include <stdint.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <new>

#include "runtime/core/objects/signals.h"
#include "runtime/files/files_internal.h"
#include "runtime/values/alloc.h"

int mvfiles::ErrnoOrEIO() { return errno ? errno : EIO; }

namespace {

// The stdio buffer of every handle: byte loops make one system call per this many bytes.
// stdio picks a size of its own for a buffer it allocates, so the handle gives it one.
const size_t kStdioBuffer = 64 * 1024;

}  // namespace

MVFileHandle::MVFileHandle(FILE* f, bool readOnly)
    : file_(f),
      lastError_(0),
      position_(0),
      length_(0),
      writtenEnd_(0),
      direction_(kNone),
      readFailed_(false),
      readOnly_(readOnly) {
  stdioBuffer_ = static_cast<uint8_t*>(MVAlloc(kStdioBuffer));
  setvbuf(f, reinterpret_cast<char*>(stdioBuffer_), _IOFBF, kStdioBuffer);
  struct stat st;
  regular_ = fstat(fileno(f), &st) == 0 && S_ISREG(st.st_mode);
}

MVFileHandle* MVFileHandle::Open(const char* path, const char* mode, int* error) {
  errno = 0;
  FILE* f = fopen(path, mode);
  if (!f) {
    *error = mvfiles::ErrnoOrEIO();
    return nullptr;
  }
  void* block = MVAlloc(sizeof(MVFileHandle));
  // Read-only: "r", with stdio's flag letters ("re") or none.
  MVFileHandle* h = new (block) MVFileHandle(f, mode[0] == 'r' && !strchr(mode, '+'));
  h->Refresh();
  return h;
}

MVFileHandle* MVFileHandle::Adopt(FILE* f, bool readOnly, bool standardOutput) {
  void* block = MVAlloc(sizeof(MVFileHandle));
  MVFileHandle* h = new (block) MVFileHandle(f, readOnly);
  h->unsized_ = !h->regular_;
  h->standardOutput_ = standardOutput;
  // A file given as a standard stream is taken from where its offset stands (a caller
  // may have read part of it already): positions count from the file's start.
  if (h->regular_) {
    off_t at = lseek(fileno(f), 0, SEEK_CUR);
    if (at > 0) h->position_ = h->writtenEnd_ = static_cast<uint64_t>(at);
  }
  h->Refresh();
  return h;
}

MVFileHandle* MVFileHandle::OpenOutput(const char* path, mode_t newMode, int outputFlags,
                                       int* error) {
  MVSafeOutput* out = MVSafeOutput::Begin(path, newMode, outputFlags, error);
  if (!out) return nullptr;
  FILE* f = fdopen(out->fd(), out->direct() ? "w" : "w+");
  if (!f) {
    *error = mvfiles::ErrnoOrEIO();
    close(out->fd());
    out->Discard();
    MVSafeOutput::Destroy(out);
    return nullptr;
  }
  void* block = MVAlloc(sizeof(MVFileHandle));
  MVFileHandle* h = new (block) MVFileHandle(f, false);
  h->output_ = out;
  return h;
}

void MVFileHandle::Destroy(MVFileHandle* h) {
  if (!h) return;
  if (h->file_) h->Close();
  MVFree(h->stdioBuffer_, kStdioBuffer);
  h->~MVFileHandle();
  MVFree(h, sizeof(MVFileHandle));
}

// A pipe or socket whose reader has gone (errno after a failed stdio write is not always
// EPIPE, so the descriptor itself is asked).
static bool ReaderGone(int fd) {
  struct pollfd p = {fd, POLLOUT, 0};
  return poll(&p, 1, 0) == 1 && (p.revents & (POLLERR | POLLHUP)) != 0;
}

void MVFileHandle::Fail(int error) {
  lastError_ = error ? error : EIO;
  if (standardOutput_ && file_ && (error == EPIPE || ReaderGone(fileno(file_)))) MVNoteOutputGone();
}

// The length as the file system reports it, raised to the end of buffered output.
void MVFileHandle::Refresh() {
  if (unsized_) {  // known only once the end has been read
    length_ = feof_unlocked(file_) || readFailed_ ? position_ : UINT64_MAX;
    return;
  }
  struct stat st;
  if (fstat(fileno(file_), &st) != 0) {
    Fail(errno);
    return;
  }
  uint64_t size = st.st_size > 0 ? static_cast<uint64_t>(st.st_size) : 0;
  length_ = size > writtenEnd_ ? size : writtenEnd_;
}

// stdio wants a seek between output and input on one stream; one is made only when
// the direction changes, so that byte loops stay in the buffer.
void MVFileHandle::PrepareRead() {
  if (direction_ == kAhead || direction_ == kBehind) TakeBack();
  if (direction_ == kWriting) fseeko(file_, static_cast<off_t>(position_), SEEK_SET);
  direction_ = kReading;
  if (feof_unlocked(file_)) clearerr_unlocked(file_);
}

void MVFileHandle::PrepareWrite() {
  if (direction_ == kAhead || direction_ == kBehind) TakeBack();
  if (direction_ == kReading) fseeko(file_, static_cast<off_t>(position_), SEEK_SET);
  direction_ = kWriting;
}

void MVFileHandle::CollectWriteError() {
  if (!behind_) return;
  int error = behind_->Error();
  if (error && lastError_ != error) Fail(error);
}

void MVFileHandle::TakeBack() {
  if (direction_ == kBehind) {
    int error = behind_->Finish();
    if (error) Fail(error);
  } else if (direction_ == kAhead) {
    MVReadAhead* r = ahead_;
    ahead_ = nullptr;
    delete r;
  } else {
    return;
  }
  // stdio's own idea of the offset is stale: a seek sets it (and drops what it read).
  fseeko(file_, static_cast<off_t>(position_), SEEK_SET);
  direction_ = kNone;
}

// A large read of a read-only regular file: from the worker, which keeps reading ahead
// from where this read ends.
bool MVFileHandle::StartReadAhead(size_t n) {
  if (n < kMVBackgroundBlock || !readOnly_ || !regular_ || noWorker_ || readFailed_) return false;
  if (direction_ == kAhead) return true;
  if (direction_ == kBehind) TakeBack();
  ahead_ = MVReadAhead::Start(fileno(file_), position_);
  if (!ahead_) {
    noWorker_ = true;
    return false;
  }
  direction_ = kAhead;
  return true;
}

MVString* MVFileHandle::ReadBlock(size_t n) {
  if (!file_ || !StartReadAhead(n)) return nullptr;
  MVString* block = ahead_->TakeBlock(n);
  if (block) position_ += n;
  return block;
}

size_t MVFileHandle::ReadAhead(void* buffer, size_t n) {
  int error = 0;
  size_t got = ahead_->Read(static_cast<uint8_t*>(buffer), n, &error);
  position_ += got;
  if (got < n) {
    // The end (or a failure): later reads go through stdio again, which sees a file
    // that has grown since.
    TakeBack();
    if (error) {
      Fail(error);
      readFailed_ = true;
    } else {
      Refresh();
    }
  }
  return got;
}

size_t MVFileHandle::Read(void* buffer, size_t n) {
  if (!file_ || n == 0) return 0;
  if (n == 1) {  // the byte loops: straight from the stdio buffer
    int c = ReadByte();
    if (c < 0) return 0;
    *static_cast<uint8_t*>(buffer) = static_cast<uint8_t>(c);
    return 1;
  }
  if (StartReadAhead(n)) return ReadAhead(buffer, n);
  PrepareRead();
  errno = 0;
  size_t got = fread_unlocked(buffer, 1, n, file_);
  position_ += got;
  if (got < n) {
    if (ferror_unlocked(file_)) {
      Fail(errno);
      readFailed_ = true;
      clearerr_unlocked(file_);
    } else {
      Refresh();  // the end came sooner than the cached length said
    }
  }
  return got;
}

int MVFileHandle::ReadByte() {
  if (!file_) return -1;
  if (direction_ != kReading) PrepareRead();
  errno = 0;
  int c = getc_unlocked(file_);
  if (c == EOF) {
    if (ferror_unlocked(file_)) {
      Fail(errno);
      readFailed_ = true;
      clearerr_unlocked(file_);
    } else {
      Refresh();
    }
    return -1;
  }
  position_++;
  return c;
}

// A large write to a regular file: handed to the worker, which writes it at the
// descriptor's offset after everything handed over before.
bool MVFileHandle::WriteBehind(const void* bytes, size_t n, MVString* keep) {
  if (direction_ != kBehind) {
    if (direction_ == kAhead) TakeBack();
    // What stdio holds goes first; the worker then writes on from the position.
    errno = 0;
    if (fflush(file_) != 0 || lseek(fileno(file_), static_cast<off_t>(position_), SEEK_SET) < 0) {
      Fail(errno);
      clearerr_unlocked(file_);
      return false;
    }
    if (!behind_) behind_ = MVWriteBehind::Start(fileno(file_));
    if (!behind_) {
      noWorker_ = true;
      return false;
    }
    direction_ = kBehind;
  }
  if (!behind_->Queue(static_cast<const uint8_t*>(bytes), n, keep)) {
    int error = behind_->Error();
    Fail(error ? error : ECANCELED);
    return false;
  }
  position_ += n;
  if (position_ > writtenEnd_) writtenEnd_ = position_;
  if (writtenEnd_ > length_) length_ = writtenEnd_;
  return true;
}

bool MVFileHandle::Write(const void* bytes, size_t n, MVString* keep) {
  if (!file_) return false;
  if (n == 0) return true;
  if (n == 1) return WriteByte(*static_cast<const uint8_t*>(bytes));
  if (n >= kMVBackgroundBlock && !readOnly_ && regular_ && !noWorker_) {
    if (WriteBehind(bytes, n, keep)) return true;
    if (!noWorker_) return false;
  }
  if (direction_ != kWriting) PrepareWrite();
  errno = 0;
  size_t put = fwrite_unlocked(bytes, 1, n, file_);
  position_ += put;
  if (position_ > writtenEnd_) writtenEnd_ = position_;
  if (writtenEnd_ > length_) length_ = writtenEnd_;
  if (put < n) {
    Fail(errno);
    clearerr_unlocked(file_);
    return false;
  }
  return true;
}

bool MVFileHandle::WriteByte(uint8_t b) {
  if (!file_) return false;
  if (direction_ != kWriting) PrepareWrite();
  errno = 0;
  if (putc_unlocked(b, file_) == EOF) {
    Fail(errno);
    clearerr_unlocked(file_);
    return false;
  }
  position_++;
  if (position_ > writtenEnd_) writtenEnd_ = position_;
  if (writtenEnd_ > length_) length_ = writtenEnd_;
  return true;
}

bool MVFileHandle::SetPosition(uint64_t p) {
  if (!file_) return false;
  if (p > static_cast<uint64_t>(INT64_MAX)) {
    Fail(EINVAL);
    return false;
  }
  TakeBack();
  errno = 0;
  if (fseeko(file_, static_cast<off_t>(p), SEEK_SET) != 0) {
    Fail(errno);
    return false;
  }
  position_ = p;
  direction_ = kNone;
  readFailed_ = false;
  return true;
}

uint64_t MVFileHandle::Length() {
  if (!file_) return 0;
  Refresh();
  return length_;
}

uint64_t MVFileHandle::LengthReaching(uint64_t wanted) {
  if (!file_) return 0;
  if (length_ < wanted) Refresh();
  return length_;
}

bool MVFileHandle::AtEnd() {
  if (!file_) return true;
  if (readFailed_) return true;
  if (position_ < length_) return false;
  Refresh();
  return position_ >= length_;
}

bool MVFileHandle::Flush() {
  if (!file_) return false;
  int32_t before = lastError_;
  TakeBack();
  if (lastError_ != before) return false;
  errno = 0;
  if (fflush(file_) != 0) {
    Fail(errno);
    clearerr_unlocked(file_);
    return false;
  }
  return true;
}

int32_t MVFileHandle::LastError() {
  if (direction_ == kBehind) CollectWriteError();
  return lastError_;
}

bool MVFileHandle::Close() {
  if (!file_) return false;
  // An output that will not be put in place gets nothing more written: what waits is
  // dropped, and the worker is done before the temporary file goes.
  if (direction_ == kBehind && output_ && !complete_) behind_->Cancel();
  int32_t before = lastError_;
  TakeBack();
  bool backgroundFailed = lastError_ != before && lastError_ != ECANCELED;
  if (behind_) {
    MVWriteBehind* w = behind_;
    behind_ = nullptr;
    delete w;
  }
  bool earlierError = ferror_unlocked(file_) != 0 || backgroundFailed;
  bool outputFailed = false;
  if (output_) {
    // Everything reaches the file before it may be put in place.
    errno = 0;
    if (fflush(file_) != 0) {
      Fail(errno);
      earlierError = true;
    }
    if (complete_ && !earlierError && lastError_ == 0) {
      int error = output_->Commit();
      if (error) Fail(error);
      outputFailed = error != 0;
    } else {
      // Closed before it was complete, or after a failure: nothing is put in place.
      output_->Discard();
      if (lastError_ == 0) Fail(ECANCELED);
      outputFailed = true;
    }
  }
  errno = 0;
  int r = fclose(file_);
  file_ = nullptr;
  if (output_) {
    MVSafeOutput::Destroy(output_);
    output_ = nullptr;
  }
  if (r != 0) {
    Fail(errno);
    return false;
  }
  if (earlierError && lastError_ == 0) Fail(EIO);
  return !earlierError && !outputFailed;
}
