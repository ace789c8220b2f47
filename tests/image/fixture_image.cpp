// A tiny code image for the builder and loader tests. It is compiled with the image
// flags, reaches the test program only through imported names, and exercises every kind
// of reference the image builder turns into an import-table record.
#include <stdint.h>

#include "app/lit.h"

extern "C" {
// Provided by the test program's own export table.
int32_t TestAdd(int32_t a, int32_t b);
int32_t TestMixedCase(int32_t v);  // exported as "testMIXEDcase"
int32_t TestTakeString(MVString* s);
int32_t TestMissing(void);         // not exported: linked to the unlinked-import routine

int32_t g_counter = 7;
int32_t g_zeros[16];

// Selected through volatile loads so that the compiler keeps the table and the pointers.
volatile int32_t g_index = 2;
}

namespace {
const int32_t kPrimes[5] = {2, 3, 5, 7, 11};

__attribute__((noinline)) int32_t Double(int32_t v) { return 2 * v; }
__attribute__((noinline)) int32_t Triple(int32_t v) { return 3 * v; }
}  // namespace

extern "C" {

// Three call sites of TestAdd (one chain), one of the mixed-case import.
int32_t MVImageEntry(void) {
  return TestAdd(1, 2) + TestAdd(10, 20) + TestAdd(100, 200) + TestMixedCase(5);
}

// An absolute import: the function's address, not a call.
__attribute__((noinline)) void* AddressOfTestAdd(void) { return reinterpret_cast<void*>(&TestAdd); }

__attribute__((noinline)) int32_t* CounterAddress(void) { return &g_counter; }

__attribute__((noinline)) int32_t Bump(void) { return ++g_counter; }

__attribute__((noinline)) int32_t ZeroSum(void) {
  int32_t sum = 0;
  for (int i = 0; i < 16; i++) sum += g_zeros[i];
  return sum;
}

__attribute__((noinline)) int32_t Prime(void) { return kPrimes[g_index]; }

// A code address stored in code: the function pointer of Double or Triple.
__attribute__((noinline)) int32_t ApplyPicked(int32_t v) {
  int32_t (*volatile pick)(int32_t) = g_index == 2 ? &Triple : &Double;
  return pick(v);
}

__attribute__((noinline)) MVString* Hello(void) { return MV_LIT("hello"); }

__attribute__((noinline)) int32_t PassLiteral(void) { return TestTakeString(MV_LIT("abc")); }

__attribute__((noinline)) int32_t CallMissing(void) { return TestMissing(); }

}  // extern "C"
