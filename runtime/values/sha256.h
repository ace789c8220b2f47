// SHA-256 (FIPS 180-4), the one digest of the program: the build stores the digest of
// the code image beside it, the loader checks it, and the image uses it through these
// exports, in one call or incrementally on a context record it holds itself.
#pragma once
#include <stddef.h>
#include <stdint.h>

#define MV_SHA256_BYTES 32 /* a digest */
#define MV_SHA256_BLOCK 64 /* the block the compression function takes */

#ifdef __cplusplus
extern "C" {
#endif

// The context record: plain data, held by the caller (on its stack, in its globals);
// its layout is part of the export (checked below), the same on every target.
typedef struct MVSha256 {
  uint32_t state[8];                 // the chaining value
  uint64_t length;                   // bytes taken so far
  uint8_t block[MV_SHA256_BLOCK];    // the bytes of the block not yet compressed
  uint32_t used;                     // how many of them there are
  uint32_t reserved;                 // 0; rounds the record up to a multiple of 8
} MVSha256;

// Starts a digest.
void RuntimeSha256Init(MVSha256* context);
// Adds n bytes; any split of a message gives the digest of the whole.
void RuntimeSha256Update(MVSha256* context, const void* data, size_t n);
// The digest of everything added; the context is wiped and must be started again.
void RuntimeSha256Final(MVSha256* context, uint8_t digest[MV_SHA256_BYTES]);
// The digest of n bytes in one call.
void RuntimeSha256(const void* data, size_t n, uint8_t digest[MV_SHA256_BYTES]);

#ifdef __cplusplus
}
#define MV_SHA256_ASSERT(condition, text) static_assert(condition, text)
#else
#define MV_SHA256_ASSERT(condition, text) _Static_assert(condition, text)
#endif

MV_SHA256_ASSERT(offsetof(MVSha256, state) == 0 && offsetof(MVSha256, length) == 32 &&
                     offsetof(MVSha256, block) == 40 && offsetof(MVSha256, used) == 104 &&
                     offsetof(MVSha256, reserved) == 108 && sizeof(MVSha256) == 112,
                 "the SHA-256 context record has one layout on every target");
