// A reader over one block of the code image that is told how many bytes are left, so
// that a record is taken only after its whole length was found there. Runtime-internal.
#pragma once
#include "runtime/runtime_only.h"
#include <stdint.h>
#include <string.h>

// The little-endian u32 at p, at any alignment.
inline uint32_t MVGet32(const uint8_t* p) {
  uint32_t v;
  memcpy(&v, p, 4);
  return v;
}

class MVBlockReader {
 public:
  MVBlockReader(const uint8_t* p, uint32_t count) : p_(p), count_(p ? count : 0) {}
  bool AtEnd() const { return pos_ >= count_; }
  bool Has(uint32_t n) const { return n <= count_ - pos_; }
  // The next byte or u32 (little-endian); only after Has() said they are there.
  uint8_t U8() { return p_[pos_++]; }
  uint32_t U32() {
    uint32_t v;
    memcpy(&v, p_ + pos_, 4);
    pos_ += 4;
    return v;
  }
  const uint8_t* Here() const { return p_ + pos_; }
  void Skip(uint32_t n) { pos_ += n; }

 private:
  const uint8_t* p_;
  uint32_t count_;
  uint32_t pos_ = 0;
};
