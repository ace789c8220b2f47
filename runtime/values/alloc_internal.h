// Allocator internals shared with its tests.
#pragma once
#include "runtime/runtime_only.h"
#include <stddef.h>
#include <stdint.h>

namespace mvalloc {

constexpr size_t kWordSize = 4;
constexpr size_t kLargestClassWords = 63;  // 252 bytes
constexpr size_t kChunkBytes = 8192;

// How many 8,192-byte chunks have been taken from the C heap so far.
uint32_t ChunksTaken();
// Bytes still uncarved in the current chunk.
size_t ChunkBytesLeft();

// The alert routine of the out-of-memory path. The console build shows nothing.
void Alert(const char* text);

}  // namespace mvalloc
