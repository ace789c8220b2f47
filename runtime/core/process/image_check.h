// Checking a loaded code image before anything of it is linked or run: every record of
// the import table, the symbols, resource and options blocks must lie where it claims
// to, so that linking, relocation, the plug-in host and the stack traces only ever
// touch bytes of their own block. Runtime-internal (C++).
#pragma once
#include "runtime/runtime_only.h"
#include <stdint.h>

#include <string>

#include "runtime/core/process/block_reader.h"
#include "runtime/core/process/loader.h"

// True when every record of the image is whole and in range. False with *problem naming
// the first fault found ("an import site lies outside the code block", ...), for the
// loader's damage line. Reads the blocks only; writes nothing into them.
bool MVCheckImage(const MVLoadedImage& image, std::string* problem);

// The single checks, for tests and the fuzz targets: each false with *problem set. The
// import table's check is the machine's (image_i386.cpp, image_x86_64.cpp): every field
// its records name lies in its block and is written once, and it holds only records an
// image of the machine can hold.
bool MVCheckImportTable(const uint8_t* table, uint32_t count, const uint8_t* code,
                        uint32_t codeSize, const uint8_t* data, uint32_t dataSize,
                        std::string* problem);
bool MVCheckSymbols(const uint8_t* block, uint32_t count, uint32_t codeSize,
                    std::string* problem);
bool MVCheckResources(const uint8_t* block, uint32_t count, std::string* problem);
bool MVCheckOptions(const uint8_t* block, uint32_t count, std::string* problem);

// The checks' refusal: *problem set to `text`, and false.
inline bool MVRefuse(std::string* problem, const char* text) {
  *problem = text;
  return false;
}

// Parts of the import table's check shared by the machines: a name (length byte, the
// bytes without a NUL, its 0 byte), and the static string literal at data offset `at`: a
// whole record of the data block, on a word boundary, with the layout of a runtime string
// as stored (reference count 1, text pointer 0 for the loader to set, length byte and
// terminator where the length says). Anything else would be read, or released, as a
// string it is not.
bool MVCheckImportName(MVBlockReader* table, std::string* problem);
bool MVCheckLiteralRecord(const uint8_t* data, uint32_t dataSize, uint32_t at,
                          std::string* problem);
