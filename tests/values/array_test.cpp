#include <gtest/gtest.h>
#include <unistd.h>

#include "runtime/core/objects/exception.h"
#include "runtime/core/objects/object.h"
#include "runtime/values/array.h"
#include "runtime/values/string.h"

namespace {

MVWord Get1(MVArray* a, int32_t i) { return reinterpret_cast<MVArrayGet1>(a->ops->slot[kMVArrayGet])(a, i); }
void Set1(MVArray* a, MVWord v, int32_t i) { reinterpret_cast<MVArraySet1>(a->ops->slot[kMVArraySet])(a, v, i); }
uint32_t Get2(MVArray* a, int32_t i, int32_t j) {
  return reinterpret_cast<MVArrayGet2>(a->ops->slot[kMVArrayGet])(a, i, j);
}
void Set2(MVArray* a, MVWord v, int32_t i, int32_t j) {
  reinterpret_cast<MVArraySet2>(a->ops->slot[kMVArraySet])(a, v, i, j);
}
int32_t UBound(MVArray* a, int32_t d) { return reinterpret_cast<MVArrayUBoundFn>(a->ops->slot[kMVArrayUBound])(a, d); }

MVWord W(MVString* s) { return reinterpret_cast<MVWord>(s); }
MVString* S(MVWord w) { return reinterpret_cast<MVString*>(w); }

// Runs a slot under a handler; true when it raised an OutOfBoundsException.
bool RaisesOutOfBounds(void* slot, MVWord a, MVWord b, MVWord c, MVWord* result = nullptr) {
  MVWord r = 0xDEADBEEF;
  MVObject* ex = MVProtectedCall(slot, a, b, c, &r);
  if (result) *result = r;
  if (!ex) return false;
  bool oob = RuntimeObjectIsa(ex, MVOutOfBoundsExceptionClass());
  RuntimeUnlockObject(ex);
  return oob;
}

TEST(Array, RecordOfOneDimensionalStringArray) {
  MVArray* a = CreateArray(1, kMVElemString, 5);
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(a->refCount, 1u);
  EXPECT_EQ(a->dimensions, 1);
  EXPECT_EQ(a->byteSize, static_cast<int32_t>(6 * sizeof(MVWord)));
  EXPECT_EQ(a->growthStep, 16);
  EXPECT_EQ(a->upperBounds[0], 5);
  for (int i = 0; i <= 5; i++) EXPECT_EQ(Get1(a, i), 0u);
  RuntimeUnlockArray(a);
}

TEST(Array, CheckedAccessRaisesAtBothEnds) {
  MVArray* a = CreateArray(1, kMVElemInt32, 20000);
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(a->byteSize, 20001 * 4);
  int32_t* data = static_cast<int32_t*>(a->data);
  for (int i = 0; i <= 20000; i++) ASSERT_EQ(data[i], 0);
  Set1(a, 7, 0);
  Set1(a, 9, 20000);
  EXPECT_EQ(Get1(a, 0), 7u);
  EXPECT_EQ(Get1(a, 20000), 9u);

  void* get = a->ops->slot[kMVArrayGet];
  void* set = a->ops->slot[kMVArraySet];
  MVWord arr = reinterpret_cast<MVWord>(a);
  EXPECT_TRUE(RaisesOutOfBounds(get, arr, 20001, 0));
  EXPECT_TRUE(RaisesOutOfBounds(get, arr, static_cast<uint32_t>(-1), 0));
  EXPECT_FALSE(RaisesOutOfBounds(get, arr, 20000, 0));
  // A failed set stores nothing anywhere.
  EXPECT_TRUE(RaisesOutOfBounds(set, arr, 5, 20001));
  EXPECT_TRUE(RaisesOutOfBounds(set, arr, 5, static_cast<uint32_t>(-1)));
  EXPECT_EQ(data[0], 7);
  EXPECT_EQ(data[20000], 9);
  RuntimeUnlockArray(a);
}

TEST(Array, TwoDimensionalLayout) {
  MVArray* a = CreateArray(2, kMVElemInt32, 256, 2);
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(a->byteSize, 771 * 4);
  EXPECT_EQ(UBound(a, -1), 2);
  EXPECT_EQ(UBound(a, 1), 256);
  EXPECT_EQ(UBound(a, 2), 2);
  Set2(a, 1, 0, 0);
  Set2(a, 2, 1, 0);
  Set2(a, 3, 0, 1);
  Set2(a, 4, 256, 2);
  uint32_t* data = static_cast<uint32_t*>(a->data);
  EXPECT_EQ(data[0], 1u);
  EXPECT_EQ(data[1], 2u);
  EXPECT_EQ(data[257], 3u);
  EXPECT_EQ(data[770], 4u);
  EXPECT_EQ(Get2(a, 256, 2), 4u);

  void* get = a->ops->slot[kMVArrayGet];
  MVWord arr = reinterpret_cast<MVWord>(a);
  EXPECT_TRUE(RaisesOutOfBounds(get, arr, 257, 0));
  EXPECT_TRUE(RaisesOutOfBounds(get, arr, 0, 3));
  EXPECT_TRUE(RaisesOutOfBounds(get, arr, 0, static_cast<uint32_t>(-1)));
  void* ubound = a->ops->slot[kMVArrayUBound];
  EXPECT_TRUE(RaisesOutOfBounds(ubound, arr, 0, 0));
  EXPECT_TRUE(RaisesOutOfBounds(ubound, arr, 3, 0));
  RuntimeUnlockArray(a);
}

TEST(Array, ThreeDimensions) {
  MVArray* a = CreateArray(3, kMVElemInt32, 1, 2, 3);
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(a->byteSize, 2 * 3 * 4 * 4);
  auto set = reinterpret_cast<void (*)(MVArray*, uint32_t, ...)>(a->ops->slot[kMVArraySet]);
  auto get = reinterpret_cast<uint32_t (*)(MVArray*, ...)>(a->ops->slot[kMVArrayGet]);
  set(a, 42u, 1, 2, 3);
  set(a, 5u, 1, 0, 1);
  uint32_t* data = static_cast<uint32_t*>(a->data);
  EXPECT_EQ(data[1 + 2 * 2 + 3 * 6], 42u);
  EXPECT_EQ(data[1 + 0 * 2 + 1 * 6], 5u);
  EXPECT_EQ(get(a, 1, 2, 3), 42u);
  EXPECT_EQ(UBound(a, -1), 3);
  EXPECT_EQ(UBound(a, 3), 3);
  RuntimeUnlockArray(a);
}

TEST(Array, EmptyArrayHasNoStorage) {
  MVArray* a = CreateArray(1, kMVElemInt32, -1);
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(a->data, nullptr);
  EXPECT_EQ(a->byteSize, 0);
  EXPECT_EQ(UBound(a, 1), -1);
  EXPECT_TRUE(RaisesOutOfBounds(a->ops->slot[kMVArrayGet], reinterpret_cast<MVWord>(a), 0, 0));
  RuntimeUnlockArray(a);

  MVArray* b = CreateArray(2, kMVElemString, 5, -1);
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(b->data, nullptr);
  EXPECT_TRUE(RaisesOutOfBounds(b->ops->slot[kMVArrayGet], reinterpret_cast<MVWord>(b), 0, 0));
  RuntimeUnlockArray(b);

  // An empty last dimension after dimensions whose product alone would not fit: still
  // an empty array, not the end of the process for want of memory.
  EXPECT_EXIT(
      {
        MVArray* c = CreateArray(3, kMVElemInt32, 100000, 100000, -1);
        bool empty = c && !c->data && c->byteSize == 0 && UBound(c, 1) == 100000 && UBound(c, 3) == -1;
        RuntimeUnlockArray(c);
        _exit(empty ? 7 : 8);
      },
      testing::ExitedWithCode(7), "");
}

TEST(Array, ElementSizesAndRejectedTypes) {
  const struct { int32_t type; int32_t size; } kTypes[] = {
      {0, 4}, {1, 4}, {3, static_cast<int32_t>(sizeof(MVWord))}, {4, 4}, {9, 4}, {2, 8}, {10, 8}, {11, 8}, {5, 1}, {6, 1}, {7, 2}, {8, 2}};
  for (const auto& t : kTypes) {
    MVArray* a = CreateArray(1, t.type, 9);
    ASSERT_NE(a, nullptr) << t.type;
    EXPECT_EQ(a->byteSize, 10 * t.size) << t.type;
    RuntimeUnlockArray(a);
  }
  testing::internal::CaptureStdout();
  EXPECT_EQ(CreateArray(1, 12, 3), nullptr);
  EXPECT_EQ(CreateArray(1, -1, 3), nullptr);
  EXPECT_EQ(CreateArray(0, 0), nullptr);
  std::string report = testing::internal::GetCapturedStdout();
  EXPECT_NE(report.find("Runtime Error 4:Failed Assertion"), std::string::npos);
  EXPECT_NE(report.find("../Common/RuntimeArrays: "), std::string::npos);
}

TEST(Array, NarrowAndWideElements) {
  MVArray* bytes = CreateArray(1, 6, 3);
  Set1(bytes, 0x1FF, 1);  // only the element's width is stored
  EXPECT_EQ(static_cast<uint8_t*>(bytes->data)[1], 0xFF);
  EXPECT_EQ(static_cast<uint8_t*>(bytes->data)[2], 0);
  EXPECT_EQ(Get1(bytes, 1), 0xFFu);
  RuntimeUnlockArray(bytes);

  MVArray* wide = CreateArray(1, 10, 2);
  auto set = reinterpret_cast<void (*)(MVArray*, uint64_t, int32_t)>(wide->ops->slot[kMVArraySet]);
  auto get = reinterpret_cast<uint64_t (*)(MVArray*, int32_t)>(wide->ops->slot[kMVArrayGet]);
  set(wide, UINT64_C(0x123456789ABCDEF0), 2);
  EXPECT_EQ(get(wide, 2), UINT64_C(0x123456789ABCDEF0));
  EXPECT_EQ(get(wide, 1), 0u);
  RuntimeUnlockArray(wide);
}

TEST(Array, StringElementsHoldTheirReferences) {
  MVString* s = MVStringFromCString("hello", kEncodingASCII);
  ASSERT_NE(s, nullptr);
  MVArray* a = CreateArray(1, kMVElemString, 5);
  Set1(a, W(s), 2);
  EXPECT_EQ(s->refCount, 2u);  // ours and the element's
  MVString* got = S(Get1(a, 2));
  EXPECT_EQ(got, s);
  EXPECT_EQ(s->refCount, 3u);  // the getter's result is owned
  RuntimeUnlockString(got);
  Set1(a, W(s), 2);  // storing the element's own value
  EXPECT_EQ(s->refCount, 2u);
  Set1(a, 0, 2);
  EXPECT_EQ(s->refCount, 1u);
  Set1(a, W(s), 0);
  Set1(a, W(s), 5);
  EXPECT_EQ(s->refCount, 3u);
  RuntimeLockArray(a);
  RuntimeUnlockArray(a);
  EXPECT_EQ(s->refCount, 3u);  // still one holder of the array
  RuntimeUnlockArray(a);
  EXPECT_EQ(s->refCount, 1u);  // destroying the array released both elements
  RuntimeUnlockString(s);

  // Two-dimensional string arrays release their elements too.
  MVString* t = MVStringFromCString("table", kEncodingASCII);
  MVArray* b = CreateArray(2, kMVElemString, 256, 2);
  Set2(b, W(t), 256, 2);
  Set2(b, W(t), 0, 0);
  EXPECT_EQ(t->refCount, 3u);
  RuntimeUnlockArray(b);
  EXPECT_EQ(t->refCount, 1u);
  RuntimeUnlockString(t);
}

TEST(Array, AssignmentOfArrayVariables) {
  MVArray* a = CreateArray(1, kMVElemInt32, 0);
  MVArray* b = CreateArray(1, kMVElemInt32, 0);
  RuntimeLockUnlockArrays(a, a);
  EXPECT_EQ(a->refCount, 1u);
  RuntimeLockArray(b);
  RuntimeLockUnlockArrays(a, b);
  EXPECT_EQ(a->refCount, 2u);
  EXPECT_EQ(b->refCount, 1u);
  RuntimeLockUnlockArrays(nullptr, b);  // b destroyed
  RuntimeLockArray(nullptr);
  RuntimeUnlockArray(nullptr);
  RuntimeUnlockArray(a);
  RuntimeUnlockArray(a);
}

TEST(Array, ListOperationsKeepReferencesBalanced) {
  MVString* x = MVStringFromCString("x", kEncodingASCII);
  MVString* y = MVStringFromCString("y", kEncodingASCII);
  MVArray* a = CreateArray(1, kMVElemString, 1);
  auto resize = reinterpret_cast<void (*)(MVArray*, int32_t)>(a->ops->slot[4]);
  auto insert = reinterpret_cast<void (*)(MVArray*, int32_t, MVWord)>(a->ops->slot[5]);
  auto remove = reinterpret_cast<void (*)(MVArray*, int32_t)>(a->ops->slot[6]);
  auto append = reinterpret_cast<void (*)(MVArray*, MVWord)>(a->ops->slot[7]);
  auto sort = reinterpret_cast<void (*)(MVArray*)>(a->ops->slot[8]);
  auto indexOf = reinterpret_cast<int32_t (*)(MVArray*, MVWord, int32_t)>(a->ops->slot[10]);
  Set1(a, W(y), 1);
  insert(a, 0, W(x));  // x, nil, y
  EXPECT_EQ(UBound(a, 1), 2);
  EXPECT_EQ(indexOf(a, W(y), 0), 2);
  append(a, W(x));     // x, nil, y, x
  EXPECT_EQ(x->refCount, 3u);
  sort(a);             // nil, x, x, y
  EXPECT_EQ(indexOf(a, W(x), 0), 1);
  EXPECT_EQ(indexOf(a, W(y), 0), 3);
  remove(a, 1);        // nil, x, y
  EXPECT_EQ(x->refCount, 2u);
  EXPECT_EQ(UBound(a, 1), 2);
  resize(a, 0);        // nil
  EXPECT_EQ(x->refCount, 1u);
  EXPECT_EQ(y->refCount, 1u);
  EXPECT_EQ(a->byteSize, static_cast<int32_t>(sizeof(MVWord)));
  resize(a, -1);
  EXPECT_EQ(a->data, nullptr);
  EXPECT_TRUE(RaisesOutOfBounds(a->ops->slot[6], reinterpret_cast<MVWord>(a), 0, 0));
  RuntimeUnlockArray(a);
  RuntimeUnlockString(x);
  RuntimeUnlockString(y);
}

TEST(Array, SortByCompanion) {
  MVArray* keys = CreateArray(1, kMVElemInt32, 3);
  MVArray* values = CreateArray(1, kMVElemInt32, 3);
  const int32_t k[] = {3, -1, 2, 0};
  for (int i = 0; i < 4; i++) {
    Set1(keys, static_cast<uint32_t>(k[i]), i);
    Set1(values, static_cast<uint32_t>(i), i);
  }
  reinterpret_cast<void (*)(MVArray*, MVArray*)>(keys->ops->slot[9])(keys, values);
  const int32_t sortedKeys[] = {-1, 0, 2, 3};
  const uint32_t sortedValues[] = {1, 3, 2, 0};
  for (int i = 0; i < 4; i++) {
    EXPECT_EQ(static_cast<int32_t>(Get1(keys, i)), sortedKeys[i]);
    EXPECT_EQ(Get1(values, i), sortedValues[i]);
  }
  RuntimeUnlockArray(keys);
  RuntimeUnlockArray(values);
}

}  // namespace
