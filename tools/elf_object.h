// A read-only view of a relocatable ELF object, ELF32 i386 (REL relocations) or ELF64
// x86-64 (RELA relocations), with every field checked before use and the two classes
// read into one shape for the image builder.
#pragma once
#include <stdint.h>

#include <string>
#include <vector>

namespace mvimage {

using Bytes = std::vector<uint8_t>;

enum class Block { kNone, kCode, kData };

struct Section {
  std::string name;
  uint32_t type = 0;
  uint64_t flags = 0;
  uint64_t fileOffset = 0;
  uint64_t size = 0;
  uint64_t align = 0;
  uint64_t entrySize = 0;
  uint32_t link = 0;
  uint32_t info = 0;
  // Where the builder placed it: its block and its offset there.
  Block block = Block::kNone;
  uint32_t offset = 0;
  bool literals = false;  // the literal section
};

struct Symbol {
  std::string name;
  uint64_t value = 0;
  uint32_t section = 0;  // SHN_UNDEF, a section index, or a reserved index
  uint8_t type = 0;      // STT_*
  uint8_t bind = 0;      // STB_*
};

struct Relocation {
  uint64_t offset = 0;  // in the relocated section
  uint32_t type = 0;
  uint32_t symbol = 0;
  int64_t addend = 0;   // RELA only; REL keeps its addend in the field
};

class ElfObject {
 public:
  ElfObject(const Bytes& bytes, std::vector<std::string>* errors) : b_(bytes), errors_(errors) {}

  // Reads the headers, the sections and the symbol table. False (reported) when the
  // object is not one of the two kinds or does not fit its own file.
  bool Parse();

  uint16_t machine() const { return machine_; }  // EM_386 or EM_X86_64
  bool wide() const { return wide_; }            // ELF64
  std::vector<Section>& sections() { return sections_; }
  const std::vector<Section>& sections() const { return sections_; }
  const std::vector<Symbol>& symbols() const { return symbols_; }
  const uint8_t* At(uint64_t offset) const { return b_.data() + offset; }

  // The relocations of relocation section `index` (REL or RELA, the object's kind).
  // False (reported) when its entries are not whole.
  bool Relocations(uint32_t index, std::vector<Relocation>* out);

 private:
  bool Fail(const std::string& message);
  bool InFile(uint64_t offset, uint64_t size) const;
  bool String(const Section& table, uint64_t offset, std::string* out) const;
  template <typename Ehdr, typename Shdr>
  bool ParseSections();
  template <typename Sym>
  bool ParseSymbols(const Section& table);

  const Bytes& b_;
  std::vector<std::string>* errors_;
  uint16_t machine_ = 0;
  bool wide_ = false;
  std::vector<Section> sections_;
  std::vector<Symbol> symbols_;
};

}  // namespace mvimage
