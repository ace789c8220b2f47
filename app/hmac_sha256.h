// HMAC-SHA-256 (RFC 2104 with FIPS 180-4's SHA-256), on the runtime's SHA-256 exports:
// for key derivation on the main thread, never on a cipher worker (runtime exports).
#pragma once
#include <stddef.h>
#include <stdint.h>

#include "app/rt.h"

namespace hmac {

constexpr int kBytes = MV_SHA256_BYTES;

// One MAC's state: the inner and outer digests, each already keyed.
struct Sha256 {
  MVSha256 inner, outer;
};

// Starts a MAC under a key of any length (a key longer than a block is hashed first).
void Start(Sha256* mac, const uint8_t* key, size_t keyBytes);
// Adds n bytes of the message; any split gives the MAC of the whole.
void Update(Sha256* mac, const void* data, size_t n);
// The MAC; the state is wiped.
void Finish(Sha256* mac, uint8_t out[kBytes]);

// The MAC of n bytes in one call.
void Mac(const uint8_t* key, size_t keyBytes, const void* data, size_t n, uint8_t out[kBytes]);

}  // namespace hmac
