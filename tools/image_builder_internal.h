// The image builder's parts: the shared builder (placement of the sections, the literal
// records, the entry jump, the symbols block) and, per machine, the relocations it can
// place and the import table it writes (relocate_i386.cpp, relocate_x86_64.cpp).
#pragma once
#include <stdint.h>

#include <memory>
#include <set>
#include <string>
#include <vector>

#include "tools/elf_object.h"
#include "tools/image_builder.h"

namespace mvimage {

// Offsets of a static string literal record on one machine (image_format.h).
struct LiteralLayout {
  uint32_t align, refCount, textPointer, bufferSize, length, encoding, text;
};

class Builder;

class Machine {
 public:
  virtual ~Machine() = default;
  virtual uint16_t ElfMachine() const = 0;
  virtual LiteralLayout Literals() const = 0;
  virtual uint32_t RelocationSectionType() const = 0;  // SHT_REL or SHT_RELA
  // The relocation type's name, or nullptr for one this machine does not name.
  virtual const char* RelocName(uint32_t type) const = 0;
  // Places one relocation of a section of the code block, or reports why it cannot.
  virtual void Relocate(Builder* b, const Section& target, const Relocation& r) = 0;
  // After every relocation: completes the code and data blocks and returns the import
  // table.
  virtual Bytes Finish(Builder* b) = 0;
};

std::unique_ptr<Machine> MakeI386();
std::unique_ptr<Machine> MakeX86_64();

class Builder {
 public:
  Builder(ElfObject* object, Machine* machine, const ExportNames& exports,
          std::vector<std::string>* errors)
      : obj_(*object), machine_(*machine), exports_(exports), errors_(errors) {}

  bool Build(const std::string& entry, Image* image);

  // --- For the machines.
  ElfObject& object() { return obj_; }
  Bytes& code() { return code_; }
  Bytes& data() { return data_; }
  const std::set<uint32_t>& literalStarts() const { return literalStarts_; }
  void Error(const std::string& message) { errors_->push_back(message); }
  std::string RelocText(uint32_t type) const;
  static std::string Where(const Section& s, uint64_t offset);

  // The checks every relocation passes before its type is looked at: the symbol exists,
  // the relocated section is code, the 4-byte field lies inside it and is relocated once.
  // On success *what names the relocation for messages and *site is the field's code
  // offset; otherwise the fault is reported.
  bool Claim(const Section& target, const Relocation& r, const Symbol** symbol, uint32_t* site,
             std::string* what);
  // An undefined name the image may import: storable in a record and exported by the
  // runtime (a name that is not is reported once).
  bool Importable(const std::string& what, const std::string& name);
  // The section a defined symbol lies in, when it is part of the image and the symbol
  // lies inside it; otherwise reported, and nullptr.
  const Section* Home(const std::string& what, const Symbol& symbol);

 private:
  void Place();
  void FindLiterals();
  bool FindEntry(const std::string& entry, uint32_t* offset);
  Bytes SymbolsBlock();

  ElfObject& obj_;
  Machine& machine_;
  const ExportNames& exports_;
  std::vector<std::string>* errors_;
  Bytes code_, data_;
  std::set<uint32_t> literalStarts_;  // data offsets of the literal records
  std::set<uint32_t> sites_;          // code offsets of relocated fields
  std::set<std::string> reportedMissing_;
};

uint32_t Get32(const uint8_t* p);
void Put32(uint8_t* p, uint32_t v);
void Append32(Bytes* out, uint32_t v);
uint32_t AlignUp(uint32_t v, uint64_t align);
std::string Hex(uint64_t v);

}  // namespace mvimage
