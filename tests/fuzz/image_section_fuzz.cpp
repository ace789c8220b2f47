// The program file as the loader reads it: ELF header, section table, section-name
// table, the ".mv" and ".mvsum" sections and the six blocks.
#include <stdint.h>
#include <stdio.h>

#include <string>

#include "runtime/core/process/loader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  FILE* file = fmemopen(const_cast<uint8_t*>(data), size, "rb");
  if (!file) return 0;
  MVImageSections sections;
  std::string problem;
  if (MVFindImageSections(file, size, &sections, &problem) && sections.image.found) {
    for (const MVSectionPlace* place : {&sections.image, &sections.digest})
      if (place->found && uint64_t{place->offset} + place->size > size)
        __builtin_trap();  // a section outside the file
    const MVSectionPlace& mv = sections.image;
    MVLoadedImage image;
    if (fseeko(file, mv.offset, SEEK_SET) == 0 &&
        MVReadImageBlocks(file, mv.size, mv.offset, &image, &problem)) {
      uint64_t total = uint64_t{image.codeSize} + image.dataSize + image.importsSize +
                       image.symbolsSize + image.resourcesSize + image.optionsSize + 24;
      if (total > mv.size) __builtin_trap();  // blocks beyond their section
    }
    MVFreeImage(&image);
  }
  fclose(file);
  return 0;
}
