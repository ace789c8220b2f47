// The unwinder against real machine code: handler records after call sites in the
// assembly routines of unwind_test.S, C++ frames in between, and the unhandled path.
#include <gtest/gtest.h>
#include <string.h>

#include <string>
#include <vector>

#include "runtime/core/objects/exception.h"
#include "runtime/core/objects/object.h"
#include "runtime/core/objects/objects_internal.h"
#include "runtime/core/objects/symbols.h"
#include "runtime/values/array.h"
#include "runtime/values/string.h"

extern "C" {
uint32_t NestedCatch(void (*fn)(uint32_t), uint32_t arg, MVObject** caught);
uint32_t CatchNoLocal(void (*fn)(uint32_t), uint32_t arg);
void CallWithFrame(void* frame, void (*fn)(uint32_t), uint32_t arg);
void ImageCall(void (*fn)(uint32_t), uint32_t arg);
extern const uint8_t ImageCodeStart[];
extern const uint8_t ImageCodeEnd[];
}

namespace {

#define NOINLINE __attribute__((noinline))

bool g_after[4];
int g_hookCalls = 0;
MVObject* g_hookException = nullptr;

void CountingHook(MVObject* e) {
  g_hookCalls++;
  g_hookException = e;
}

// Three C++ frames between the raise and whoever protects the call; each records that
// it finished the code after its call.
NOINLINE void Level3(uint32_t errorNumber) {
  MVRaiseNew(MVNilObjectExceptionClass(), "deep", static_cast<int32_t>(errorNumber));
  g_after[3] = true;
}
NOINLINE void Level2(uint32_t n) {
  Level3(n);
  g_after[2] = true;
}
NOINLINE void Level1(uint32_t n) {
  Level2(n);
  g_after[1] = true;
}

NOINLINE uint32_t ReturnsTwice(uint32_t a, uint32_t b) { return a * 2 + b; }
NOINLINE void ReturnsNormally(uint32_t) { g_after[0] = true; }

std::string Text(MVString* s) {
  return std::string(reinterpret_cast<const char*>(MVStringBytes(s)), MVStringLength(s));
}

MVException* AsException(MVObject* o) { return reinterpret_cast<MVException*>(o); }

class Unwind : public ::testing::Test {
 protected:
  void SetUp() override {
    memset(g_after, 0, sizeof g_after);
    g_hookCalls = 0;
    g_hookException = nullptr;
    MVSetUnhandledHook(CountingHook);
    MVSetShuttingDown(false);
    MVRuntimeExceptionClass();  // classes exist before the baseline is taken
    live_ = MVLiveObjectCount();
  }
  void TearDown() override {
    MVSetUnhandledHook(nullptr);
    MVSetShuttingDown(false);
    EXPECT_EQ(MVLiveObjectCount(), live_) << "an exception object leaked or was freed twice";
  }
  bool AllFinished() const { return g_after[1] && g_after[2] && g_after[3]; }
  uint32_t live_ = 0;
};

TEST_F(Unwind, RaiseSeveralCallsDeepLandsInProtectedCallWithLocalReference) {
  MVWord result = 1234;
  MVObject* e = MVProtectedCall(reinterpret_cast<void*>(&Level1), 42, 0, 0, &result);
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(result, 1234u) << "the result is written only on a normal return";
  EXPECT_TRUE(RuntimeObjectIsa(e, MVNilObjectExceptionClass()));
  EXPECT_EQ(AsException(e)->errorNumber, 42);
  EXPECT_EQ(Text(AsException(e)->message), "deep");
  // The creator's reference is gone; the handler's local holds the only one.
  EXPECT_EQ(e->refCount, 1u);
  EXPECT_TRUE(AllFinished());
  EXPECT_EQ(g_hookCalls, 0);
  RuntimeUnlockObject(e);
}

TEST_F(Unwind, NestedRegionAfterCallSiteIsSkipped) {
  MVObject* caught = nullptr;
  EXPECT_EQ(NestedCatch(&Level1, 7, &caught), 2u);
  ASSERT_NE(caught, nullptr);
  EXPECT_EQ(AsException(caught)->errorNumber, 7);
  EXPECT_EQ(caught->refCount, 1u);
  EXPECT_TRUE(AllFinished());
  RuntimeUnlockObject(caught);

  EXPECT_EQ(NestedCatch(&ReturnsNormally, 1, &caught), 0u);
  EXPECT_EQ(caught, nullptr);
}

TEST_F(Unwind, HandlerWithoutLocalTakesNoReference) {
  EXPECT_EQ(CatchNoLocal(&Level1, 3), 1u);
  EXPECT_TRUE(AllFinished());
  EXPECT_EQ(g_hookCalls, 0);
  // TearDown: the exception was freed when its creator let go of it.
}

TEST_F(Unwind, ProtectedCallNormalReturn) {
  MVWord result = 0;
  EXPECT_EQ(MVProtectedCall(reinterpret_cast<void*>(&ReturnsTwice), 20, 2, 9, &result), nullptr);
  EXPECT_EQ(result, 42u);
  EXPECT_EQ(MVProtectedCall(reinterpret_cast<void*>(&ReturnsTwice), 1, 1, 0, nullptr), nullptr);
}

TEST_F(Unwind, RaiseDirectlyFromProtectedFunction) {
  MVObject* e = RuntimeNewObject(MVOutOfBoundsExceptionClass());
  MVObject* caught =
      MVProtectedCall(reinterpret_cast<void*>(&RuntimeRaiseException), reinterpret_cast<MVWord>(e), 0, 0, nullptr);
  EXPECT_EQ(caught, e);
  EXPECT_EQ(e->refCount, 2u);
  RuntimeUnlockObject(caught);
  RuntimeUnlockObject(e);
  // Nil is no exception: nothing is raised.
  EXPECT_EQ(MVProtectedCall(reinterpret_cast<void*>(&RuntimeRaiseException), 0, 0, 0, nullptr), nullptr);
  EXPECT_EQ(MVProtectedCall(reinterpret_cast<void*>(&RuntimeReraiseException), 0, 0, 0, nullptr), nullptr);
  EXPECT_EQ(g_hookCalls, 0);
}

MVArray* g_stackSeen = nullptr;
bool g_afterReraise = false;

NOINLINE void CatchAndReraise(uint32_t n) {
  MVObject* e = MVProtectedCall(reinterpret_cast<void*>(&Level1), n, 0, 0, nullptr);
  g_stackSeen = e ? AsException(e)->stack : nullptr;
  RuntimeReraiseException(e);
  g_afterReraise = true;
  RuntimeUnlockObject(e);
}

TEST_F(Unwind, ReraiseReachesOuterHandlerWithoutNewTrace) {
  g_afterReraise = false;
  MVObject* e = MVProtectedCall(reinterpret_cast<void*>(&CatchAndReraise), 11, 0, 0, nullptr);
  ASSERT_NE(e, nullptr);
  EXPECT_TRUE(g_afterReraise);
  EXPECT_EQ(AsException(e)->errorNumber, 11);
  EXPECT_EQ(AsException(e)->stack, g_stackSeen);
  EXPECT_EQ(e->refCount, 1u);
  RuntimeUnlockObject(e);
}

TEST_F(Unwind, NoHandlerReachesHook) {
  Level1(5);
  EXPECT_EQ(g_hookCalls, 1);
  ASSERT_NE(g_hookException, nullptr);
  EXPECT_TRUE(AllFinished());
}

TEST_F(Unwind, CorruptFrameChainIsUnhandled) {
  // A record that links to itself, one that ends the chain with 0, one below the
  // current frames and a cycle of two: each makes the exception unhandled (and nothing
  // loops).
  uintptr_t self[2];
  self[0] = reinterpret_cast<uintptr_t>(self);
  self[1] = 0;
  CallWithFrame(self, &Level1, 1);
  EXPECT_EQ(g_hookCalls, 1);
  EXPECT_TRUE(AllFinished());

  uintptr_t end[2] = {0, 0};
  CallWithFrame(end, &Level1, 1);
  EXPECT_EQ(g_hookCalls, 2);

  static uintptr_t below[2] = {0, 0};
  CallWithFrame(below, &Level1, 1);
  EXPECT_EQ(g_hookCalls, 3);

  // A cycle of two records: the walk only ever moves outward, so it ends at the step
  // back.
  uintptr_t pair[4];
  pair[0] = reinterpret_cast<uintptr_t>(&pair[2]);
  pair[1] = 0;
  pair[2] = reinterpret_cast<uintptr_t>(&pair[0]);
  pair[3] = 0;
  CallWithFrame(pair, &Level1, 1);
  EXPECT_EQ(g_hookCalls, 4);
}

NOINLINE void BigFrame(uint32_t n) {
  volatile char pad[8192];
  pad[0] = 1;
  Level1(n);
  g_after[0] = pad[0] == 1;
}

TEST_F(Unwind, FrameStepBeyond4096BytesIsUnhandled) {
  EXPECT_EQ(MVProtectedCall(reinterpret_cast<void*>(&BigFrame), 1, 0, 0, nullptr), nullptr);
  EXPECT_EQ(g_hookCalls, 1);
  EXPECT_TRUE(g_after[0]);
}

NOINLINE void TopOfStackHere(uint32_t n) {
  MVSetStackBounds(reinterpret_cast<uintptr_t>(__builtin_frame_address(0)), MVStackLimit());
  Level1(n);
}

TEST_F(Unwind, WalkStopsAtStackTop) {
  uintptr_t top = MVStackTop(), limit = MVStackLimit();
  // The protecting frame lies above the top: the raise is unhandled.
  EXPECT_EQ(MVProtectedCall(reinterpret_cast<void*>(&TopOfStackHere), 1, 0, 0, nullptr), nullptr);
  MVSetStackBounds(top, limit);
  EXPECT_EQ(g_hookCalls, 1);
  EXPECT_TRUE(AllFinished());
}

// Symbols block: {count, {code offset, name offset}...}, then the names.
std::vector<uint8_t> SymbolsBlock(const std::vector<std::pair<uint32_t, std::string>>& entries) {
  std::vector<uint8_t> block(4 + 8 * entries.size());
  uint32_t n = static_cast<uint32_t>(entries.size());
  memcpy(block.data(), &n, 4);
  std::string names;
  for (size_t i = 0; i < entries.size(); i++) {
    uint32_t offset = entries[i].first, nameOffset = static_cast<uint32_t>(names.size());
    memcpy(&block[4 + 8 * i], &offset, 4);
    memcpy(&block[8 + 8 * i], &nameOffset, 4);
    names += entries[i].second;
    names += '\0';
  }
  block.insert(block.end(), names.begin(), names.end());
  return block;
}

TEST_F(Unwind, StackTraceNamesImageFunctions) {
  std::vector<uint8_t> symbols = SymbolsBlock({{0, ""}, {1, "App.Encrypt"}});
  MVSetImageSymbols(reinterpret_cast<uintptr_t>(ImageCodeStart),
                    static_cast<uint32_t>(ImageCodeEnd - ImageCodeStart), symbols.data(),
                    static_cast<uint32_t>(symbols.size()));
  MVObject* e = MVProtectedCall(reinterpret_cast<void*>(&ImageCall), reinterpret_cast<MVWord>(&Level1), 9, 0,
                                nullptr);
  MVSetImageSymbols(0, 0, nullptr, 0);
  ASSERT_NE(e, nullptr);
  MVArray* stack = RuntimeExceptionStack(e);
  ASSERT_NE(stack, nullptr);
  auto ubound = reinterpret_cast<MVArrayUBoundFn>(stack->ops->slot[kMVArrayUBound]);
  auto get = reinterpret_cast<MVArrayGet1>(stack->ops->slot[kMVArrayGet]);
  ASSERT_EQ(ubound(stack, 1), 0) << "only the one image frame is named";
  MVString* name = reinterpret_cast<MVString*>(get(stack, 0));
  EXPECT_EQ(Text(name), "App.Encrypt");
  RuntimeUnlockString(name);

  // Raised again from outside the image, the trace is emptied: in the same array, so a
  // holder of the old Stack sees it too.
  MVObject* again =
      MVProtectedCall(reinterpret_cast<void*>(&RuntimeRaiseException), reinterpret_cast<MVWord>(e), 0, 0, nullptr);
  EXPECT_EQ(again, e);
  EXPECT_EQ(AsException(e)->stack, stack);
  EXPECT_EQ(ubound(stack, 1), -1);
  RuntimeUnlockArray(stack);
  RuntimeUnlockObject(again);
  RuntimeUnlockObject(e);
}

// --- The handler-record scan on plain bytes.

void Record(std::vector<uint8_t>& code, uint32_t marker, int16_t local = 0) {
  uint8_t r[13] = {0xE9, 8, 0, 0, 0};
  memcpy(r + 5, &marker, 4);
  memcpy(r + 11, &local, 2);
  code.insert(code.end(), r, r + 13);
}

const uint8_t* Find(const std::vector<uint8_t>& code) { return MVFindHandlerRecord(code.data()); }

TEST(HandlerScan, EpiloguesStopTheScan) {
  for (uint8_t first : {uint8_t(0xC9), uint8_t(0x5D)}) {
    std::vector<uint8_t> code = {0x90, first, 0xC3};
    Record(code, 0x411);
    EXPECT_EQ(Find(code), nullptr);
  }
  std::vector<uint8_t> code = {0x90, 0xC9, 0x90, 0xC3};  // not a pair
  Record(code, 0x411);
  EXPECT_EQ(Find(code), code.data() + 4);
}

TEST(HandlerScan, JumpOperandsAreSkipped) {
  // E9 with an operand that holds C9 C3, EB with an operand C9 followed by C3.
  std::vector<uint8_t> code = {0xE9, 0xC9, 0xC3, 0x00, 0x00, 0x90, 0x90, 0x90, 0x90,
                               0xEB, 0xC9, 0xC3, 0x90, 0x90, 0x90, 0x90, 0x90};
  size_t at = code.size();
  Record(code, 0x411, -4);
  EXPECT_EQ(Find(code), code.data() + at);
}

TEST(HandlerScan, NestedRegionsAreSkipped) {
  std::vector<uint8_t> code;
  Record(code, 0x413);  // an end without a start changes nothing
  Record(code, 0x412);
  Record(code, 0x412);
  Record(code, 0x411);
  Record(code, 0x413);
  Record(code, 0x411);
  Record(code, 0x413);
  size_t at = code.size();
  Record(code, 0x411);
  EXPECT_EQ(Find(code), code.data() + at);
  code[at] = 0xEB;  // the short form is accepted too
  EXPECT_EQ(Find(code), code.data() + at);
}

}  // namespace
