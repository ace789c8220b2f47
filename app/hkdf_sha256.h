// HKDF with HMAC-SHA-256 (RFC 5869): the key of a sealed file from its salt and the key
// material of its entry numbers. Runs on the main thread (runtime exports).
#pragma once
#include <stddef.h>
#include <stdint.h>

#include "app/hmac_sha256.h"

namespace hkdf {

constexpr int kPrkBytes = hmac::kBytes;
constexpr size_t kMaxOutput = 255 * hmac::kBytes;

// The pseudorandom key: HMAC(salt, input key material); an empty salt is 32 zeros.
void Extract(const uint8_t* salt, size_t saltBytes, const uint8_t* ikm, size_t ikmBytes,
             uint8_t prk[kPrkBytes]);

// n bytes of output key material from the pseudorandom key and `info`. False, writing
// nothing, when n is over kMaxOutput.
bool Expand(const uint8_t prk[kPrkBytes], const uint8_t* info, size_t infoBytes, uint8_t* out,
            size_t n);

// Extract, then Expand.
bool Derive(const uint8_t* salt, size_t saltBytes, const uint8_t* ikm, size_t ikmBytes,
            const uint8_t* info, size_t infoBytes, uint8_t* out, size_t n);

}  // namespace hkdf
