// Naming code addresses of the loaded code image, for exception stack traces.
#pragma once
#include "runtime/runtime_only.h"
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

// The loaded image: its code block and its symbols block (may be NULL / 0).
void MVSetImageSymbols(uintptr_t codeBase, uint32_t codeSize, const uint8_t* symbols,
                       uint32_t symbolsSize);
// Name the image function holding `address`: false when there is no symbols block or
// the address is outside the code block; otherwise the last entry whose start offset is
// strictly below the address's offset ("" and 0 when none).
bool MVNameCodeAddress(uintptr_t address, const char** name, uint32_t* distance);
bool MVIsImageCode(uintptr_t address);

#ifdef __cplusplus
}
#endif
