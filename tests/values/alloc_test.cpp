#include <gtest/gtest.h>
#include <stdint.h>

#include "runtime/values/alloc.h"
#include "runtime/values/alloc_internal.h"

namespace {

TEST(Alloc, FreedBlocksAreReusedBySizeClass) {
  // 9..12 bytes are all three words: one free list.
  void* a = MVAlloc(10);
  MVFree(a, 10);
  void* b = MVAlloc(12);
  EXPECT_EQ(b, a);
  MVFree(b, 12);
  // Four words is another class and must not get the three-word block.
  void* c = MVAlloc(13);
  EXPECT_NE(c, a);
  void* d = MVAlloc(9);
  EXPECT_EQ(d, a);
  // Last in, first out.
  void* e = MVAlloc(16);
  MVFree(c, 13);
  MVFree(e, 16);
  EXPECT_EQ(MVAlloc(14), e);
  EXPECT_EQ(MVAlloc(15), c);
  MVFree(d, 9);
}

TEST(Alloc, SmallBlocksAreCarvedFromChunksAndTailsAbandoned) {
  constexpr size_t kBig = mvalloc::kLargestClassWords * mvalloc::kWordSize;  // 252
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
  void* p = MVAlloc(253);
  ASSERT_NE(p, nullptr);
  static_cast<uint8_t*>(p)[252] = 1;
  EXPECT_EQ(mvalloc::ChunksTaken(), chunks);
  EXPECT_EQ(mvalloc::ChunkBytesLeft(), left);
  MVFree(p, 253);
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
