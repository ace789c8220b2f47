// The filler bytes of one enc command on the program's thread: the command's generator,
// keyed from the system's random source, and a pool that draws them in bulk.
#pragma once
#include <stdint.h>

#include "app/filler_random.h"

namespace fillers {

// Keys the command's generator (the key stays for segments, which key substreams of
// their own from it). False when the source gives no bytes.
bool Start(filler::Kind kind);
// The command's key (filler::kKeyBytes).
const uint8_t* Key();
// Wipes the generator and its key.
void End();

// Filler bytes of the command's generator, drawn in bulk: as many at a time as the
// cipher bytes already counted need, and handed out in runs.
class Pool {
 public:
  Pool() : at_(0), have_(0), owed_(0) {}
  // Fillers of further cipher bytes are due.
  void Owe(uint64_t n) { owed_ += n; }
  // Up to n of the next fillers (at least one, when n > 0 and some are owed); *got
  // tells how many. The run may be read 8 bytes past its end.
  const uint8_t* Take(uint32_t n, uint32_t* got);

 private:
  static constexpr uint32_t kPool = 65536;
  uint32_t at_, have_;
  uint64_t owed_;
  static uint8_t pool_[kPool + 8];  // runs are read in 8-byte steps
};

}  // namespace fillers
