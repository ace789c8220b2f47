/* The code image format, in one place: the blocks and their order, the import table's
 * opcodes, the static string literal record, the inline exception-handler record, the
 * symbols and options blocks. The image builder writes these bytes, the loader and the
 * unwinder read them, and the image's own code (its literals, its handler records) is
 * laid out by them.
 *
 * Plain C and preprocessor only, and nothing of the runtime's internals: the freestanding
 * image, the image builder, the runtime and the assembly of the handler records
 * (through the C preprocessor, with __ASSEMBLER__ defined) all include it. Everything
 * the assembler sees is a plain number without a C suffix. */
#ifndef MV_IMAGE_FORMAT_H
#define MV_IMAGE_FORMAT_H

/* --- Where the image lives ------------------------------------------------------------ */

/* The section of the program file that holds the six blocks. */
#define MV_IMAGE_SECTION ".mv"
/* The section that holds the SHA-256 digest of the whole ".mv" section, as the build
 * wrote it (MV_DIGEST_SIZE bytes). Optional: a program without it is checked record by
 * record only; without ".mv" it means nothing. */
#define MV_DIGEST_SECTION ".mvsum"
#define MV_DIGEST_SIZE 32

/* The six blocks, in the order the section holds them: each one a little-endian u32 byte
 * count followed by that many bytes, with no padding between blocks. An x86-64 image puts
 * its machine tag (below) before the first count. */
#define MV_BLOCK_CODE 0
#define MV_BLOCK_DATA 1
#define MV_BLOCK_IMPORTS 2
#define MV_BLOCK_SYMBOLS 3
#define MV_BLOCK_RESOURCES 4
#define MV_BLOCK_OPTIONS 5
#define MV_BLOCK_COUNT 6
#define MV_BLOCK_COUNT_SIZE 4 /* the u32 count before each block */

/* The loose files of the current directory that stand in for the section, one a block. */
#define MV_LOOSE_CODE "code.dat"
#define MV_LOOSE_DATA "data.dat"
#define MV_LOOSE_IMPORTS "import.dat"
#define MV_LOOSE_SYMBOLS "symbols.dat"
#define MV_LOOSE_RESOURCES "rsrc.dat"
#define MV_LOOSE_OPTIONS "options.dat"

/* --- The machine an image is for -----------------------------------------------------
 * An i386 image is as described above, from its first byte. An x86-64 image's section and
 * its loose code file begin with the u32 word MV_MACHINE_TAG and then the u32 ELF machine
 * number MV_MACHINE_X86_64; in the section the six blocks follow, in the loose file the
 * code. No i386 section can begin with the tag (as a code count it would run past any
 * section) and no i386 code either (it begins with the entry jump), so each loader can
 * tell the other machine's image from damage. */
#define MV_MACHINE_TAG 0xFFFFFFFF
#define MV_MACHINE_TAG_SIZE 8 /* the tag and the machine number */
#define MV_MACHINE_I386 3     /* EM_386: images without a tag */
#define MV_MACHINE_X86_64 62  /* EM_X86_64 */
#if defined(__x86_64__)
#define MV_IMAGE_MACHINE MV_MACHINE_X86_64
#else
#define MV_IMAGE_MACHINE MV_MACHINE_I386
#endif

/* --- The import table ------------------------------------------------------------------
 * Records of one opcode byte and its operands. Code offsets point at a 4-byte field of an
 * instruction in the code block. An x86-64 image patches no code field: it holds only
 * runtime imports of kind MV_IMPORT_KIND_SLOT and MV_IMPORT_LITERAL_RECORD records (the
 * image check refuses anything else there). */
#define MV_IMPORT_PAD 0          /* nothing: one byte of padding */
#define MV_IMPORT_RUNTIME 1      /* u8 kind; u32 first site; u8 n; n name bytes; 0 */
#define MV_IMPORT_DATA_ADDRESS 2 /* u32 code offset: data base added to the field */
#define MV_IMPORT_CODE_ADDRESS 3 /* u32 code offset: code base added to the field */
#define MV_IMPORT_LIBRARY 4      /* u32 first site; library and function, each as
                                    u8 n, n bytes, 0 */
#define MV_IMPORT_LITERAL 5      /* u32 code offset: a string literal's data offset */
#define MV_IMPORT_LITERAL_RECORD 6 /* x86-64: u32 data offset of a literal record whose
                                      text pointer the loader sets */
/* Opcodes 6 (in an i386 image) and 7 to 255 are one byte that does nothing. */

