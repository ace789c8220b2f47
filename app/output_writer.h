// How enc and dec hand their output on: in whole blocks of strings the writer alone
// holds, so that the stream's write-behind takes them without a copy.
#pragma once
#include "app/rt.h"
#include "app/util.h"

class Output;  // app/crypt_io.h

// The bytes of a string that only its holder holds (the cipher may then work on them in
// place and hand the string on as it is); null when another holds it too.
inline uint8_t* OwnBytes(const Str& block) {
  MVString* s = block.get();
  return s && s->refCount == 1 ? s->buffer + 1 : nullptr;
}

// Strings of one size handed to a stream whole, in turn. A string handed to the stream
// may be held by its write-behind until it is on its way (and must not change
// meanwhile): the ring goes round several strings and gives out the next one it alone
// holds.
class StringRing {
 public:
  // `seed`: `size` bytes the strings are first made from.
  StringRing(uint32_t size, const uint8_t* seed) : size_(size), seed_(seed), cur_(0) {}
  // The bytes of the next string only the ring holds (from the current one on), which
  // becomes the current one; null when every one is still held or there is no memory.
  uint8_t* Acquire();
  // The current string, to be handed over whole; then Next, and the next Acquire moves
  // past it.
  const Str& Current() const { return ring_[cur_]; }
  void Next() { cur_ = (cur_ + 1) % kRing; }

 private:
  // More strings than the write-behind holds at once.
  static constexpr int kRing = 6;
  uint32_t size_;
  const uint8_t* seed_;
  int cur_;
  Str ring_[kRing];
};

// Bytes go out in blocks of kMVStreamBlock; a failed write ends the output for good. Full blocks are assembled in the strings of a ring and written as they are;
// only when every one is still held does the writer assemble a block in its own buffer,
// which is then copied out.
class BlockWriter {
 public:
  static constexpr uint32_t kBlock = kMVStreamBlock;

  explicit BlockWriter(Output* out);
  // Room for at least `want` bytes (at most a block) at the end of the pending output.
  uint8_t* Room(uint32_t want) {
    if (kBlock - n_ < want) Flush();
    if (!buf_) buf_ = Acquire();
    return buf_ + n_;
  }
  uint32_t room() const { return kBlock - n_; }
  void Advance(uint32_t n) {
    n_ += n;
    if (n_ == kBlock) Flush();
  }
  // n bytes after the pending output.
  void Write(const uint8_t* p, uint32_t n);
  // A string as it is, after the pending output.
  void WriteString(const Str& block);
  void Flush();
  bool failed() const { return failed_; }

 private:
  uint8_t* Acquire();
  void Emit(const uint8_t* p, uint32_t n);
  Output* out_;
  uint8_t* buf_;  // the pending block: the current string's bytes, or gOut_
  uint32_t n_;
  bool failed_;
  StringRing ring_;
  static uint8_t gOut_[kBlock];
};

// Copies n bytes as one string move (the image's memcpy goes byte by byte).
inline void MoveBytes(uint8_t* d, const uint8_t* s, size_t n) {
  __asm__ volatile("rep movsb" : "+D"(d), "+S"(s), "+c"(n) : : "memory");
}

// Copies a run of n bytes to d, where `room` bytes may be written and the source may be
// read 8 bytes past the run. Short runs go in 8-byte steps, rounded up where the room
// allows; long ones as one string move.
inline void CopyRun(uint8_t* d, const uint8_t* s, uint32_t n, uint32_t room) {
  if (n >= 256) {
    MoveBytes(d, s, n);
    return;
  }
  uint32_t i = 0;
  if (room >= ((n + 7) & ~7u)) {
    for (; i < n; i += 8) {
      uint32_t a, b;
      __builtin_memcpy(&a, s + i, 4);
      __builtin_memcpy(&b, s + i + 4, 4);
      __builtin_memcpy(d + i, &a, 4);
      __builtin_memcpy(d + i + 4, &b, 4);
    }
    return;
  }
  for (; i < n; i++) d[i] = s[i];
}
