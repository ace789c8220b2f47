// The i386 image: position-dependent code in pages of its own and its data in an
// allocation of its own. Linking writes into the code: each runtime name into the chain of
// its call sites, each absolute address field relocated by the block it points into.
#if !defined(__x86_64__)
#include <stdint.h>
#include <string.h>

#include <string>
#include <vector>

#include <dlfcn.h>

#include "runtime/core/objects/image_format.h"
#include "runtime/core/objects/report.h"
#include "runtime/core/process/image_check.h"
#include "runtime/core/process/image_machine.h"

namespace {

void Put32(uint8_t* p, uint32_t v) { memcpy(p, &v, 4); }

// --- Applying the import table ------------------------------------------------------------

bool SiteInCode(uint32_t site, uint32_t codeSize) {
  if (site <= codeSize && codeSize - site >= 4) return true;
  std::string text = "Code offset " + std::to_string(site) + " lies outside the code block";
  MVRuntimeErrorReport(4, kMVLoaderModule, 170, "siteInCode", text.c_str());
  return false;
}

// Writes the target into every site of a chain; for an unlinked import (`function` set)
// it remembers the name for each site. False when the chain is damaged (reported).
bool LinkChain(uint8_t* code, uint32_t codeSize, uint32_t first, bool displacement, void* target,
               const std::string* function, const std::string* library) {
  uintptr_t base = reinterpret_cast<uintptr_t>(code);
  uintptr_t value = reinterpret_cast<uintptr_t>(target);
  // A chain visits every site at most once; a longer walk is a loop in a damaged table.
  uint32_t steps = codeSize / 4 + 1;
  uint32_t site = first;
  for (; site != 0 && steps > 0; steps--) {
    if (!SiteInCode(site, codeSize)) return false;
    uint32_t next = MVGet32(code + site);
    Put32(code + site, displacement ? static_cast<uint32_t>(value - (base + site) - 4)
                                    : static_cast<uint32_t>(value));
    if (function)
      MVRememberUnlinked(displacement ? base + site + 4 : 0, *function, library ? *library : "");
    site = next;
  }
  if (site == 0) return true;
  MVRuntimeErrorReport(4, kMVLoaderModule, 175, "chainEnds", "A chain of call sites does not end");
  return false;
}

MVImportRecord LinkRuntimeImport(MVBlockReader* t, uint8_t* code, uint32_t codeSize,
                                 const MVExportRow* rows, uint32_t rowCount) {
  std::string name;
  if (!t->Has(5)) return MVImportRecord::kTruncated;
  uint8_t kind = t->U8();
  uint32_t first = t->U32();
  if (!MVReadImportName(t, &name)) return MVImportRecord::kTruncated;
  const MVExportRow* row = MVFindExport(name.c_str(), rows, rowCount);
  bool sound;
  if (row) {
    sound = LinkChain(code, codeSize, first, kind == MV_IMPORT_KIND_CALL, row->function, nullptr,
                      nullptr);
  } else {
    std::string text = "Function '" + name + "' was not exported";
    MVRuntimeErrorReport(4, kMVLoaderModule, 211, "foundFunction", text.c_str());
    sound = LinkChain(code, codeSize, first, kind == MV_IMPORT_KIND_CALL,
                      reinterpret_cast<void*>(&MVUnlinkedImport), &name, nullptr);
  }
  return sound ? MVImportRecord::kDone : MVImportRecord::kDamaged;
}

MVImportRecord LinkLibraryImport(MVBlockReader* t, uint8_t* code, uint32_t codeSize) {
  std::string library, function;
  if (!t->Has(4)) return MVImportRecord::kTruncated;
  uint32_t first = t->U32();
  if (!MVReadImportName(t, &library) || !MVReadImportName(t, &function))
    return MVImportRecord::kTruncated;
  void* handle = MVLibraryHandle(library);
  void* entry = handle ? dlsym(handle, function.c_str()) : nullptr;
  bool sound;
  if (entry) {
    sound = LinkChain(code, codeSize, first, true, entry, nullptr, nullptr);
  } else {
    if (handle) {
      std::string text = "Could not resolve function '" + function + "' in " + library;
      MVRuntimeErrorReport(4, kMVLoaderModule, 285, "functionEntry", text.c_str());
    }
    sound = LinkChain(code, codeSize, first, true, reinterpret_cast<void*>(&MVUnlinkedImport),
                      &function, &library);
  }
  return sound ? MVImportRecord::kDone : MVImportRecord::kDamaged;
}

// Opcodes 2, 3 and 5: a base address added to a 32-bit field of the code. False when
// the record is damaged (reported).
bool Relocate(uint8_t opcode, uint32_t site, uint8_t* code, uint32_t codeSize, uint8_t* data,
              uint32_t dataSize) {
  if (!SiteInCode(site, codeSize)) return false;
  uint32_t field = MVGet32(code + site);
  if (opcode == MV_IMPORT_CODE_ADDRESS) {
    Put32(code + site, field + static_cast<uint32_t>(reinterpret_cast<uintptr_t>(code)));
    return true;
  }
  if (opcode == MV_IMPORT_DATA_ADDRESS) {
    Put32(code + site, field + static_cast<uint32_t>(reinterpret_cast<uintptr_t>(data)));
    return true;
  }
  if (field > dataSize || dataSize - field < MV_LITERAL_TEXT + 2) {
    std::string text = "String literal at data offset " + std::to_string(field) +
                       " lies outside the data block";
    MVRuntimeErrorReport(4, kMVLoaderModule, 180, "literalInData", text.c_str());
    return false;
  }
  uint8_t* record = data + field;
  Put32(code + site, static_cast<uint32_t>(reinterpret_cast<uintptr_t>(record)));
  if (MVGet32(record + MV_LITERAL_TEXT_POINTER) == 0)
    Put32(record + MV_LITERAL_TEXT_POINTER,
          static_cast<uint32_t>(reinterpret_cast<uintptr_t>(record + MV_LITERAL_TEXT)));
  return true;
}

// --- Checking the import table -------------------------------------------------------------

// The import table against the blocks it patches. Every 4-byte field it names must lie
// inside the code and be patched by one record only: a chain that comes back to a site
// of its own or of another record would otherwise read a value linking wrote as the
// next site. Because no field is patched twice, the chains read here from the stored
// code are exactly the chains linking will walk.
class ImportCheck {
 public:
  ImportCheck(const uint8_t* code, uint32_t codeSize, const uint8_t* data, uint32_t dataSize)
      : code_(code), codeSize_(codeSize), data_(data), dataSize_(dataSize), patched_(codeSize) {}

