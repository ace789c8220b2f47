// Runtime arrays: the record, CreateArray, the operations tables and the reference
// counting of arrays and of the strings they hold.
#include "runtime/values/array.h"

#include <stdarg.h>
#include <stddef.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <type_traits>
#include <vector>

#include "runtime/core/objects/exception.h"
#include "runtime/core/objects/report.h"
#include "runtime/values/alloc.h"
#include "runtime/values/string.h"

namespace {

const char kModule[] = "../Common/RuntimeArrays";
constexpr int32_t kGrowthStep = 16;

size_t RecordSize(int32_t dimensions) {
  return offsetof(MVArray, upperBounds) + sizeof(int32_t) * static_cast<size_t>(dimensions);
}

// Number of elements of a shape; 0 when any dimension is empty.
uint64_t ElementCount(int32_t dimensions, const int32_t* upper) {
  // An empty dimension empties the array, wherever it stands.
  for (int32_t d = 0; d < dimensions; d++)
    if (upper[d] < 0) return 0;
  uint64_t count = 1;
  for (int32_t d = 0; d < dimensions; d++) {
    count *= static_cast<uint64_t>(upper[d]) + 1;
    if (count > 0x7FFFFFFFu) return count;  // too large either way; stop before overflow
  }
  return count;
}

// Zero-filled storage for count elements of the given size (NULL for none). A size that
// does not fit the record's 32-bit byte size ends the process like any exhausted memory.
void* NewStorage(uint64_t count, size_t elementSize, int32_t* byteSize) {
  uint64_t bytes = count * elementSize;
  if (count == 0) {
    *byteSize = 0;
    return nullptr;
  }
  if (count > 0x7FFFFFFFu || bytes > 0x7FFFFFFFu) MVOutOfMemory();
  void* p = calloc(static_cast<size_t>(count), elementSize);
  if (!p) MVOutOfMemory();
  *byteSize = static_cast<int32_t>(bytes);
  return p;
}

// --- Element policies: what storing, dropping and handing out an element means.

struct PlainPolicy {
  template <typename T> static void Lock(T) {}
  template <typename T> static void Unlock(T) {}
  template <typename T> static bool Less(T a, T b) { return a < b; }
  template <typename T> static bool Equal(T a, T b) { return a == b; }
};

struct StringPolicy {
  static MVString* S(MVWord v) { return reinterpret_cast<MVString*>(v); }
  static void Lock(MVWord v) { RuntimeLockString(S(v)); }
  static void Unlock(MVWord v) { RuntimeUnlockString(S(v)); }
  static bool Less(MVWord a, MVWord b) { return RuntimeStringCompare(S(a), S(b)) < 0; }
  static bool Equal(MVWord a, MVWord b) { return RuntimeStringCompare(S(a), S(b)) == 0; }
};

// E: stored element type; S: its signed counterpart (ordering); A: the type passed in
// and out through the slots; P: policy.
template <typename E, typename S, typename A, typename P>
struct Elements {
  static E* At(MVArray* a, uint32_t index) { return static_cast<E*>(a->data) + index; }
  static uint32_t Count(const MVArray* a) { return static_cast<uint32_t>(a->byteSize) / sizeof(E); }

  static A Read(MVArray* a, uint32_t index) {
    E v = *At(a, index);
    P::Lock(v);  // the caller owns what it gets (strings)
    return static_cast<A>(v);
  }
  static void Write(MVArray* a, uint32_t index, A value) {
    E* slot = At(a, index);
    E nv = static_cast<E>(value);
    P::Lock(nv);  // lock first: storing the element's own value stays safe
    P::Unlock(*slot);
    *slot = nv;
  }

  static bool InRange(const MVArray* a, int32_t d, int32_t i) { return i >= 0 && i <= a->upperBounds[d]; }

  // --- One dimension.
  static A Get1(MVArray* a, int32_t i) {
    if (!InRange(a, 0, i)) {
      RaiseOutOfBoundsException();
      return 0;
    }
    return Read(a, static_cast<uint32_t>(i));
  }
  static void Set1(MVArray* a, A v, int32_t i) {
    if (!InRange(a, 0, i)) {
      RaiseOutOfBoundsException();
      return;
    }
    Write(a, static_cast<uint32_t>(i), v);
  }
  static A UGet1(MVArray* a, int32_t i) { return Read(a, static_cast<uint32_t>(i)); }
  static void USet1(MVArray* a, A v, int32_t i) { Write(a, static_cast<uint32_t>(i), v); }

