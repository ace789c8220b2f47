// The file handle under every stream: one stdio stream with a position of its own, a
// cached length and the last error of any failed call.
#include <errno.h>
#include <stdint.h>
#include <sys/stat.h>
#include <unistd.h>

#include <new>

#include "runtime/files/files_internal.h"
#include "runtime/values/alloc.h"

int mvfiles::ErrnoOrEIO() { return errno ? errno : EIO; }

MVFileHandle::MVFileHandle(FILE* f)
    : file_(f),
      lastError_(0),
      position_(0),
      length_(0),
      writtenEnd_(0),
      direction_(kNone),
      readFailed_(false) {}

MVFileHandle* MVFileHandle::Open(const char* path, const char* mode, int* error) {
  errno = 0;
  FILE* f = fopen(path, mode);
  if (!f) {
    *error = mvfiles::ErrnoOrEIO();
    return nullptr;
  }
  setvbuf(f, nullptr, _IOFBF, 64 * 1024);  // fewer system calls for byte loops
  void* block = MVAlloc(sizeof(MVFileHandle));
  MVFileHandle* h = new (block) MVFileHandle(f);
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
  setvbuf(f, nullptr, _IOFBF, 64 * 1024);
  void* block = MVAlloc(sizeof(MVFileHandle));
  MVFileHandle* h = new (block) MVFileHandle(f);
  h->output_ = out;
  return h;
}

void MVFileHandle::Destroy(MVFileHandle* h) {
  if (!h) return;
  if (h->file_) h->Close();
  h->~MVFileHandle();
  MVFree(h, sizeof(MVFileHandle));
}

void MVFileHandle::Fail(int error) { lastError_ = error ? error : EIO; }

// The length as the file system reports it, raised to the end of buffered output.
void MVFileHandle::Refresh() {
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
  if (direction_ == kWriting) fseeko(file_, static_cast<off_t>(position_), SEEK_SET);
  direction_ = kReading;
  if (feof_unlocked(file_)) clearerr_unlocked(file_);
}

void MVFileHandle::PrepareWrite() {
  if (direction_ == kReading) fseeko(file_, static_cast<off_t>(position_), SEEK_SET);
  direction_ = kWriting;
}

size_t MVFileHandle::Read(void* buffer, size_t n) {
  if (!file_ || n == 0) return 0;
  if (n == 1) {  // the byte loops: straight from the stdio buffer
    int c = ReadByte();
    if (c < 0) return 0;
    *static_cast<uint8_t*>(buffer) = static_cast<uint8_t>(c);
    return 1;
  }
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

bool MVFileHandle::Write(const void* bytes, size_t n) {
  if (!file_) return false;
  if (n == 0) return true;
  if (n == 1) return WriteByte(*static_cast<const uint8_t*>(bytes));
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
  errno = 0;
  if (fflush(file_) != 0) {
    Fail(errno);
    clearerr_unlocked(file_);
    return false;
  }
  return true;
}

bool MVFileHandle::Close() {
  if (!file_) return false;
  bool earlierError = ferror_unlocked(file_) != 0;
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
