// The x86-64 image: position-independent code and its data in one region, the data at
// the first page boundary after the code, so that the RIP-relative references the builder
// resolved between them hold wherever the region lies. Linking writes no code: it fills
// the import slots at the start of the data block (one 8-byte slot per runtime name,
// through which the code calls) and sets the literals' text pointers; then the code pages
// become read + execute and the slot pages read-only. No page is ever writable and
// executable at once.
#if defined(__x86_64__)
#include <errno.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "runtime/core/objects/image_format.h"
#include "runtime/core/objects/report.h"
#include "runtime/core/process/image_check.h"
#include "runtime/core/process/image_machine.h"

namespace {

uint64_t Pages(uint64_t bytes) { return (bytes + MV_PAGE_SIZE - 1) / MV_PAGE_SIZE * MV_PAGE_SIZE; }

// The bytes of whole pages the code of `codeSize` bytes takes in the region (at least
// one page), and so the data block's offset in it.
uint64_t CodePages(uint32_t codeSize) { return Pages(codeSize ? codeSize : 1); }

const char kCodeField[] = "An x86-64 image patches no code field";

// The slot pages: every slot record's slot, rounded up to whole pages.
uint64_t SlotPages(const uint8_t* table, uint32_t count) {
  MVBlockReader t(table, count);
  uint64_t end = 0;
  std::string name;
  while (!t.AtEnd()) {
    uint8_t opcode = t.U8();
    if (opcode == MV_IMPORT_RUNTIME) {
      if (!t.Has(5)) break;
      t.U8();
      uint64_t slot = t.U32();
      if (!MVReadImportName(&t, &name)) break;
      if (slot + MV_SLOT_SIZE > end) end = slot + MV_SLOT_SIZE;
    } else if (opcode == MV_IMPORT_LITERAL_RECORD) {
      if (!t.Has(4)) break;
      t.U32();
    }
  }
  return Pages(end);
}

MVImportRecord LinkSlot(MVBlockReader* t, uint8_t* data, uint32_t dataSize,
                        const MVExportRow* rows, uint32_t rowCount) {
  std::string name;
  if (!t->Has(5)) return MVImportRecord::kTruncated;
  uint8_t kind = t->U8();
  uint32_t slot = t->U32();
  if (!MVReadImportName(t, &name)) return MVImportRecord::kTruncated;
  if (kind != MV_IMPORT_KIND_SLOT) {
    MVRuntimeErrorReport(4, kMVLoaderModule, 190, "kind == slot", kCodeField);
    return MVImportRecord::kDamaged;
  }
  if (slot > dataSize || dataSize - slot < MV_SLOT_SIZE) {
    std::string text = "Slot at data offset " + std::to_string(slot) +
                       " lies outside the data block";
    MVRuntimeErrorReport(4, kMVLoaderModule, 185, "slotInData", text.c_str());
    return MVImportRecord::kDamaged;
  }
  const MVExportRow* row = MVFindExport(name.c_str(), rows, rowCount);
  void* target = row ? row->function : reinterpret_cast<void*>(&MVUnlinkedImport);
  if (!row) {
    std::string text = "Function '" + name + "' was not exported";
    MVRuntimeErrorReport(4, kMVLoaderModule, 211, "foundFunction", text.c_str());
    MVRememberUnlinked(0, name, "");
  }
  memcpy(data + slot, &target, sizeof target);
  return MVImportRecord::kDone;
}

MVImportRecord SetLiteral(MVBlockReader* t, uint8_t* data, uint32_t dataSize) {
  if (!t->Has(4)) return MVImportRecord::kTruncated;
  uint32_t at = t->U32();
  if (at > dataSize || dataSize - at < MV_LITERAL_TEXT + 2) {
    std::string text = "String literal at data offset " + std::to_string(at) +
                       " lies outside the data block";
    MVRuntimeErrorReport(4, kMVLoaderModule, 180, "literalInData", text.c_str());
    return MVImportRecord::kDamaged;
  }
  uint8_t* record = data + at;
  uintptr_t text;
  memcpy(&text, record + MV_LITERAL_TEXT_POINTER, sizeof text);
  if (text == 0) {
    text = reinterpret_cast<uintptr_t>(record + MV_LITERAL_TEXT);
    memcpy(record + MV_LITERAL_TEXT_POINTER, &text, sizeof text);
  }
  return MVImportRecord::kDone;
}

// The import table against the data block it writes: slot records first-come in slot
// order from data offset 0 (so the slot pages are exactly those the slots fill), literal
// records on whole literals after the slot pages, no field written twice, and no record
// that would patch the code.
class ImportCheck {
 public:
  ImportCheck(const uint8_t* data, uint32_t dataSize) : data_(data), dataSize_(dataSize) {}

