// Runtime arrays: indices 0..upper bound per dimension, checked element access
// through a per-type operations table.
#pragma once
#include <stddef.h>
#include <stdint.h>
#include "runtime/values/word.h"

#ifdef __cplusplus
extern "C" {
#endif

// Operations table; compiled code calls slots by position. Slot 0 checked get,
// 1 checked set, 2 unchecked get, 3 unchecked set, 4..7 list operations (1-D) or resize
// and empty slots (more dimensions), 8 sort, 9 sort by a second array, 10 index-of,
// 11 upper bound, 12 element lock, 13 element unlock, 14 release of all elements,
// 15 one more slot.
typedef struct MVArrayOps {
  void* slot[16];
} MVArrayOps;

typedef struct MVArray {
  uint32_t refCount;
  const MVArrayOps* ops;
  void* data;          // element storage, NULL when there are no elements
  int32_t dimensions;
  int32_t byteSize;    // element size x element count
  int32_t growthStep;  // 16
  int32_t upperBounds[];  // one per dimension
} MVArray;

MV_LAYOUT_ASSERT(offsetof(MVArray, refCount) == 0 && offsetof(MVArray, ops) == MV_BY_WIDTH(4, 8) &&
                     offsetof(MVArray, data) == MV_BY_WIDTH(8, 16) &&
                     offsetof(MVArray, dimensions) == MV_BY_WIDTH(12, 24) &&
                     offsetof(MVArray, byteSize) == MV_BY_WIDTH(16, 28) &&
                     offsetof(MVArray, growthStep) == MV_BY_WIDTH(20, 32) &&
                     offsetof(MVArray, upperBounds) == MV_BY_WIDTH(24, 36) &&
                     sizeof(MVArrayOps) == 16 * sizeof(void*),
                 "array layout");

enum { kMVArrayGet = 0, kMVArraySet = 1, kMVArrayUncheckedGet = 2, kMVArrayUncheckedSet = 3,
       kMVArrayUBound = 11 };

// Element type codes used by the application: 0 signed 32-bit integers, 3 strings (one
// word each: the string's address).
enum { kMVElemInt32 = 0, kMVElemString = 3 };

MVArray* CreateArray(int32_t dimensions, int32_t elementType, ...);
void RuntimeLockArray(MVArray* a);
void RuntimeUnlockArray(MVArray* a);
void RuntimeLockUnlockArrays(MVArray* newValue, MVArray* oldValue);

// Slot signatures for elements of one word or less (integers of 1, 2 and 4 bytes, strings),
// each passed as an MVWord:
//   1-D: MVWord get(MVArray*, int32_t i);          void set(MVArray*, MVWord v, int32_t i);
//   2-D: MVWord get(MVArray*, int32_t i, int32_t j); void set(MVArray*, MVWord v, int32_t i, int32_t j);
//   upper bound: int32_t ubound(MVArray*, int32_t dimension)  (-1: number of dimensions)
//   more dimensions: get(MVArray*, i1, i2, ...), set(MVArray*, v, i1, i2, ...)
//   8-byte integers take and return uint64_t.
// Further slots (v as for set):
//   1-D   4 resize(MVArray*, int32_t upper)  5 insert(MVArray*, int32_t index, v)
//         6 remove(MVArray*, int32_t index)  7 append(MVArray*, v)
//   more  4 resize(MVArray*, upper1, upper2, ...) (elements are released, storage new)
//   all   8 sort(MVArray*)  9 sort(MVArray*, MVArray* companion)
//         10 int32_t indexOf(MVArray*, v, int32_t start) (-1: absent)
//         12 lock(v)  13 unlock(v)  14 releaseAll(MVArray*)
typedef MVWord (*MVArrayGet1)(MVArray*, int32_t);
typedef void (*MVArraySet1)(MVArray*, MVWord, int32_t);
typedef MVWord (*MVArrayGet2)(MVArray*, int32_t, int32_t);
typedef void (*MVArraySet2)(MVArray*, MVWord, int32_t, int32_t);
typedef int32_t (*MVArrayUBoundFn)(MVArray*, int32_t);

#ifdef __cplusplus
}
#endif
