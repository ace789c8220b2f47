// The machine word and the layouts that depend on it.
//
// The image, the runtime and the plug-ins are built for one machine at a time: i386
// (4-byte pointers) or x86-64 (8-byte pointers). In-memory records use native pointers;
// a value that must hold a pointer or an integer alike (a string slot of an array, an
// argument of a protected call, a word of a property entry) is an MVWord. Every record
// that compiled code reads states its offsets for both machines with MV_BY_WIDTH, next
// to its one definition, so a build for either machine checks its own.
#pragma once
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef uintptr_t MVWord;

#ifdef __cplusplus
}
#endif

// The value a layout has on i386 and on x86-64.
#define MV_BY_WIDTH(i386, x86_64) (sizeof(void*) == 4 ? (i386) : (x86_64))

#ifdef __cplusplus
#define MV_LAYOUT_ASSERT(condition, text) static_assert(condition, text)
#else
#define MV_LAYOUT_ASSERT(condition, text) _Static_assert(condition, text)
#endif

#if UINTPTR_MAX == 0xFFFFFFFFu
MV_LAYOUT_ASSERT(sizeof(void*) == 4, "i386: 4-byte pointers");
#else
MV_LAYOUT_ASSERT(sizeof(void*) == 8, "x86-64: 8-byte pointers");
#endif
