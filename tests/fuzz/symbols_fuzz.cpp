// The symbols block: the first 4 input bytes give the code block's size, the rest is the
// block. Names are found for addresses all over the code; a block the loader's check
// accepts names every one of its entries by a NUL-terminated name inside the block.
#include <stdint.h>
#include <string.h>

#include <string>
#include <vector>

#include "runtime/core/process/image_check.h"
#include "runtime/core/objects/symbols.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 4) return 0;
  uint32_t codeSize;
  memcpy(&codeSize, data, 4);
  codeSize %= 1 << 20;
  std::vector<uint8_t> block(data + 4, data + size);  // exactly the block
  const uint8_t* begin = block.empty() ? nullptr : block.data();
  uint32_t count = static_cast<uint32_t>(block.size());
  std::string problem;
  bool sound = MVCheckSymbols(begin, count, codeSize, &problem);
  const uintptr_t base = 0x10000;
  MVSetImageSymbols(base, codeSize, begin, count);
  for (uint32_t step = 0; step <= 16; step++) {
    const char* name = nullptr;
    uint32_t distance = 0;
    uint32_t offset = static_cast<uint32_t>(uint64_t{codeSize} * step / 16);
    if (!MVNameCodeAddress(base + offset, &name, &distance)) continue;
    if (distance > offset) __builtin_trap();
    if (sound && *name) {
      const uint8_t* n = reinterpret_cast<const uint8_t*>(name);
      if (n < begin || n >= begin + count || !memchr(n, 0, begin + count - n)) __builtin_trap();
    }
  }
  MVSetImageSymbols(0, 0, nullptr, 0);
  return 0;
}
