// The program file as the loader reads it: ELF header, section table, section-name
// table, the ".mv" section and its six blocks.
#include <stdint.h>
#include <stdio.h>

#include <string>

#include "runtime/core/process/loader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  FILE* file = fmemopen(const_cast<uint8_t*>(data), size, "rb");
  if (!file) return 0;
  uint64_t offset = 0, sectionSize = 0;
  std::string problem;
  if (MVFindImageSection(file, size, &offset, &sectionSize, &problem)) {
    if (uint64_t{offset} + sectionSize > size) __builtin_trap();  // a section outside the file
    MVLoadedImage image;
    if (fseeko(file, offset, SEEK_SET) == 0 &&
        MVReadImageBlocks(file, sectionSize, static_cast<uint32_t>(offset), &image, &problem)) {
      uint64_t total = uint64_t{image.codeSize} + image.dataSize + image.importsSize +
                       image.symbolsSize + image.resourcesSize + image.optionsSize + 24;
      if (total > sectionSize) __builtin_trap();  // blocks beyond their section
    }
    MVFreeImage(&image);
  }
  fclose(file);
  return 0;
}
