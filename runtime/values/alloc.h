// The runtime's block allocator: size classes of up to 63 words served from per-size
// free lists carved out of 8,192-byte chunks; larger blocks come from malloc.
#pragma once
#include "runtime/runtime_only.h"
#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

// Allocate n bytes; never returns NULL: running out of memory ends the process with
// the runtime's out-of-memory alert (exit status 0).
void* MVAlloc(size_t n);
// Return a block of n bytes obtained from MVAlloc(n).
void MVFree(void* block, size_t n);
// Out of memory anywhere in the runtime: alert and end the process.
void MVOutOfMemory(void) __attribute__((noreturn));

#ifdef __cplusplus
}
#endif
