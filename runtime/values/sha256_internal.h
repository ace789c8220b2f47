// The compression functions of SHA-256 (runtime/values/sha256.cpp), which the digest
// chooses between by the processor. Runtime-internal (C++).
#pragma once
#include "runtime/runtime_only.h"
#include <stddef.h>
#include <stdint.h>

// The compression function over `blocks` whole 64-byte blocks: in plain code, and on the
// processor's SHA instructions (only where MVSha256HasShaExtensions says it has them).
void MVSha256CompressPortable(uint32_t state[8], const uint8_t* p, size_t blocks);
void MVSha256CompressShaExtensions(uint32_t state[8], const uint8_t* p, size_t blocks);
bool MVSha256HasShaExtensions();
