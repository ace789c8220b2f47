// The machine's part of loading a code image, one file per machine (image_i386.cpp,
// image_x86_64.cpp; only the one the program is built for has content): the tag that
// opens its section and loose code file, where its blocks live in memory, what each import
// record writes, which records an image of the machine may hold (checked before
// anything is linked), and the protection once linked. The rest of the loader
// (loader.cpp, image_check.cpp) is the same for both. Runtime-internal (C++).
#pragma once
#include "runtime/runtime_only.h"
#include <stdint.h>

#include <string>

#include "runtime/core/process/block_reader.h"
#include "runtime/core/process/exports.h"
#include "runtime/core/process/loader.h"

// --- Per machine.

// The first bytes of a section or loose code file (`available` of them, at most
// MV_MACHINE_TAG_SIZE looked at): true with *skip the bytes before the first block (0 on
// i386, the tag on x86-64); false with *problem when they are another machine's tag, or
// (x86-64) not this machine's.
bool MVCheckMachineTag(const uint8_t* head, uint64_t available, uint32_t* skip,
                       std::string* problem);

// Puts the blocks read where the image runs from (x86-64: code and data copied into one
// region, the data at the first page boundary after the code). Ends the process when
// memory runs out, as reading does.
void MVPlaceImage(MVLoadedImage* image);

// Applies one import record (its opcode read) of this machine.
enum class MVImportRecord { kDone, kDamaged, kTruncated };
MVImportRecord MVApplyImportRecord(uint8_t opcode, MVBlockReader* table, uint8_t* code,
                                   uint32_t codeSize, uint8_t* data, uint32_t dataSize,
                                   const MVExportRow* rows, uint32_t rowCount);

// After linking: the code read + execute (and, x86-64, the import slots read-only). A
// refusal is reported on standard output ("Loader failed to protect memory") and gives
// false.
bool MVSealImage(const MVLoadedImage& image);

// --- Shared by the machines (loader.cpp).

extern const char kMVLoaderModule[];  // "../Common/loaderX86"

// A name of the import table: a length byte, the name and a 0 byte. False when it runs
// past the table.
bool MVReadImportName(MVBlockReader* table, std::string* out);
// Remembers an import that could not be linked: MVUnlinkedImport, which its sites call
// instead, names it. returnAddress: just after a call site, 0 for an address.
void MVRememberUnlinked(uintptr_t returnAddress, const std::string& function,
                        const std::string& library);
// A shared library by name (letter case ignored), loaded on first use by the dynamic
// linker's own search; NULL (reported) when it cannot be loaded.
void* MVLibraryHandle(const std::string& name);