/* Kinds of a runtime import: what each site of its chain receives. */
#define MV_IMPORT_KIND_ABSOLUTE 0 /* the function's address */
#define MV_IMPORT_KIND_CALL 1     /* the displacement from the end of the field */
#define MV_IMPORT_KIND_SLOT 2     /* x86-64: the u32 after the kind is the data offset of
                                     the name's one 8-byte slot, which receives the
                                     function's address */
/* Sites of one import are chained: each 4-byte site holds the code offset of the next,
 * 0 ends the chain (so code offset 0, the entry, is never a site). */

/* --- The x86-64 image in memory --------------------------------------------------------
 * One region: the code block at offset 0, the data block at the first page boundary
 * after it, so the builder resolves every RIP-relative reference between them. The data
 * block opens with the import slots, MV_SLOT_SIZE bytes each from data offset 0 in the
 * order of their records (zero in the image); data proper begins at the page boundary
 * after them. A call of a runtime function is `call *slot(%rip)`, or a call of a stub
 * `jmp *slot(%rip)` (MV_STUB_SIZE bytes) that the builder adds at the end of the code.
 * Once linked, the code is read + execute and the slot pages read-only. */
#define MV_PAGE_SIZE 4096
#define MV_SLOT_SIZE 8
#define MV_STUB_SIZE 6

/* --- Static string literals ------------------------------------------------------------
 * A record of the data block in the image's literal section; it has the layout of a
 * runtime string of its machine (checked below). Offsets on i386 (4-byte aligned): */
#define MV_LITERAL_SECTION "mv_lit"
#define MV_LITERAL32_ALIGN 4
#define MV_LITERAL32_REF_COUNT 0    /* u32, stored as 1: the literal is never freed */
#define MV_LITERAL32_TEXT_POINTER 4 /* u32, stored as 0; the loader sets it to the record's
                                       address + MV_LITERAL32_TEXT */
#define MV_LITERAL32_BUFFER_SIZE 8  /* u32, length + 2 */
#define MV_LITERAL32_LENGTH 12      /* u32, the length in bytes */
#define MV_LITERAL32_ENCODING 16    /* u32, MV_LITERAL_UTF8 */
#define MV_LITERAL32_TEXT 20        /* u8 length byte (at most 255), the characters, a 0 */
/* On x86-64 (8-byte aligned): the same fields, the text pointer a u64 after 4 bytes of
 * padding. */
#define MV_LITERAL64_ALIGN 8
#define MV_LITERAL64_REF_COUNT 0
#define MV_LITERAL64_TEXT_POINTER 8 /* u64 */
#define MV_LITERAL64_BUFFER_SIZE 16
#define MV_LITERAL64_LENGTH 20
#define MV_LITERAL64_ENCODING 24
#define MV_LITERAL64_TEXT 28
#define MV_LITERAL_UTF8 0x08000100
/* This machine's literal record. */
#if defined(__x86_64__)
#define MV_LITERAL_ALIGN MV_LITERAL64_ALIGN
#define MV_LITERAL_REF_COUNT MV_LITERAL64_REF_COUNT
#define MV_LITERAL_TEXT_POINTER MV_LITERAL64_TEXT_POINTER
#define MV_LITERAL_BUFFER_SIZE MV_LITERAL64_BUFFER_SIZE
#define MV_LITERAL_LENGTH MV_LITERAL64_LENGTH
#define MV_LITERAL_ENCODING MV_LITERAL64_ENCODING
#define MV_LITERAL_TEXT MV_LITERAL64_TEXT
#else
#define MV_LITERAL_ALIGN MV_LITERAL32_ALIGN
#define MV_LITERAL_REF_COUNT MV_LITERAL32_REF_COUNT
#define MV_LITERAL_TEXT_POINTER MV_LITERAL32_TEXT_POINTER
#define MV_LITERAL_BUFFER_SIZE MV_LITERAL32_BUFFER_SIZE
#define MV_LITERAL_LENGTH MV_LITERAL32_LENGTH
#define MV_LITERAL_ENCODING MV_LITERAL32_ENCODING
#define MV_LITERAL_TEXT MV_LITERAL32_TEXT
#endif

/* --- Inline exception-handler records --------------------------------------------------
 * Placed in the code after a protected call; the unwinder finds one by scanning the code
 * after a return address. 13 bytes, then the handler's first instruction: */
