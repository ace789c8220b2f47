// The code image loader: reads the six blocks from the program file's ".mv" section
// (held against its digest in ".mvsum" when the file has one) or from the six loose
// files, links and relocates the image, registers its resources and options and runs it.
// Runtime-internal (C++).
#pragma once
#include "runtime/runtime_only.h"
#include <stdint.h>
#include <stdio.h>

#include <string>

#include "runtime/core/process/exports.h"

struct MVLoadedImage {
  // i386: the code in pages of its own, the data an allocation of its own. x86-64: both in
  // one region (code at its start, data at the first page boundary after the code).
  // Writable until linked; then the code is read + execute (and the x86-64 import slots
  // read-only).
  uint8_t* region = nullptr;      // x86-64, once placed
  uint64_t regionSize = 0;
  uint8_t* code = nullptr;
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

// Where a section lies in the program file.
struct MVSectionPlace {
  bool found = false;
  uint32_t offset = 0;
  uint32_t size = 0;
};

// The sections of the program file that the loader reads.
struct MVImageSections {
  MVSectionPlace image;   // ".mv", the six blocks
  MVSectionPlace digest;  // ".mvsum", the SHA-256 digest of ".mv"; never found without it
};

// The sections ".mv" and ".mvsum" of an ELF32 (i386) or ELF64 (x86-64) little-endian file
// of `fileSize` bytes, found through its section headers (the first header of each name
// wins). True when the
// headers are sound, with what was found (either may be missing); false with *problem
// naming the fault when the ELF header, the section table, the section-name table or a
// section found does not fit the file.
bool MVFindImageSections(FILE* file, uint64_t fileSize, MVImageSections* sections,
                         std::string* problem);

// Reads the image from the ".mv" section of the file at `path`. When the file has a
// ".mvsum" section, the whole ".mv" section is read once and its SHA-256 digest compared
// with it before any block is taken from those bytes: a digest that is not 32 bytes or
// does not match is damage. kDamaged comes with *problem naming the fault (the image is
// then not to be run).
MVImageSource MVLoadImageFile(const char* path, MVLoadedImage* image, std::string* problem);
// Reads the image from "import.dat", "code.dat", "data.dat", "rsrc.dat", "options.dat"
// and "symbols.dat" of the current directory; a missing file gives an empty block. False
// with *problem set when "code.dat" is another machine's.
bool MVLoadLooseImage(MVLoadedImage* image, std::string* problem);
// Reads the machine tag (where this machine's image has one) and the six length-prefixed
// blocks from an open stream positioned at the start of the section; every count is
// bounded by the `available` bytes of the section. False with *problem set when the
// section is another machine's image, a count runs past the section or a block the image
// needs (code, data, import table) is empty.
bool MVReadImageBlocks(FILE* file, uint64_t available, uint32_t fileOffset, MVLoadedImage* image,
                       std::string* problem);
// The blocks of a loaded image released (for images that will never run).
void MVFreeImage(MVLoadedImage* image);

// A fresh anonymous mapping for a code block of `count` bytes (whole pages, at least
// one), readable and writable but not executable while the loader fills and links it
// (x86-64: until it is copied into the image's region).
uint8_t* MVAllocateCodeBlock(uint32_t count);
// The same for a data block, which stays readable and writable; MVFreeDataBlock gives
// it back. Its pages are zero until written, and so never touched where the block's
// bytes are zeros (most of a data block is the image's zero-filled storage).
uint8_t* MVAllocateDataBlock(uint32_t count);
void MVFreeDataBlock(uint8_t* data, uint32_t count);
// Moves the pages of a data block to `to` (page-aligned, as many pages free to be
// replaced): afterwards the block is there and no longer at `data`. False when the
// system refused (the block is then as it was).
bool MVMoveDataBlock(uint8_t* data, uint32_t count, uint8_t* to);
// Copies n bytes into memory that is zero already, leaving out every 4 KiB of the
// destination that would only be written with zeros.
void MVCopyNonZeroPages(uint8_t* to, const uint8_t* from, uint32_t n);
// Makes a linked code block readable and executable, no longer writable. A refusal is
// reported on standard output ("Loader failed to protect memory") and gives false.
bool MVProtectCodeBlock(uint8_t* code, uint32_t count);

// One pass over the import table: links runtime imports by name against `rows`; on i386
// relocates code, data and literal references and links shared-library imports, on x86-64
// fills the import slots and sets the literals' text pointers. A damaged record (one
// that runs past the table, a site outside the code, a slot or literal outside the data,
// a chain of sites that does not end, a record the machine's image cannot hold) is
// reported and ends the pass: the result is then false and the image must not run. Names
// that are not exported are reported but are no damage.
bool MVApplyImportTable(const uint8_t* table, uint32_t count, uint8_t* code, uint32_t codeSize,
                        uint8_t* data, uint32_t dataSize, const MVExportRow* rows,
                        uint32_t rowCount);
// Registers the options block's version record as the resource 'VERS' 0.
void MVWalkOptions(const uint8_t* options, uint32_t count);

enum class MVLinkResult { kLinked, kDamaged, kUnlinked, kNotExecutable };
// Import table, resources, options and symbols of a loaded image, against the runtime's
// export table; the code block is made read + execute (and the x86-64 import slots
// read-only) right after the import table.
// kDamaged when an import record was bad, kUnlinked when a call site names a function
// that could not be found (reported; nothing else is registered in either case), and
// kNotExecutable when the protection was refused: in all three the code cannot run.
MVLinkResult MVLinkImage(MVLoadedImage* image);

// The whole loader for the program file at `path` (may be empty): load, check, link,
// run the entry, run the shutdown list. Returns the process exit status: 0, or 1 when
// neither the section nor the loose files supply a code block, the image is damaged
// ("The code image of ... is damaged: ..." on standard output, before any of its code
// runs) or the code block cannot be made executable.
//
// What can be checked is checked: the ELF and section headers, the digest of the whole
// section when the program file has one, every block count against the section, the
// blocks the image needs, and every record of the import table, symbols, resource and
// options blocks (image_check.h). Without a digest (a program whose ".mvsum" was removed,
// the loose files), damage inside the code and data blocks, the stored plug-in or a
// record that still looks valid cannot be told from valid content: such an image is
// linked and run like any other.
int MVRunLoader(const char* path);

// Forget what linking remembered (unlinked imports, loaded libraries), for tests that
// link many tables in one process.
void MVResetLinkState();

// Where calls through an import that could not be linked end up: raises
// FunctionNotFoundException naming the function.
extern "C" uint32_t MVUnlinkedImport(void);