  bool Run(const uint8_t* table, uint32_t count, std::string* problem) {
    MVBlockReader t(table, count);
    while (!t.AtEnd()) {
      uint8_t opcode = t.U8();
      bool sound = true;
      switch (opcode) {
        case MV_IMPORT_RUNTIME:
          if (!t.Has(5)) return MVRefuse(problem, kTruncated);
          t.U8();  // kind: every value is a valid one
          sound = Chain(t.U32(), problem) && MVCheckImportName(&t, problem);
          break;
        case MV_IMPORT_LIBRARY:
          if (!t.Has(4)) return MVRefuse(problem, kTruncated);
          sound = Chain(t.U32(), problem) && MVCheckImportName(&t, problem) &&
                  MVCheckImportName(&t, problem);
          break;
        case MV_IMPORT_DATA_ADDRESS:
        case MV_IMPORT_CODE_ADDRESS:
        case MV_IMPORT_LITERAL:
          if (!t.Has(4)) return MVRefuse(problem, kTruncated);
          sound = Site(t.U32(), problem) &&
                  (opcode != MV_IMPORT_LITERAL || Literal(MVGet32(code_ + last_), problem));
          break;
        default:  // padding, and the opcodes that do nothing (6 included)
          break;
      }
      if (!sound) return false;
    }
    return true;
  }

 private:
  static constexpr const char* kTruncated = "the import table ends inside a record";

  // One field of the code, marked as patched.
  bool Site(uint32_t site, std::string* problem) {
    if (site > codeSize_ || codeSize_ - site < 4)
      return MVRefuse(problem, "an import site lies outside the code block");
    for (uint32_t i = site; i < site + 4; i++) {
      if (patched_[i]) return MVRefuse(problem, "an import site is patched twice");
      patched_[i] = 1;
    }
    last_ = site;
    return true;
  }

  // Every site of a chain; a chain that does not end comes back to a marked site.
  bool Chain(uint32_t site, std::string* problem) {
    while (site != 0) {
      if (!Site(site, problem)) return false;
      site = MVGet32(code_ + site);
    }
    return true;
  }

  // The static string literal a fixup refers to: a whole record of the data block, on a
  // 4-byte boundary, with the layout of a runtime string as stored. Anything else would
  // be read, or released, as a string it is not.
  bool Literal(uint32_t at, std::string* problem) {
    return MVCheckLiteralRecord(data_, dataSize_, at, problem);
  }

  const uint8_t* code_;
  uint32_t codeSize_;
  const uint8_t* data_;
  uint32_t dataSize_;
  std::vector<uint8_t> patched_;  // one flag per code byte
  uint32_t last_ = 0;             // the site Site() accepted last
};

}  // namespace

bool MVCheckMachineTag(const uint8_t* head, uint64_t available, uint32_t* skip,
                       std::string* problem) {
  *skip = 0;
  if (available < 4 || MVGet32(head) != MV_MACHINE_TAG) return true;
  *problem = available >= MV_MACHINE_TAG_SIZE
                 ? "it is the image of another machine (ELF machine " +
                       std::to_string(MVGet32(head + 4)) + "), not of i386"
                 : std::string("it is the image of another machine, not of i386");
  return false;
}

void MVPlaceImage(MVLoadedImage*) {}  // read where it runs

MVImportRecord MVApplyImportRecord(uint8_t opcode, MVBlockReader* t, uint8_t* code,
                                   uint32_t codeSize, uint8_t* data, uint32_t dataSize,
                                   const MVExportRow* rows, uint32_t rowCount) {
  switch (opcode) {
    case MV_IMPORT_RUNTIME:
      return LinkRuntimeImport(t, code, codeSize, rows, rowCount);
    case MV_IMPORT_LIBRARY:
      return LinkLibraryImport(t, code, codeSize);
    case MV_IMPORT_DATA_ADDRESS:
    case MV_IMPORT_CODE_ADDRESS:
    case MV_IMPORT_LITERAL:
      if (!t->Has(4)) return MVImportRecord::kTruncated;
      return Relocate(opcode, t->U32(), code, codeSize, data, dataSize) ? MVImportRecord::kDone
                                                                       : MVImportRecord::kDamaged;
    default:  // MV_IMPORT_PAD, and 6-255, do nothing
      return MVImportRecord::kDone;
  }
}

bool MVCheckImportTable(const uint8_t* table, uint32_t count, const uint8_t* code,
                        uint32_t codeSize, const uint8_t* data, uint32_t dataSize,
                        std::string* problem) {
  if (!table) return true;
  return ImportCheck(code, codeSize, data, dataSize).Run(table, count, problem);
}

bool MVSealImage(const MVLoadedImage& image) {
  return MVProtectCodeBlock(image.code, image.codeSize);
}

#endif  // !__x86_64__