  // --- Two dimensions: (i, j) at i + j * (first upper bound + 1).
  static uint32_t Index2(const MVArray* a, int32_t i, int32_t j) {
    return static_cast<uint32_t>(i) + static_cast<uint32_t>(j) * (static_cast<uint32_t>(a->upperBounds[0]) + 1);
  }
  static A Get2(MVArray* a, int32_t i, int32_t j) {
    if (!InRange(a, 0, i) || !InRange(a, 1, j)) {
      RaiseOutOfBoundsException();
      return 0;
    }
    return Read(a, Index2(a, i, j));
  }
  static void Set2(MVArray* a, A v, int32_t i, int32_t j) {
    if (!InRange(a, 0, i) || !InRange(a, 1, j)) {
      RaiseOutOfBoundsException();
      return;
    }
    Write(a, Index2(a, i, j), v);
  }
  static A UGet2(MVArray* a, int32_t i, int32_t j) { return Read(a, Index2(a, i, j)); }
  static void USet2(MVArray* a, A v, int32_t i, int32_t j) { Write(a, Index2(a, i, j), v); }

  // --- Any number of dimensions: one int32 index per dimension after the fixed arguments.
  static bool IndexN(const MVArray* a, va_list args, bool check, uint32_t* index) {
    uint32_t linear = 0, stride = 1;
    bool ok = true;
    for (int32_t d = 0; d < a->dimensions; d++) {
      int32_t i = va_arg(args, int32_t);
      if (check && !InRange(a, d, i)) ok = false;
      linear += static_cast<uint32_t>(i) * stride;
      stride *= static_cast<uint32_t>(a->upperBounds[d]) + 1;
    }
    *index = linear;
    return ok;
  }
  static A GetN(MVArray* a, ...) {
    va_list args;
    va_start(args, a);
    uint32_t index;
    bool ok = IndexN(a, args, true, &index);
    va_end(args);
    if (!ok) {
      RaiseOutOfBoundsException();
      return 0;
    }
    return Read(a, index);
  }
  static void SetN(MVArray* a, A v, ...) {
    va_list args;
    va_start(args, v);
    uint32_t index;
    bool ok = IndexN(a, args, true, &index);
    va_end(args);
    if (!ok) {
      RaiseOutOfBoundsException();
      return;
    }
    Write(a, index, v);
  }
  static A UGetN(MVArray* a, ...) {
    va_list args;
    va_start(args, a);
    uint32_t index;
    IndexN(a, args, false, &index);
    va_end(args);
    return Read(a, index);
  }
  static void USetN(MVArray* a, A v, ...) {
    va_list args;
    va_start(args, v);
    uint32_t index;
    IndexN(a, args, false, &index);
    va_end(args);
    Write(a, index, v);
  }

  // --- List operations of one-dimensional arrays.
  // Storage for `count` elements keeping the first min(old, count); new ones zero.
  static void SetCount(MVArray* a, uint32_t count) {
    uint32_t old = Count(a);
    for (uint32_t k = count; k < old; k++) P::Unlock(*At(a, k));
    if (count == 0) {
      free(a->data);
      a->data = nullptr;
      a->byteSize = 0;
      return;
    }
    if (count > 0x7FFFFFFFu / sizeof(E)) MVOutOfMemory();
    void* p = realloc(a->data, count * sizeof(E));
    if (!p) MVOutOfMemory();
    a->data = p;
    if (count > old) memset(static_cast<E*>(p) + old, 0, (count - old) * sizeof(E));
    a->byteSize = static_cast<int32_t>(count * sizeof(E));
  }
  static void Resize1(MVArray* a, int32_t upper) {
    SetCount(a, upper < 0 ? 0 : static_cast<uint32_t>(upper) + 1);
    a->upperBounds[0] = upper < 0 ? -1 : upper;
  }
  static void Insert1(MVArray* a, int32_t index, A v) {
    if (index < 0 || index > a->upperBounds[0] + 1) {
      RaiseOutOfBoundsException();
      return;
    }
    uint32_t old = Count(a);
    SetCount(a, old + 1);
    a->upperBounds[0] = static_cast<int32_t>(old);
    memmove(At(a, index + 1), At(a, index), (old - index) * sizeof(E));
    *At(a, index) = 0;
    Write(a, index, v);
  }
  static void Remove1(MVArray* a, int32_t index) {
    if (!InRange(a, 0, index)) {
      RaiseOutOfBoundsException();
      return;
    }
    uint32_t old = Count(a);
    P::Unlock(*At(a, index));
    memmove(At(a, index), At(a, index + 1), (old - index - 1) * sizeof(E));
    *At(a, old - 1) = 0;
    SetCount(a, old - 1);
    a->upperBounds[0] = static_cast<int32_t>(old) - 2;
  }
  static void Append1(MVArray* a, A v) { Insert1(a, a->upperBounds[0] + 1, v); }