  bool Run(const uint8_t* table, uint32_t count, std::string* problem) {
    static const char kTruncated[] = "the import table ends inside a record";
    MVBlockReader t(table, count);
    while (!t.AtEnd()) {
      uint8_t opcode = t.U8();
      bool sound = true;
      switch (opcode) {
        case MV_IMPORT_RUNTIME: {
          if (!t.Has(5)) return MVRefuse(problem, kTruncated);
          uint8_t kind = t.U8();
          uint32_t slot = t.U32();
          if (kind != MV_IMPORT_KIND_SLOT)
            return MVRefuse(problem, "a runtime import is not linked through a slot");
          if (slot != slots_ * uint64_t{MV_SLOT_SIZE})
            return MVRefuse(problem, "an import slot is not the next one of the slot pages");
          slots_++;
          sound = Field(slot, MV_SLOT_SIZE, problem) && MVCheckImportName(&t, problem);
          break;
        }
        case MV_IMPORT_LITERAL_RECORD: {
          if (!t.Has(4)) return MVRefuse(problem, kTruncated);
          uint32_t at = t.U32();
          sound = MVCheckLiteralRecord(data_, dataSize_, at, problem) &&
                  Field(at + MV_LITERAL_TEXT_POINTER, sizeof(uintptr_t), problem);
          literals_.push_back(at);
          break;
        }
        case MV_IMPORT_DATA_ADDRESS:
        case MV_IMPORT_CODE_ADDRESS:
        case MV_IMPORT_LIBRARY:
        case MV_IMPORT_LITERAL:
          return MVRefuse(problem, "an import record patches a code field, which an x86-64 image "
                               "does not have");
        default:  // padding, and the opcodes that do nothing
          break;
      }
      if (!sound) return false;
    }
    if (!Disjoint(problem)) return false;
    uint64_t slotPages = Pages(slots_ * uint64_t{MV_SLOT_SIZE});
    for (uint32_t at : literals_)
      if (at < slotPages) return MVRefuse(problem, "a string literal lies in the slot pages");
    return true;
  }

 private:
  // `size` bytes of the data block at `at`, noted as written.
  bool Field(uint64_t at, uint32_t size, std::string* problem) {
    if (at > dataSize_ || dataSize_ - at < size)
      return MVRefuse(problem, "an import slot lies outside the data block");
    fields_.push_back({at, at + size});
    return true;
  }

  // No byte of the data block is written by two records. The fields are few and the data
  // block is large (mostly zeros never touched): the fields are sorted, not the bytes
  // marked.
  bool Disjoint(std::string* problem) {
    std::sort(fields_.begin(), fields_.end());
    for (size_t i = 1; i < fields_.size(); i++)
      if (fields_[i].first < fields_[i - 1].second)
        return MVRefuse(problem, "a field of the data block is written twice");
    return true;
  }

  const uint8_t* data_;
  uint32_t dataSize_;
  std::vector<std::pair<uint64_t, uint64_t>> fields_;  // [start, end) of every field written
  uint64_t slots_ = 0;
  std::vector<uint32_t> literals_;
};

}  // namespace

bool MVCheckMachineTag(const uint8_t* head, uint64_t available, uint32_t* skip,
                       std::string* problem) {
  *skip = MV_MACHINE_TAG_SIZE;
  if (available >= MV_MACHINE_TAG_SIZE && MVGet32(head) == MV_MACHINE_TAG) {
    uint32_t machine = MVGet32(head + 4);
    if (machine == MV_MACHINE_X86_64) return true;
    *problem = "it is the image of another machine (ELF machine " + std::to_string(machine) +
               "), not of x86-64";
    return false;
  }
  *problem = "it is not an x86-64 image (it does not begin with the x86-64 machine tag)";
  return false;
}

void MVPlaceImage(MVLoadedImage* image) {
  uint64_t codePages = CodePages(image->codeSize);
  uint64_t size = codePages + Pages(image->dataSize ? image->dataSize : 1);
  void* region = mmap(nullptr, static_cast<size_t>(size), PROT_READ | PROT_WRITE,
                      MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (region == MAP_FAILED) {
    printf("Loader could not allocate %llu bytes\n", static_cast<unsigned long long>(size));
    fflush(stdout);
    exit(1);
  }
  uint8_t* code = static_cast<uint8_t*>(region);
  if (image->code) memcpy(code, image->code, image->codeSize);
  // The data block's pages move into the region as they are: most of them are zero
  // and were never touched, and stay so.
  if (image->data && !MVMoveDataBlock(image->data, image->dataSize, code + codePages)) {
    MVCopyNonZeroPages(code + codePages, image->data, image->dataSize);
    MVFreeDataBlock(image->data, image->dataSize);
  }
  if (image->code) munmap(image->code, static_cast<size_t>(CodePages(image->codeSize)));
  image->region = code;
  image->regionSize = size;
  image->code = code;
  image->data = code + codePages;
}

MVImportRecord MVApplyImportRecord(uint8_t opcode, MVBlockReader* t, uint8_t*, uint32_t,
                                   uint8_t* data, uint32_t dataSize, const MVExportRow* rows,
                                   uint32_t rowCount) {
  switch (opcode) {
    case MV_IMPORT_RUNTIME:
      return LinkSlot(t, data, dataSize, rows, rowCount);
    case MV_IMPORT_LITERAL_RECORD:
      return SetLiteral(t, data, dataSize);
    case MV_IMPORT_DATA_ADDRESS:
    case MV_IMPORT_CODE_ADDRESS:
    case MV_IMPORT_LIBRARY:
    case MV_IMPORT_LITERAL:
      MVRuntimeErrorReport(4, kMVLoaderModule, 195, "0", kCodeField);
      return MVImportRecord::kDamaged;
    default:  // MV_IMPORT_PAD, and 7-255, do nothing
      return MVImportRecord::kDone;
  }
}

bool MVCheckImportTable(const uint8_t* table, uint32_t count, const uint8_t*, uint32_t,
                        const uint8_t* data, uint32_t dataSize, std::string* problem) {
  if (!table) return true;
  return ImportCheck(data, dataSize).Run(table, count, problem);
}

bool MVSealImage(const MVLoadedImage& image) {
  if (!MVProtectCodeBlock(image.code, image.codeSize)) return false;
  uint64_t slots = SlotPages(image.imports, image.importsSize);
  if (slots > Pages(image.dataSize)) slots = Pages(image.dataSize);
  if (slots == 0 || mprotect(image.data, static_cast<size_t>(slots), PROT_READ) == 0) return true;
  printf("Loader failed to protect memory, error #%d\n", errno);
  fflush(stdout);
  return false;
}

#endif  // __x86_64__
