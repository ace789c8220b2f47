// Allocator internals shared with its tests.
#pragma once
#include "runtime/runtime_only.h"
#include <stddef.h>
#include <stdint.h>

namespace mvalloc {

// The machine word (4 bytes on i386, 8 on x86-64): every small block is a whole number of
// words and starts on a word, as the records kept in them (their pointers) need, and a
// free block holds the pointer to the next.
constexpr size_t kWordSize = sizeof(void*);
constexpr size_t kLargestClassWords = 63;  // 252 bytes on i386, 504 on x86-64
constexpr size_t kChunkBytes = 8192;

// How many 8,192-byte chunks have been taken from the C heap so far.
uint32_t ChunksTaken();
// Bytes still uncarved in the current chunk.
size_t ChunkBytesLeft();

// The alert routine of the out-of-memory path. The console build shows nothing.
void Alert(const char* text);

}  // namespace mvalloc