  // Any number of dimensions: the elements are released and the storage made anew.
  static void ResizeN(MVArray* a, ...) {
    std::vector<int32_t> upper(a->dimensions);
    va_list args;
    va_start(args, a);
    for (int32_t d = 0; d < a->dimensions; d++) upper[d] = va_arg(args, int32_t);
    va_end(args);
    ReleaseAll(a);
    free(a->data);
    a->data = NewStorage(ElementCount(a->dimensions, upper.data()), sizeof(E), &a->byteSize);
    memcpy(a->upperBounds, upper.data(), upper.size() * sizeof(int32_t));
  }

  // --- Search and order over the elements in storage order.
  static bool Less(E x, E y) {
    if (std::is_same<P, PlainPolicy>::value) return static_cast<S>(x) < static_cast<S>(y);
    return P::Less(x, y);
  }
  static void Sort(MVArray* a) {
    if (a->data) std::stable_sort(At(a, 0), At(a, 0) + Count(a), Less);
  }
  // Sorts a and applies the same reordering to the elements of b (same element count).
  static void SortWith(MVArray* a, MVArray* b) {
    if (!b) {
      RaiseNilObjectException();
      return;
    }
    uint32_t n = Count(a);
    uint32_t bn = 0;
    size_t bsize = 0;
    if (b->byteSize > 0) {
      bn = n;
      bsize = n ? static_cast<uint32_t>(b->byteSize) / n : 0;
      if (bsize * n != static_cast<uint32_t>(b->byteSize)) bn = 0;
    }
    if (bn != n) {
      RaiseOutOfBoundsException();
      return;
    }
    if (n == 0) return;
    std::vector<uint32_t> order(n);
    for (uint32_t k = 0; k < n; k++) order[k] = k;
    E* keys = At(a, 0);
    std::stable_sort(order.begin(), order.end(), [keys](uint32_t x, uint32_t y) { return Less(keys[x], keys[y]); });
    std::vector<E> sortedKeys(n);
    std::vector<uint8_t> moved(static_cast<size_t>(b->byteSize));
    const uint8_t* bdata = static_cast<const uint8_t*>(b->data);
    for (uint32_t k = 0; k < n; k++) {
      sortedKeys[k] = keys[order[k]];
      memcpy(&moved[k * bsize], bdata + order[k] * bsize, bsize);
    }
    memcpy(keys, sortedKeys.data(), n * sizeof(E));
    memcpy(b->data, moved.data(), moved.size());
  }
  static int32_t IndexOf(MVArray* a, A v, int32_t start) {
    uint32_t n = Count(a);
    E key = static_cast<E>(v);
    for (uint32_t k = start < 0 ? 0 : static_cast<uint32_t>(start); k < n; k++)
      if (P::Equal(*At(a, k), key)) return static_cast<int32_t>(k);
    return -1;
  }

  static void LockElement(A v) { P::Lock(static_cast<E>(v)); }
  static void UnlockElement(A v) { P::Unlock(static_cast<E>(v)); }
  static void ReleaseAll(MVArray* a) {
    uint32_t n = Count(a);
    for (uint32_t k = 0; k < n; k++) {
      E v = *At(a, k);
      *At(a, k) = 0;
      P::Unlock(v);
    }
  }

  template <typename F> static void* V(F f) { return reinterpret_cast<void*>(f); }

