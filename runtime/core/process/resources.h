// The resource map: resources of the code image's resource block and the options
// block's version record.
#pragma once
#include "runtime/runtime_only.h"
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct MVResource {
  uint32_t type;        // four-character code, e.g. 'MVPl' = 0x4D56506C
  uint32_t id;
  const uint8_t* data;
  uint32_t size;
  uint32_t fileOffset;  // offset of the data in the program file, or 0
} MVResource;

#define MV_FOURCC(a, b, c, d) \
  ((uint32_t)(a) << 24 | (uint32_t)(b) << 16 | (uint32_t)(c) << 8 | (uint32_t)(d))

void MVAddResource(uint32_t type, uint32_t id, const uint8_t* data, uint32_t size,
                   uint32_t fileOffset);
uint32_t MVResourceCount(void);
const MVResource* MVResourceAt(uint32_t index);
// Register every record of a resource block (type u32, id u16, 4 reserved, size u32,
// data) in order; blockFileOffset is the file offset of the block's first byte (0: none).
void MVRegisterResourceBlock(const uint8_t* block, uint32_t count, uint32_t blockFileOffset);
// Empty the map (for tests that register many blocks in one process).
void MVClearResources(void);

#ifdef __cplusplus
}
#endif
