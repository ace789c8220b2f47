// The handler-record scan stays inside the code image: code whose last function ends
// without a recognised epilogue must not make the scan read past the block.
#include <gtest/gtest.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

#include "runtime/core/objects/objects_internal.h"
#include "runtime/core/objects/symbols.h"

TEST(HandlerScan, StopsAtTheEndOfTheImageCode) {
  const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  uint8_t* map = static_cast<uint8_t*>(
      mmap(nullptr, 2 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
  ASSERT_NE(map, MAP_FAILED);
  ASSERT_EQ(mprotect(map + page, page, PROT_NONE), 0);  // reading past the block faults
  const size_t size = 64;
  uint8_t* code = map + page - size;
  memset(code, 0x90, size);  // no epilogue, no record: only the bound ends the scan
  MVSetImageSymbols(reinterpret_cast<uintptr_t>(code), size, nullptr, 0);
  EXPECT_EQ(MVFindHandlerRecord(code + 10), nullptr);
  // A record that still fits is found.
  const uint8_t record[13] = {0xE9, 8, 0, 0, 0, 0x11, 0x04, 0, 0, 0, 0, 0, 0};
  memcpy(code + size - 13, record, sizeof record);
  EXPECT_EQ(MVFindHandlerRecord(code), code + size - 13);
  MVSetImageSymbols(0, 0, nullptr, 0);
  munmap(map, 2 * page);
}
