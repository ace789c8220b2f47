// Checking a loaded code image before anything of it is linked or run: every record of
// the import table, the symbols, resource and options blocks must lie where it claims
// to, so that linking, relocation, the plug-in host and the stack traces only ever
// touch bytes of their own block. Runtime-internal (C++).
#pragma once
#include "runtime/runtime_only.h"
#include <stdint.h>

#include <string>

#include "runtime/core/process/loader.h"

// True when every record of the image is whole and in range. False with *problem naming
// the first fault found ("an import site lies outside the code block", ...), for the
// loader's damage line. Reads the blocks only; writes nothing into them.
bool MVCheckImage(const MVLoadedImage& image, std::string* problem);

// The single checks, for tests and the fuzz targets: each false with *problem set.
bool MVCheckImportTable(const uint8_t* table, uint32_t count, const uint8_t* code,
                        uint32_t codeSize, const uint8_t* data, uint32_t dataSize,
                        std::string* problem);
bool MVCheckSymbols(const uint8_t* block, uint32_t count, uint32_t codeSize,
                    std::string* problem);
bool MVCheckResources(const uint8_t* block, uint32_t count, std::string* problem);
bool MVCheckOptions(const uint8_t* block, uint32_t count, std::string* problem);
