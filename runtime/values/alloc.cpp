// The runtime's block allocator.
//
// Requests of up to 63 words are rounded up to whole machine words (4 bytes on i386, 8 on
// x86-64) and served from a free list per word count; a list that is empty is fed by carving the next block off
// the current 8,192-byte chunk (a tail too short for the request is abandoned and a
// fresh chunk taken from malloc). Small blocks are never handed back to the C heap.
// Anything larger goes straight to malloc and free. No locks: one thread.
#include "runtime/values/alloc.h"

#include <stdlib.h>
#include <unistd.h>

#include "runtime/values/alloc_internal.h"

namespace mvalloc {
namespace {

struct FreeBlock {
  FreeBlock* next;
};

FreeBlock* g_freeLists[kLargestClassWords + 1];
uint8_t* g_chunkNext = nullptr;
size_t g_chunkLeft = 0;
uint32_t g_chunks = 0;

// Prepared before it is needed: reporting must not allocate.
const char kOutOfMemoryText[] = "This application has run out of memory and must quit now.";
volatile bool g_quitting = false;

inline size_t WordsFor(size_t n) { return n == 0 ? 1 : (n + kWordSize - 1) / kWordSize; }

void* Carve(size_t bytes) {
  if (g_chunkLeft < bytes) {
    auto* chunk = static_cast<uint8_t*>(malloc(kChunkBytes));
    if (!chunk) MVOutOfMemory();
    g_chunkNext = chunk;
    g_chunkLeft = kChunkBytes;
    g_chunks++;
  }
  void* block = g_chunkNext;
  g_chunkNext += bytes;
  g_chunkLeft -= bytes;
  return block;
}

}  // namespace

uint32_t ChunksTaken() { return g_chunks; }
size_t ChunkBytesLeft() { return g_chunkLeft; }

void Alert(const char* text) { (void)text; }

}  // namespace mvalloc

using namespace mvalloc;

extern "C" void* MVAlloc(size_t n) {
  if (n <= kLargestClassWords * kWordSize) {
    size_t words = WordsFor(n);
    if (FreeBlock* b = g_freeLists[words]) {
      g_freeLists[words] = b->next;
      return b;
    }
    return Carve(words * kWordSize);
  }
  void* p = malloc(n);
  if (!p) MVOutOfMemory();
  return p;
}

extern "C" void MVFree(void* block, size_t n) {
  if (!block) return;
  if (n <= kLargestClassWords * kWordSize) {
    size_t words = WordsFor(n);
    auto* b = static_cast<FreeBlock*>(block);
    b->next = g_freeLists[words];
    g_freeLists[words] = b;
    return;
  }
  free(block);
}

extern "C" void MVOutOfMemory(void) {
  // A second exhaustion while the process is already ending (an exit handler that
  // allocates) must not re-enter exit.
  if (g_quitting) _exit(0);
  g_quitting = true;
  Alert(kOutOfMemoryText);
  exit(0);
}
