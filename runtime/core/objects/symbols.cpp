#include "runtime/core/objects/symbols.h"

#include <string.h>

#include <vector>

#include "runtime/core/objects/image_format.h"

namespace {

struct Symbol {
  uint32_t offset;
  const char* name;
};

struct Image {
  uintptr_t codeBase = 0;
  uint32_t codeSize = 0;
  const uint8_t* block = nullptr;
  uint32_t size = 0;
  bool built = false;
  std::vector<Symbol> table;
};

Image g_image;

uint32_t ReadU32(const uint8_t* p) {
  uint32_t v;
  memcpy(&v, p, 4);
  return v;
}

// Entries {u32 code offset, u32 name offset}; names NUL-terminated, their offsets counted
// from the first byte after the entries. Entries that point outside the block are dropped.
void BuildTable() {
  g_image.built = true;
  const uint32_t head = MV_SYMBOLS_COUNT_SIZE, entry = MV_SYMBOL_ENTRY_SIZE;
  if (!g_image.block || g_image.size < head) return;
  uint32_t n = ReadU32(g_image.block);
  if (n > (g_image.size - head) / entry) return;
  const uint8_t* names = g_image.block + head + entry * n;
  uint32_t namesSize = g_image.size - head - entry * n;
  for (uint32_t i = 0; i < n; i++) {
    uint32_t offset = ReadU32(g_image.block + head + entry * i);
    uint32_t nameOffset = ReadU32(g_image.block + head + entry * i + 4);
    if (nameOffset >= namesSize || !memchr(names + nameOffset, 0, namesSize - nameOffset)) continue;
    g_image.table.push_back(Symbol{offset, reinterpret_cast<const char*>(names + nameOffset)});
  }
}

}  // namespace

extern "C" void MVSetImageSymbols(uintptr_t codeBase, uint32_t codeSize, const uint8_t* symbols,
                                  uint32_t symbolsSize) {
  g_image = Image();
  g_image.codeBase = codeBase;
  g_image.codeSize = codeSize;
  g_image.block = symbols;
  g_image.size = symbolsSize;
}

extern "C" bool MVIsImageCode(uintptr_t address) {
  return address >= g_image.codeBase && address - g_image.codeBase < g_image.codeSize;
}

extern "C" bool MVNameCodeAddress(uintptr_t address, const char** name, uint32_t* distance) {
  if (!g_image.block || !MVIsImageCode(address)) return false;
  if (!g_image.built) BuildTable();
  uint32_t offset = static_cast<uint32_t>(address - g_image.codeBase);
  const Symbol* found = nullptr;
  for (const Symbol& s : g_image.table)
    if (s.offset < offset) found = &s;
  *name = found ? found->name : "";
  *distance = found ? offset - found->offset : 0;
  return true;
}
