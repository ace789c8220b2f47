// The code image loader: reads the six blocks from the program file's ".mv" section or
// from the six loose files, links and relocates the image, registers its resources and
// options and runs it. Runtime-internal (C++).
#pragma once
#include <stdint.h>
#include <stdio.h>

#include "runtime/core/exports.h"

struct MVLoadedImage {
  uint8_t* code = nullptr;        // pages of its own: writable until linked, then read + execute
  uint32_t codeSize = 0;
  uint8_t* data = nullptr;
  uint32_t dataSize = 0;
  uint8_t* imports = nullptr;
  uint32_t importsSize = 0;
  uint8_t* symbols = nullptr;
  uint32_t symbolsSize = 0;
  uint8_t* resources = nullptr;
  uint32_t resourcesSize = 0;
  uint32_t resourcesFileOffset = 0;  // 0 for the loose files
  uint8_t* options = nullptr;
  uint32_t optionsSize = 0;
};

enum class MVImageSource { kLoaded, kCannotOpen, kNoSection, kDamaged };

// File offset of the ".mv" section's content, found through the ELF32 section headers.
// False when the file has no such section or its headers cannot be read.
bool MVFindImageSection(FILE* file, uint32_t* offset);

// Reads the image from the ".mv" section of the file at `path`.
MVImageSource MVLoadImageFile(const char* path, MVLoadedImage* image);
// Reads the image from "import.dat", "code.dat", "data.dat", "rsrc.dat", "options.dat"
// and "symbols.dat" of the current directory; a missing file gives an empty block.
void MVLoadLooseImage(MVLoadedImage* image);
// Reads the six length-prefixed blocks from an open stream positioned at the first one.
// False when a count runs past `available` bytes (the image is damaged).
bool MVReadImageBlocks(FILE* file, uint64_t available, uint32_t fileOffset, MVLoadedImage* image);

// A fresh anonymous mapping for a code block of `count` bytes (whole pages, at least
// one), readable and writable but not executable while the loader fills and links it.
uint8_t* MVAllocateCodeBlock(uint32_t count);
// Makes a linked code block readable and executable, no longer writable. A refusal is
// reported on standard output ("Loader failed to protect memory") and gives false.
bool MVProtectCodeBlock(uint8_t* code, uint32_t count);

// One pass over the import table: links runtime imports by name against `rows`, relocates
// code, data and literal references, links shared-library imports.
void MVApplyImportTable(const uint8_t* table, uint32_t count, uint8_t* code, uint32_t codeSize,
                        uint8_t* data, uint32_t dataSize, const MVExportRow* rows,
                        uint32_t rowCount);
// Registers the options block's version record as the resource 'VERS' 0.
void MVWalkOptions(const uint8_t* options, uint32_t count);

// Import table, resources, options and symbols of a loaded image, against the runtime's
// export table; the code block is made read + execute right after the import table.
// False when that protection was refused (the code cannot run).
bool MVLinkImage(MVLoadedImage* image);

// The whole loader for the program file at `path` (may be empty): load, link, run the
// entry, run the shutdown list. Returns the process exit status: 0, or 1 when neither
// the section nor the loose files supply a code block, the section is damaged or the
// code block cannot be made executable.
int MVRunLoader(const char* path);

// Where calls through an import that could not be linked end up: raises
// FunctionNotFoundException naming the function.
extern "C" uint32_t MVUnlinkedImport(void);
