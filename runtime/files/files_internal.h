// Internals of the file layer: the file handle under every stream, the object records
// of FolderItem, its implementation object, the streams and TextEncoding, and their
// classes. C++ only; the export headers stay plain C.
#pragma once
#include "runtime/runtime_only.h"
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#include <string>

#include "runtime/core/objects/object.h"
#include "runtime/files/background_io.h"
#include "runtime/files/folderitem.h"
#include "runtime/files/safe_output_internal.h"
#include "runtime/files/streams.h"

// One open stdio stream with the bookkeeping the streams need: the logical position
// (kept here so that byte loops never ask the kernel), a cached length that is checked
// against the file only near the end, and the last error of any failed call.
// Large sequential reads of a read-only regular file are served by a worker reading
// ahead, large writes to a regular file are written behind by one (background_io.h);
// any other operation first takes the descriptor back for stdio (all written, the
// position set), so every interface behaves as if stdio had done it all.
class MVFileHandle {
 public:
  // fopen(path, mode); NULL with *error = errno on failure.
  static MVFileHandle* Open(const char* path, const char* mode, int* error);
  // A new output for `path` through the safe output path (see safe_output.h); NULL with
  // *error set when it cannot be started.
  static MVFileHandle* OpenOutput(const char* path, mode_t newMode, int outputFlags, int* error);
  static void Destroy(MVFileHandle* h);
  // A handle over a stream the process already has open (standard input or output).
  // One that is no regular file (a pipe, a terminal) has no length: reads go on until
  // its end. A write to a standard output whose reader has gone is noted as the lost
  // output the console reports.
  static MVFileHandle* Adopt(FILE* f, bool readOnly, bool standardOutput);

  // Read up to n bytes; returns the count read.
  size_t Read(void* buffer, size_t n);
  // The next n bytes as a new string, when the worker reading ahead has them as one
  // whole block of its own (handed over without a copy); otherwise NULL and nothing
  // was read.
  MVString* ReadBlock(size_t n);
  // Write n bytes; false (and the error recorded) when not all of them were accepted.
  // A write handed to the worker may fail later: that failure is recorded then, makes
  // the next write and Close fail, and shows in LastError(). `keep`, when given, is a
  // string holding the bytes, held instead of copied while they wait.
  bool Write(const void* bytes, size_t n, MVString* keep = nullptr);
  // One byte, or -1 when none could be read.
  int ReadByte();
  bool WriteByte(uint8_t b);

  uint64_t Position() const { return position_; }
  bool SetPosition(uint64_t p);
  // The file's current length (buffered output included).
  uint64_t Length();
  // A length of at least `wanted`, or the exact length when the file is shorter. Asks
  // the file system only when the cached length does not already reach `wanted`.
  uint64_t LengthReaching(uint64_t wanted);
  // Position at or beyond the length; also true after a read error, so that a loop
  // reading until the end cannot spin on a failing file.
  bool AtEnd();
  bool Flush();
  // fclose; false when it failed. The handle is unusable afterwards except for
  // LastError() and Destroy(). An output opened with OpenOutput is put in place only
  // when it was marked complete and nothing failed; otherwise it is discarded.
  bool Close();
  // The output is whole: Close may put it in place.
  void MarkComplete() { complete_ = true; }
  bool IsOutput() const { return output_ != nullptr; }
  // The last error, including a failure of a write still being finished behind.
  int32_t LastError();
  FILE* file() const { return file_; }

 private:
  explicit MVFileHandle(FILE* f, bool readOnly);
  void Fail(int error);
  void Refresh();
  void PrepareRead();
  void PrepareWrite();
  bool StartReadAhead(size_t n);  // true when the worker serves reads of n bytes
  size_t ReadAhead(void* buffer, size_t n);
  bool WriteBehind(const void* bytes, size_t n, MVString* keep);
  // Gives the descriptor back to stdio: writes behind finished (their failure
  // recorded), reads ahead dropped, stdio positioned at position_.
  void TakeBack();
  void CollectWriteError();