  static const MVArrayOps* Table(int32_t dimensions) {
    static const MVArrayOps k1 = {{V(&Get1), V(&Set1), V(&UGet1), V(&USet1), V(&Resize1), V(&Insert1),
                                   V(&Remove1), V(&Append1), V(&Sort), V(&SortWith), V(&IndexOf),
                                   V(&UBound), V(&LockElement), V(&UnlockElement), V(&ReleaseAll), nullptr}};
    static const MVArrayOps k2 = {{V(&Get2), V(&Set2), V(&UGet2), V(&USet2), V(&ResizeN), nullptr, nullptr,
                                   nullptr, V(&Sort), V(&SortWith), V(&IndexOf), V(&UBound),
                                   V(&LockElement), V(&UnlockElement), V(&ReleaseAll), nullptr}};
    static const MVArrayOps kN = {{V(&GetN), V(&SetN), V(&UGetN), V(&USetN), V(&ResizeN), nullptr, nullptr,
                                   nullptr, V(&Sort), V(&SortWith), V(&IndexOf), V(&UBound),
                                   V(&LockElement), V(&UnlockElement), V(&ReleaseAll), nullptr}};
    return dimensions == 1 ? &k1 : dimensions == 2 ? &k2 : &kN;
  }

  static int32_t UBound(MVArray* a, int32_t dimension) {
    if (dimension == -1) return a->dimensions;
    if (dimension < 1 || dimension > a->dimensions) {
      RaiseOutOfBoundsException();
      return 0;
    }
    return a->upperBounds[dimension - 1];
  }
};

using Int8Elements = Elements<uint8_t, int8_t, MVWord, PlainPolicy>;
using Int16Elements = Elements<uint16_t, int16_t, MVWord, PlainPolicy>;
using Int32Elements = Elements<uint32_t, int32_t, MVWord, PlainPolicy>;
using Int64Elements = Elements<uint64_t, int64_t, uint64_t, PlainPolicy>;
using StringElements = Elements<MVWord, intptr_t, MVWord, StringPolicy>;

// The operations table and element size of a type code; NULL for an unknown code.
const MVArrayOps* TableFor(int32_t type, int32_t dimensions, size_t* elementSize) {
  switch (type) {
    case 3:
      *elementSize = sizeof(MVWord);
      return StringElements::Table(dimensions);
    case 0: case 1: case 4: case 9:
      *elementSize = 4;
      return Int32Elements::Table(dimensions);
    case 2: case 10: case 11:
      *elementSize = 8;
      return Int64Elements::Table(dimensions);
    case 5: case 6:
      *elementSize = 1;
      return Int8Elements::Table(dimensions);
    case 7: case 8:
      *elementSize = 2;
      return Int16Elements::Table(dimensions);
    default:
      return nullptr;
  }
}

void DestroyArray(MVArray* a) {
  reinterpret_cast<void (*)(MVArray*)>(a->ops->slot[14])(a);
  free(a->data);
  MVFree(a, RecordSize(a->dimensions));
}

}  // namespace

extern "C" MVArray* CreateArray(int32_t dimensions, int32_t elementType, ...) {
  if (dimensions < 1) {
    MVRuntimeErrorReport(4, kModule, 96, "dimensions >= 1", nullptr);
    return nullptr;
  }
  size_t elementSize = 0;
  const MVArrayOps* ops = TableFor(elementType, dimensions, &elementSize);
  if (!ops) {
    MVRuntimeErrorReport(4, kModule, 112, "0", "Unknown array element type");
    return nullptr;
  }
  MVArray* a = static_cast<MVArray*>(MVAlloc(RecordSize(dimensions)));
  a->refCount = 1;
  a->ops = ops;
  a->dimensions = dimensions;
  a->growthStep = kGrowthStep;
  va_list args;
  va_start(args, elementType);
  for (int32_t d = 0; d < dimensions; d++) a->upperBounds[d] = va_arg(args, int32_t);
  va_end(args);
  a->data = NewStorage(ElementCount(dimensions, a->upperBounds), elementSize, &a->byteSize);
  return a;
}

extern "C" void RuntimeLockArray(MVArray* a) {
  if (a) a->refCount++;
}

extern "C" void RuntimeUnlockArray(MVArray* a) {
  if (!a || a->refCount == 0) return;
  if (--a->refCount == 0) DestroyArray(a);
}

extern "C" void RuntimeLockUnlockArrays(MVArray* newValue, MVArray* oldValue) {
  if (newValue == oldValue) return;
  RuntimeLockArray(newValue);
  RuntimeUnlockArray(oldValue);
}
