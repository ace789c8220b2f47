#include "runtime/core/process/resources.h"

#include <string.h>

#include <vector>

namespace {
std::vector<MVResource>& Map() {
  static std::vector<MVResource> map;
  return map;
}

uint32_t ReadU32(const uint8_t* p) {
  uint32_t v;
  memcpy(&v, p, 4);
  return v;
}
}  // namespace

extern "C" void MVAddResource(uint32_t type, uint32_t id, const uint8_t* data, uint32_t size,
                              uint32_t fileOffset) {
  Map().push_back(MVResource{type, id, data, size, fileOffset});
}

extern "C" void MVClearResources(void) { Map().clear(); }

extern "C" uint32_t MVResourceCount(void) { return static_cast<uint32_t>(Map().size()); }

extern "C" const MVResource* MVResourceAt(uint32_t index) {
  return index < Map().size() ? &Map()[index] : nullptr;
}

extern "C" void MVRegisterResourceBlock(const uint8_t* block, uint32_t count,
                                        uint32_t blockFileOffset) {
  const uint32_t kHeader = 14;
  uint32_t pos = 0;
  while (block && count - pos >= kHeader) {
    uint32_t type = ReadU32(block + pos);
    uint16_t id;
    memcpy(&id, block + pos + 4, 2);
    uint32_t size = ReadU32(block + pos + 10);
    uint32_t dataPos = pos + kHeader;
    if (size > count - dataPos) break;  // a record running past the block is dropped
    MVAddResource(type, id, block + dataPos, size, blockFileOffset ? blockFileOffset + dataPos : 0);
    pos = dataPos + size;
  }
}
