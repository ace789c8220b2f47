// The import-table and options checks and walks over a small image: the input is split
// into a code block, a data block, an import table and an options block, each preceded
// by a one-byte length (in units of 16 bytes for code and data, bytes for the others).
// A table the loader's check accepts must link without a damaged record.
#include <stdint.h>
#include <string.h>
#include <sys/mman.h>

#include <string>
#include <vector>

#include "runtime/core/process/image_check.h"
#include "runtime/core/process/loader.h"
#include "runtime/core/process/resources.h"

namespace {

int32_t Stand(void) { return 0; }

const MVExportRow kRows[] = {
    {"RuntimeInit", reinterpret_cast<void*>(&Stand), {0, 0}},
    {"StringVal", reinterpret_cast<void*>(&Stand), {0, 0}},
    {nullptr, reinterpret_cast<void*>(&Stand), {0, 0}},
    {"RuntimeConsolePrint", reinterpret_cast<void*>(&Stand), {0, 0}},
};

// The next part of the input: a length byte, then up to that many bytes.
std::vector<uint8_t> Take(const uint8_t*& p, size_t& left, uint32_t unit) {
  if (left == 0) return {};
  size_t n = size_t{*p++} * unit;
  left--;
  if (n > left) n = left;
  std::vector<uint8_t> part(p, p + n);
  p += n;
  left -= n;
  return part;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const uint8_t* p = data;
  size_t left = size;
  std::vector<uint8_t> code = Take(p, left, 16), image = Take(p, left, 16);
  std::vector<uint8_t> imports = Take(p, left, 1);
  std::vector<uint8_t> options(p, p + left);

  // The code block in pages of its own, as the loader makes it; data as a fresh block.
  uint32_t codeSize = static_cast<uint32_t>(code.size());
  uint8_t* codeBlock = MVAllocateCodeBlock(codeSize);
  if (codeSize) memcpy(codeBlock, code.data(), codeSize);
  std::vector<uint8_t> dataBlock(image);
  const uint8_t* table = imports.empty() ? nullptr : imports.data();
  std::string problem;
  bool sound = MVCheckImportTable(table, static_cast<uint32_t>(imports.size()), codeBlock,
                                  codeSize, dataBlock.empty() ? nullptr : dataBlock.data(),
                                  static_cast<uint32_t>(dataBlock.size()), &problem);
  bool linked = MVApplyImportTable(imports.empty() ? nullptr : imports.data(),
                     static_cast<uint32_t>(imports.size()), codeBlock, codeSize,
                     dataBlock.empty() ? nullptr : dataBlock.data(),
                     static_cast<uint32_t>(dataBlock.size()), kRows,
                     sizeof kRows / sizeof kRows[0]);
  if (sound && !linked) __builtin_trap();
  MVCheckOptions(options.empty() ? nullptr : options.data(), static_cast<uint32_t>(options.size()),
                 &problem);
  MVWalkOptions(options.empty() ? nullptr : options.data(), static_cast<uint32_t>(options.size()));
  // Every registered record lies inside the options block.
  for (uint32_t i = 0; i < MVResourceCount(); i++) {
    const MVResource* r = MVResourceAt(i);
    if (r->data < options.data() || r->data + r->size > options.data() + options.size())
      __builtin_trap();
  }
  MVClearResources();
  MVResetLinkState();
  munmap(codeBlock, (codeSize + 4095) / 4096 * 4096 + (codeSize == 0 ? 4096 : 0));
  return 0;
}
