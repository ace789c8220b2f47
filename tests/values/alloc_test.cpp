#include <gtest/gtest.h>
#include <stdint.h>
#include <string.h>

#include "runtime/values/alloc.h"
#include "runtime/values/alloc_internal.h"

namespace {

constexpr size_t W = mvalloc::kWordSize;  // 4 bytes on i386, 8 on x86-64

TEST(Alloc, FreedBlocksAreReusedBySizeClass) {
  // 2W + 1 .. 3W bytes are all three words: one free list.
  void* a = MVAlloc(2 * W + 2);
  MVFree(a, 2 * W + 2);
  void* b = MVAlloc(3 * W);
  EXPECT_EQ(b, a);
  MVFree(b, 3 * W);
  // Four words is another class and must not get the three-word block.
  void* c = MVAlloc(3 * W + 1);
  EXPECT_NE(c, a);
  void* d = MVAlloc(2 * W + 1);
  EXPECT_EQ(d, a);
  // Last in, first out.
  void* e = MVAlloc(4 * W);
  MVFree(c, 3 * W + 1);
  MVFree(e, 4 * W);
  EXPECT_EQ(MVAlloc(3 * W + 2), e);
  EXPECT_EQ(MVAlloc(4 * W - 1), c);
  MVFree(d, 2 * W + 1);
}

// Every small block starts on a machine word (the records kept there hold pointers), and
// a freed block keeps its free-list link inside itself: freeing one block of a run
// carved one after the other leaves its neighbours as they were.
TEST(Alloc, SmallBlocksAreWholeWordsOnWordBoundaries) {
  static_assert(W == sizeof(void*), "the allocator's word is the machine's");
  uint8_t* block[64];
  for (int i = 0; i < 64; i++) {
    block[i] = static_cast<uint8_t*>(MVAlloc(1));
    EXPECT_EQ(reinterpret_cast<uintptr_t>(block[i]) % W, 0u) << i;
    memset(block[i], i, W);
  }
  for (int i = 0; i < 64; i += 2) MVFree(block[i], 1);
  for (int i = 1; i < 64; i += 2)
    for (size_t k = 0; k < W; k++) EXPECT_EQ(block[i][k], i) << i;
  for (int i = 1; i < 64; i += 2) MVFree(block[i], 1);
}

TEST(Alloc, SmallBlocksAreCarvedFromChunksAndTailsAbandoned) {
  constexpr size_t kBig = mvalloc::kLargestClassWords * W;  // 252 on i386
  // Keep taking 63-word blocks (once that class's free list has run dry they are
  // carved) until a new chunk is started: the old chunk's tail must have been too short.
  uint32_t chunks = mvalloc::ChunksTaken();
  uint8_t* first = nullptr;
  for (int i = 0; i < 200 && !first; i++) {
    size_t left = mvalloc::ChunkBytesLeft();
    void* p = MVAlloc(kBig);
    if (mvalloc::ChunksTaken() != chunks) {
      EXPECT_LT(left, kBig);
      EXPECT_EQ(mvalloc::ChunksTaken(), chunks + 1);
      EXPECT_EQ(mvalloc::ChunkBytesLeft(), mvalloc::kChunkBytes - kBig);
      first = static_cast<uint8_t*>(p);
    }
  }
  ASSERT_NE(first, nullptr);
  // Further carvings follow each other in the new chunk.
  auto* x = static_cast<uint8_t*>(MVAlloc(kBig));
  auto* y = static_cast<uint8_t*>(MVAlloc(kBig - 3));  // rounds up to 63 words
  EXPECT_EQ(x, first + kBig);
  EXPECT_EQ(y, x + kBig);
  EXPECT_EQ(mvalloc::ChunkBytesLeft(), mvalloc::kChunkBytes - 3 * kBig);
}

TEST(Alloc, LargeBlocksBypassTheChunks) {
  uint32_t chunks = mvalloc::ChunksTaken();
  size_t left = mvalloc::ChunkBytesLeft();
  constexpr size_t kLarge = mvalloc::kLargestClassWords * W + 1;
  void* p = MVAlloc(kLarge);
  ASSERT_NE(p, nullptr);
  static_cast<uint8_t*>(p)[kLarge - 1] = 1;
  EXPECT_EQ(mvalloc::ChunksTaken(), chunks);
  EXPECT_EQ(mvalloc::ChunkBytesLeft(), left);
  MVFree(p, kLarge);
  void* z = MVAlloc(0);
  EXPECT_NE(z, nullptr);
  MVFree(z, 0);
  MVFree(nullptr, 8);
}

TEST(AllocDeathTest, OutOfMemoryEndsSilentlyWithStatusZero) {
  EXPECT_EXIT(MVOutOfMemory(), testing::ExitedWithCode(0), "^$");
#ifdef __SANITIZE_ADDRESS__
  // The sanitizer's allocator warns on standard error before it answers NULL.
  EXPECT_EXIT(MVAlloc(SIZE_MAX - 64), testing::ExitedWithCode(0), "failed to allocate");
#else
  EXPECT_EXIT(MVAlloc(SIZE_MAX - 64), testing::ExitedWithCode(0), "^$");
#endif
}

}  // namespace
