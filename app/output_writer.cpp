// The output writer of enc and dec (see output_writer.h).
#include "app/output_writer.h"

#include "app/crypt_io.h"

uint8_t* StringRing::Acquire() {
  for (int i = 0; i < kRing; i++) {
    int c = (cur_ + i) % kRing;
    Str& s = ring_[c];
    if (!s.get()) s = Str(MAVOBuildString(seed_, static_cast<int32_t>(size_), kEncodingUnknown));
    uint8_t* b = OwnBytes(s);
    if (b && s.length() == size_) {
      cur_ = c;
      return b;
    }
  }
  return nullptr;
}

uint8_t BlockWriter::gOut_[BlockWriter::kBlock];

BlockWriter::BlockWriter(Output* out)
    : out_(out), buf_(nullptr), n_(0), failed_(false), ring_(kBlock, gOut_) {}

void BlockWriter::Write(const uint8_t* p, uint32_t n) {
  Flush();
  Emit(p, n);
}

void BlockWriter::WriteString(const Str& block) {
  Flush();
  if (failed_ || block.length() == 0) return;
  out_->Write(block);
  failed_ = out_->failed();
}

void BlockWriter::Flush() {
  if (n_ == 0 || failed_) {
    n_ = 0;
    return;
  }
  if (n_ == kBlock && buf_ != gOut_) {
    // The block is the ring's current string: handed over whole, and not touched again
    // until the stream lets go of it.
    out_->Write(ring_.Current());
    ring_.Next();
    failed_ = out_->failed();
    buf_ = nullptr;
  } else {
    Emit(buf_, n_);
  }
  n_ = 0;
}

uint8_t* BlockWriter::Acquire() {
  uint8_t* b = ring_.Acquire();
  return b ? b : gOut_;
}

void BlockWriter::Emit(const uint8_t* p, uint32_t n) {
  if (n == 0 || failed_) return;
  out_->Write(p, n);
  failed_ = out_->failed();
}
