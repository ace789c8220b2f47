#include "runtime/core/process/image_check.h"

#include <string.h>

#include <vector>

#include "runtime/core/process/block_reader.h"
#include "runtime/core/objects/image_format.h"
#include "runtime/core/process/plugin_host.h"
#include "runtime/core/process/resources.h"

bool MVCheckImportName(MVBlockReader* t, std::string* problem) {
  static const char kTruncated[] = "the import table ends inside a record";
  if (!t->Has(1)) return MVRefuse(problem, kTruncated);
  uint8_t n = t->U8();
  if (!t->Has(uint32_t{n} + 1)) return MVRefuse(problem, "an import name runs past the import table");
  if (memchr(t->Here(), 0, n)) return MVRefuse(problem, "an import name holds a NUL byte");
  if (t->Here()[n] != 0) return MVRefuse(problem, "an import name does not end with its 0 byte");
  t->Skip(uint32_t{n} + 1);
  return true;
}

bool MVCheckLiteralRecord(const uint8_t* data, uint32_t dataSize, uint32_t at,
                          std::string* problem) {
  static_assert(MV_LITERAL_ALIGN == sizeof(void*), "a literal is aligned on a word");
  if (at % MV_LITERAL_ALIGN != 0)
    return MVRefuse(problem, sizeof(void*) == 4 ? "a string literal is not aligned on 4 bytes"
                                            : "a string literal is not aligned on 8 bytes");
  if (at > dataSize || dataSize - at < MV_LITERAL_TEXT + 2)
    return MVRefuse(problem, "a string literal lies outside the data block");
  const uint8_t* r = data + at;
  uint32_t length = MVGet32(r + MV_LITERAL_LENGTH);
  if (uint64_t{MV_LITERAL_TEXT} + 1 + length + 1 > dataSize - at)
    return MVRefuse(problem, "a string literal runs past the data block");
  uintptr_t text;
  memcpy(&text, r + MV_LITERAL_TEXT_POINTER, sizeof text);
  bool sound = MVGet32(r + MV_LITERAL_REF_COUNT) == 1 && text == 0 &&
               MVGet32(r + MV_LITERAL_BUFFER_SIZE) == length + 2 &&
               r[MV_LITERAL_TEXT] == (length < 255 ? length : 255) &&
               r[MV_LITERAL_TEXT + 1 + length] == 0;
  return sound || MVRefuse(problem, "a string literal record is malformed");
}

bool MVCheckSymbols(const uint8_t* block, uint32_t count, uint32_t codeSize,
                    std::string* problem) {
  if (!block || count == 0) return true;
  if (count < MV_SYMBOLS_COUNT_SIZE)
    return MVRefuse(problem, "the symbols block ends inside its entry count");
  uint32_t n = MVGet32(block);
  if (n > (count - MV_SYMBOLS_COUNT_SIZE) / MV_SYMBOL_ENTRY_SIZE)
    return MVRefuse(problem, "the symbols block ends inside its entries");
  const uint8_t* entries = block + MV_SYMBOLS_COUNT_SIZE;
  const uint8_t* names = entries + n * MV_SYMBOL_ENTRY_SIZE;
  uint32_t namesSize = count - MV_SYMBOLS_COUNT_SIZE - n * MV_SYMBOL_ENTRY_SIZE;
  for (uint32_t i = 0; i < n; i++) {
    if (MVGet32(entries + i * MV_SYMBOL_ENTRY_SIZE) >= codeSize)
      return MVRefuse(problem, "a symbol lies outside the code block");
    uint32_t name = MVGet32(entries + i * MV_SYMBOL_ENTRY_SIZE + 4);
    if (name >= namesSize || !memchr(names + name, 0, namesSize - name))
      return MVRefuse(problem, "a symbol's name runs past the symbols block");
  }
  return true;
}

bool MVCheckResources(const uint8_t* block, uint32_t count, std::string* problem) {
  const uint32_t kHeader = 14;
  const uint32_t kPluginType = MV_FOURCC('M', 'V', 'P', 'l');
  MVBlockReader r(block, count);
  while (!r.AtEnd()) {
    if (!r.Has(kHeader)) return MVRefuse(problem, "the resource block ends inside a record header");
    uint32_t type = r.U32();
    r.Skip(6);  // id and reserved bytes
    uint32_t size = r.U32();
    if (!r.Has(size)) return MVRefuse(problem, "a resource record runs past the resource block");
    std::string library;
    const uint8_t* bytes = nullptr;
    uint32_t n = 0;
    if (type == kPluginType && !MVParsePluginResource(r.Here(), size, &library, &bytes, &n))
      return MVRefuse(problem, "the plug-in resource is damaged");
    r.Skip(size);
  }
  return true;
}

bool MVCheckOptions(const uint8_t* block, uint32_t count, std::string* problem) {
  static const char kPast[] = "an options record runs past the options block";
  MVBlockReader r(block, count);
  while (!r.AtEnd()) {
    uint8_t opcode = r.U8();
    if (opcode == MV_OPTION_SKIP) {
      if (!r.Has(2)) return MVRefuse(problem, kPast);
      uint32_t skip = uint32_t{r.U8()} * r.U8() * 4;
      if (!r.Has(skip)) return MVRefuse(problem, kPast);
      r.Skip(skip);
    } else if (opcode == MV_OPTION_VERSION) {
      if (!r.Has(MV_VERSION_FIXED)) return MVRefuse(problem, kPast);
      r.Skip(MV_VERSION_FIXED);
      for (int i = 0; i < 3; i++) {
        if (!r.Has(1)) return MVRefuse(problem, kPast);
        uint8_t n = r.U8();
        if (!r.Has(n)) return MVRefuse(problem, kPast);
        r.Skip(n);
      }
    }  // other opcodes are reported by the walk itself, which goes on with the next byte
  }
  return true;
}

bool MVCheckImage(const MVLoadedImage& image, std::string* problem) {
  return MVCheckImportTable(image.imports, image.importsSize, image.code, image.codeSize,
                            image.data, image.dataSize, problem) &&
         MVCheckSymbols(image.symbols, image.symbolsSize, image.codeSize, problem) &&
         MVCheckResources(image.resources, image.resourcesSize, problem) &&
         MVCheckOptions(image.options, image.optionsSize, problem);
}
