// The byte engine: runs a loaded key (app/cipher_key.h) over data, block after block,
// giving the same bytes as ForwardByte/InverseByte and StepSlots one byte at a time.
//
// A slot's 256-byte table, stepped, is always its first table read at an offset:
//   table_j[k] = T[(k + off(j)) mod 256]
// for the j-th data byte, where off(j) depends only on the slot's stepping state. The
// engine keeps each slot's first table (and its inverse) and lays out the offsets of a
// whole chunk at a time; the substitution of a chunk is then one table lookup per slot
// and byte, done by the portable routines (app/cipher_portable.cpp) or the wide-vector
// ones (app/cipher_vector.cpp). After its first direction flip a slot repeats its steps
// every P = period0 + period1 steps, so its offsets repeat every
// P * 256 / gcd(drift, 256) bytes: one pattern per slot serves the whole input.
//
// The engine holds about 280 KB of state: keep one in static storage. It is plain data
// (no constructor), ready after Start.
#pragma once
#include <stddef.h>
#include <stdint.h>

#include "app/cipher_key.h"

namespace cipher {

// Offsets of one chunk are laid out at a time.
constexpr uint32_t kChunk = 4096;

// The substitution routines an engine runs: one byte at a time, 32-byte vectors (AVX2),
// or 64-byte vectors with the wide byte permutes (AVX-512 VBMI).
enum class Path : uint8_t { kPortable, kAvx2, kAvx512 };

class Engine {
 public:
  // Takes the key's tables and stepping state as they are (the key is not changed, and
  // must stay in place while the engine runs: the filler counts are read from it), and
  // places the engine before byte `position` (0: the first byte). Whole vectors go
  // through the routines of `path`, which must be available (PathAvailable).
  void Start(const Key& key, Path path, uint64_t position = 0);
  // Places a started engine before byte `position`, counted from Start's first byte.
  void Seek(uint64_t position);
  // Makes this engine a copy of a started one, as it stands. The copy must sit at the
  // same address modulo 64 as the original (the patterns are placed on cache lines).
  void CopyFrom(const Engine& from);
  // Encrypts or decrypts n bytes from src into dst (which may be src itself). Bytes are
  // numbered from Start on: the slot state carries over from one call to the next.
  void Encrypt(const uint8_t* src, uint8_t* dst, uint32_t n);
  void Decrypt(const uint8_t* src, uint8_t* dst, uint32_t n);

  // Expansion: the filler counts of the next cipher bytes, from the position after the
  // last one asked for (the first cipher byte after Start has position 1). NextFiller
  // gives one; NextFillers writes n of them to counts[0..n-1] and returns their sum.
  bool expanded() const { return key_->expansionOn; }
  uint32_t NextFiller();
  uint64_t NextFillers(uint32_t n, uint32_t* counts);

 private:
  // The state of one slot's offset generator.
  struct Generator {
    bool patterned;   // offsets read from the slot's pattern; else simulated
    uint32_t pos;     // pattern position of the next byte
    uint32_t wrap;    // lead-in + cycle: positions at or past it go back one cycle
    uint32_t cycle;
    Slot live;        // simulated slots: the state at the next byte
    uint8_t off;      // simulated slots: offset of the next byte
  };

  // A slot's pattern covers its lead-in and one full cycle of offsets within this span;
  // slots whose cycle is longer have their offsets simulated chunk by chunk instead.
  static constexpr uint32_t kPatternSpan = 8192;
  static constexpr uint32_t kPatternCap = kPatternSpan + kChunk + 64;
  static_assert(kPatternCap % 64 == 0, "patterns start on cache lines");

  void Run(const uint8_t* src, uint8_t* dst, uint32_t n, bool decrypt);
  void RunChunk(const uint8_t* src, uint8_t* dst, uint32_t n, bool decrypt);
  void BuildGenerator(int r, const Slot& start);
  void TakeTable(int r, const uint8_t* table);
  const uint8_t* Offsets(int r, uint32_t n);
  uint8_t* Pattern(int r);
  uint8_t* Scratch();

  const Key* key_;
  Path path_;
  bool allPerm_;  // every table is a permutation of 0..255
  int32_t fillerPos_;
  uint8_t table_[kSlots][kTableSize];
  uint8_t inverse_[kSlots][kTableSize];   // of permutation tables
  uint8_t twice_[kSlots][2 * kTableSize];  // the table twice, for first-occurrence search
  uint8_t diffs_[kSlots][kTableSize];      // 32-byte vectors: piece differences of table_
  uint8_t inverseDiffs_[kSlots][kTableSize];  // ... and of inverse_
  bool perm_[kSlots];
  Generator gen_[kSlots];
  // The patterns start on cache lines (kPatternCap is a multiple of 64), and a cycle is
  // lengthened to a multiple of 64 where that still fits: whole chunks then read their
  // offsets from aligned positions. The image may be placed at any address, so the space
  // carries no alignment of its own.
  uint8_t patternSpace_[kSlots * kPatternCap + 64];
  // Scratch space of the routines, last: CopyFrom leaves it out.
  uint8_t scratchSpace_[kChunk + 64];
  uint8_t laid_[kSlots][kChunk];  // the portable routines' offsets of a chunk
  uint8_t missing_[kChunk];
};

// True when the processor and operating system support the wide byte-permute routines,
// the 32-byte vector routines, or the routines of a path.
bool VectorPathAvailable();
bool Avx2PathAvailable();
bool PathAvailable(Path path);
// The fastest path this processor has.
Path BestPath();

}  // namespace cipher
