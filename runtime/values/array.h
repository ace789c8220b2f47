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
typedef uint32_t (*MVArrayGet1)(MVArray*, int32_t);
typedef void (*MVArraySet1)(MVArray*, uint32_t, int32_t);
typedef uint32_t (*MVArrayGet2)(MVArray*, int32_t, int32_t);
typedef void (*MVArraySet2)(MVArray*, uint32_t, int32_t, int32_t);
typedef int32_t (*MVArrayUBoundFn)(MVArray*, int32_t);

#ifdef __cplusplus
}
#endif