#define MV_HANDLER_JUMP 0xE9       /* offset 0: a jump over the record and its handler */
#define MV_HANDLER_SHORT_JUMP 0xEB /* accepted in place of MV_HANDLER_JUMP */
#define MV_HANDLER_DISPLACEMENT 1  /* i32, the jump's displacement */
#define MV_HANDLER_MARKER 5        /* u32, one of the markers below */
#define MV_HANDLER_RESERVED 9      /* u16, 0 */
#define MV_HANDLER_LOCAL 11        /* i16, frame-pointer offset of the local that receives
                                      the exception; 0 for none */
#define MV_HANDLER_SIZE 13         /* the handler's first instruction */
#define MV_MARKER_HANDLER 0x411
#define MV_MARKER_REGION_START 0x412 /* start of a nested protected region */
#define MV_MARKER_REGION_END 0x413   /* end of one */

/* --- The symbols block -----------------------------------------------------------------
 * u32 entry count N; N entries {u32 code offset of a function's start, u32 offset of its
 * name}; the names, NUL-terminated, counted from the first byte after the entries. */
#define MV_SYMBOLS_COUNT_SIZE 4
#define MV_SYMBOL_ENTRY_SIZE 8

/* --- The options block -----------------------------------------------------------------
 * Records of one opcode byte and its operands. */
#define MV_OPTION_SKIP 1    /* u8 a; u8 b; a x b x 4 bytes, skipped */
#define MV_OPTION_VERSION 2 /* MV_VERSION_FIXED bytes, then three Pascal strings: the
                               application's version record */
#define MV_VERSION_FIXED 24

#ifndef __ASSEMBLER__
#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
#define MV_FORMAT_ASSERT(condition, text) static_assert(condition, text)
#else
#define MV_FORMAT_ASSERT(condition, text) _Static_assert(condition, text)
#endif

/* The literal record's header as a C structure; its length byte opens the text. */
typedef struct MVImageLiteral {
  uint32_t refCount;
  uintptr_t textPointer;
  uint32_t bufferSize;
  uint32_t length;
  uint32_t encoding;
  uint8_t lengthByte;
} MVImageLiteral;

MV_FORMAT_ASSERT(offsetof(MVImageLiteral, refCount) == MV_LITERAL_REF_COUNT &&
                     offsetof(MVImageLiteral, textPointer) == MV_LITERAL_TEXT_POINTER &&
                     offsetof(MVImageLiteral, bufferSize) == MV_LITERAL_BUFFER_SIZE &&
                     offsetof(MVImageLiteral, length) == MV_LITERAL_LENGTH &&
                     offsetof(MVImageLiteral, encoding) == MV_LITERAL_ENCODING &&
                     offsetof(MVImageLiteral, lengthByte) == MV_LITERAL_TEXT,
                 "the literal record's offsets");
MV_FORMAT_ASSERT(MV_LITERAL32_TEXT % MV_LITERAL32_ALIGN == 0 &&
                     MV_LITERAL64_TEXT % 4 == 0 && MV_LITERAL64_TEXT_POINTER % 8 == 0 &&
                     MV_HANDLER_LOCAL + 2 == MV_HANDLER_SIZE &&
                     MV_HANDLER_RESERVED + 2 == MV_HANDLER_LOCAL &&
                     MV_HANDLER_MARKER + 4 == MV_HANDLER_RESERVED &&
                     MV_HANDLER_DISPLACEMENT + 4 == MV_HANDLER_MARKER,
                 "the records' fields follow each other without gaps");

/* A literal is a runtime string the moment its fixup has run: the loader hands the
 * record's address to the runtime as an MVString. */
#include "runtime/values/string.h"

MV_FORMAT_ASSERT(offsetof(MVString, refCount) == MV_LITERAL_REF_COUNT &&
                     offsetof(MVString, buffer) == MV_LITERAL_TEXT_POINTER &&
                     sizeof(((MVString*)0)->buffer) == sizeof(void*) &&
                     offsetof(MVString, bufferSize) == MV_LITERAL_BUFFER_SIZE &&
                     offsetof(MVString, length) == MV_LITERAL_LENGTH &&
                     offsetof(MVString, encoding) == MV_LITERAL_ENCODING &&
                     offsetof(MVString, inlineBuf) == MV_LITERAL_TEXT,
                 "a literal record has the layout of a runtime string");
MV_FORMAT_ASSERT(kEncodingUTF8 == MV_LITERAL_UTF8, "literals are tagged UTF-8");

#endif /* !__ASSEMBLER__ */

#endif /* MV_IMAGE_FORMAT_H */