  // kAhead and kBehind: the worker uses the descriptor; stdio holds nothing unwritten.
  enum Direction { kNone, kReading, kWriting, kAhead, kBehind };
  FILE* file_;
  int32_t lastError_;
  uint64_t position_;
  uint64_t length_;       // last known length, at least the end of what was written
  uint64_t writtenEnd_;   // end of the furthest write (may still sit in the buffer)
  Direction direction_;
  bool readFailed_;
  bool complete_ = false;
  bool readOnly_;
  bool regular_ = false;      // a regular file: the worker may read or write it
  bool unsized_ = false;      // an adopted pipe or terminal: no length to ask for
  bool standardOutput_ = false;
  bool noWorker_ = false;     // no thread could be started: everything synchronous
  uint8_t* stdioBuffer_ = nullptr;
  MVSafeOutput* output_ = nullptr;
  MVWriteBehind* behind_ = nullptr;
  MVReadAhead* ahead_ = nullptr;
};

// --- Object records (fields after the 24-byte object header).

struct MVFolderItemImpl {
  MVObject header;
  int32_t lastError;
  MVString* path;         // absolute, UTF-8; an existing folder ends with "/"
};

struct MVFolderItemRecord {
  MVObject header;
  MVFolderItemImpl* impl;  // one reference, or NULL
};

struct MVTextEncodingRecord {
  MVObject header;
  uint32_t code;
};

enum { kMVTextBufferSize = 1024 };

struct MVTextInputStreamRecord {
  MVObject header;
  MVFileHandle* handle;    // NULL once closed
  MVObject* encoding;      // default TextEncoding (one reference)
  int32_t bufferPosition;
  int32_t bufferCount;
  uint8_t buffer[kMVTextBufferSize];
  int32_t lastError;
};

struct MVTextOutputStreamRecord {
  MVObject header;
  MVFileHandle* handle;
  MVString* delimiter;     // nil: LF
  int32_t lastError;
};

struct MVBinaryStreamRecord {
  MVObject header;
  MVFileHandle* handle;
  bool littleEndian;
  int32_t lastError;
};

static_assert(offsetof(MVFolderItemRecord, impl) == sizeof(MVObject), "fields follow the header");
static_assert(offsetof(MVTextInputStreamRecord, handle) == sizeof(MVObject),
              "fields follow the header");
static_assert(offsetof(MVTextInputStreamRecord, buffer) == MV_BY_WIDTH(40, 72),
              "buffer after the counts");

// --- Classes (created on first use).
MVClass* MVFolderItemClass();
MVClass* MVFolderItemImplClass();
MVClass* MVTextInputStreamClass();
MVClass* MVTextOutputStreamClass();
MVClass* MVBinaryStreamClass();
MVClass* MVTextEncodingClass();

// New stream objects owning `h` (one reference each).
MVObject* MVNewTextInputStream(MVFileHandle* h);
MVObject* MVNewTextOutputStream(MVFileHandle* h);
MVObject* MVNewBinaryStream(MVFileHandle* h);

// The record behind an entry point's object argument. A nil object raises
// NilObjectException, an object of another class IllegalCastException; both give NULL
// and the caller returns at once.
void* MVCheckedRecord(MVObject* o, MVClass* cls);

// Path helpers shared by the file layer.
namespace mvfiles {
// The folder that relative names are taken against (application folder, else the
// working directory read at start-up), without a trailing "/" ("" for the root).
std::string BaseFolder();
// A path without its trailing "/" (the root stays "/").
std::string WithoutTrailingSlash(const std::string& path);
// The folder part of a path: everything before its last component, without "/"
// at the end ("/" for an item directly in the root).
std::string ParentOf(const std::string& path);
// errno, or EIO when a failing call left it 0.
int ErrnoOrEIO();
// Writes all n bytes (again after an interruption); false with errno set otherwise.
bool WriteAll(int fd, const void* bytes, size_t n);
// The path a name gives, as the system is to see it: absolute, or relative to the base
// folder; every byte as it is, trailing "/" left out. Empty for an empty name or one
// holding a NUL (the system would see only the part before it).
std::string NamePath(MVString* name);
}  // namespace mvfiles
