// Runtime arrays: indices 0..upper bound per dimension, checked element access
// through a per-type operations table.
#pragma once
#include <stdint.h>

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

enum { kMVArrayGet = 0, kMVArraySet = 1, kMVArrayUncheckedGet = 2, kMVArrayUncheckedSet = 3,
       kMVArrayUBound = 11 };

// Element type codes used by the application: 0 signed 32-bit integers, 3 strings.
enum { kMVElemInt32 = 0, kMVElemString = 3 };

MVArray* CreateArray(int32_t dimensions, int32_t elementType, ...);
void RuntimeLockArray(MVArray* a);
void RuntimeUnlockArray(MVArray* a);
void RuntimeLockUnlockArrays(MVArray* newValue, MVArray* oldValue);

// Slot signatures for 32-bit elements (integers and strings):
//   1-D: uint32_t get(MVArray*, int32_t i);          void set(MVArray*, uint32_t v, int32_t i);
//   2-D: uint32_t get(MVArray*, int32_t i, int32_t j); void set(MVArray*, uint32_t v, int32_t i, int32_t j);
//   upper bound: int32_t ubound(MVArray*, int32_t dimension)  (-1: number of dimensions)
//   more dimensions: get(MVArray*, i1, i2, ...), set(MVArray*, v, i1, i2, ...)
//   8-byte elements take and return uint64_t; 1- and 2-byte elements use uint32_t.
// Further slots (v as for set):
//   1-D   4 resize(MVArray*, int32_t upper)  5 insert(MVArray*, int32_t index, v)
//         6 remove(MVArray*, int32_t index)  7 append(MVArray*, v)
//   more  4 resize(MVArray*, upper1, upper2, ...) (elements are released, storage new)
//   all   8 sort(MVArray*)  9 sort(MVArray*, MVArray* companion)
//         10 int32_t indexOf(MVArray*, v, int32_t start) (-1: absent)
//         12 lock(v)  13 unlock(v)  14 releaseAll(MVArray*)
typedef uint32_t (*MVArrayGet1)(MVArray*, int32_t);
typedef void (*MVArraySet1)(MVArray*, uint32_t, int32_t);
typedef uint32_t (*MVArrayGet2)(MVArray*, int32_t, int32_t);
typedef void (*MVArraySet2)(MVArray*, uint32_t, int32_t, int32_t);
typedef int32_t (*MVArrayUBoundFn)(MVArray*, int32_t);

#ifdef __cplusplus
}
#endif
