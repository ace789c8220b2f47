// Where the cipher stands at any byte, computed directly instead of stepped to.
//
// A slot's stepping is periodic: after its first direction flip it spends period0 and
// period1 steps (at least one each) in its two phases, moving its table by a fixed net
// amount a cycle. Its state and the offset of its table before byte j follow from j by
// division. The filler counts repeat every kFillerCycle cipher bytes, so prefix sums of
// one cycle give the place of any cipher byte in the expanded output.
#pragma once
#include <stdint.h>

#include "app/cipher_key.h"

namespace cipher {

// The state of a slot that started as `start`, after j steps; *offset receives the sum of
// the steps' moves (mod 256): the slot's table is then its first table read from
// position (k + *offset) mod 256.
Slot SlotAt(const Slot& start, uint64_t j, uint8_t* offset);

// The output positions of the cipher bytes of an expanded key (plain data, about 160 KB:
// keep it in static storage).
class FillerPrefix {
 public:
  // From the key's filler counts (expansion[1..kFillerCycle]).
  void Build(const Key& key);
  // The number of filler bytes that follow cipher bytes 0 .. i-1 (0-based), that is the
  // first i positions of the count cycle and its repetitions.
  uint64_t FillersBefore(uint64_t i) const;
  // The output offset of cipher byte i: i plus the fillers before it.
  uint64_t OutputOffset(uint64_t i) const { return i + FillersBefore(i); }
  // The number of cipher bytes whose output offset is below `offset`.
  uint64_t CipherBytesBefore(uint64_t offset) const;
  // The largest filler count of any one cipher byte.
  uint32_t MostFillers() const { return most_; }

 private:
  uint64_t sum_[kFillerCycle + 1];  // sum_[p]: counts of positions 1..p
  uint32_t most_;
};

}  // namespace cipher
