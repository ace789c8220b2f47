// The substitution routines of the engine (app/cipher_engine.cpp), one chunk at a time.
// offs[r] points at the offsets of slot r for the chunk's bytes; n is at most kChunk.
#pragma once
#include <stdint.h>

#include "app/cipher_engine.h"

namespace cipher {

typedef uint8_t TableBytes[kTableSize];

typedef uint8_t ChunkBytes[kChunk];

// Portable routines, any n; `laid` is room for the chunk's offsets (kSlots chunks).
// Forward: slot 1 reads the source, the others work in place on the destination.
void ForwardPortable(const TableBytes* tables, const uint8_t* s, uint8_t* d, uint32_t n,
                     const uint8_t* const* offs, ChunkBytes* laid);
// Inverse: inverse[r] serves slots whose table is a permutation (perm[r]); the others are
// searched in twice[r] (the table twice) for the first occurrence, and `missing` (n
// bytes) marks the bytes that a table does not hold, which come out as 0.
void InversePortable(const TableBytes* inverse, const uint8_t (*twice)[2 * kTableSize],
                     const bool* perm, bool allPerm, uint8_t* missing, const uint8_t* s,
                     uint8_t* d, uint32_t n, const uint8_t* const* offs, ChunkBytes* laid);

// Wide-vector routines: n a multiple of 64. `scratch` is a 64-byte aligned chunk. The
// inverse needs every table a permutation.
void ForwardVector(const TableBytes* tables, const uint8_t* s, uint8_t* d, uint32_t n,
                   const uint8_t* const* offs, uint8_t* scratch);
void InverseVector(const TableBytes* inverse, const uint8_t* s, uint8_t* d, uint32_t n,
                   const uint8_t* const* offs, uint8_t* scratch);

// 32-byte vector routines: n a multiple of 32. `diffs` holds each table's piece
// differences (PieceDifferences); the inverse needs every table a permutation and takes
// the differences of the inverse tables.
void PieceDifferences(const uint8_t* table, uint8_t* diffs);
void ForwardAvx2(const TableBytes* diffs, const uint8_t* s, uint8_t* d, uint32_t n,
                 const uint8_t* const* offs);
void InverseAvx2(const TableBytes* diffs, const uint8_t* s, uint8_t* d, uint32_t n,
                 const uint8_t* const* offs);

}  // namespace cipher
