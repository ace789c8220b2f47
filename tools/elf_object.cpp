#include "tools/elf_object.h"

#include <elf.h>
#include <string.h>

namespace mvimage {

namespace {

template <typename T>
T Read(const uint8_t* p) {
  T v;
  memcpy(&v, p, sizeof v);
  return v;
}

// The two classes' symbol fields, read the same way.
uint8_t SymType(const Elf32_Sym& s) { return ELF32_ST_TYPE(s.st_info); }
uint8_t SymType(const Elf64_Sym& s) { return ELF64_ST_TYPE(s.st_info); }
uint8_t SymBind(const Elf32_Sym& s) { return ELF32_ST_BIND(s.st_info); }
uint8_t SymBind(const Elf64_Sym& s) { return ELF64_ST_BIND(s.st_info); }

}  // namespace

bool ElfObject::Fail(const std::string& message) {
  errors_->push_back(message);
  return false;
}

bool ElfObject::InFile(uint64_t offset, uint64_t size) const {
  return offset <= b_.size() && size <= b_.size() - offset;
}

bool ElfObject::String(const Section& table, uint64_t offset, std::string* out) const {
  if (table.type == SHT_NOBITS || offset >= table.size) return false;
  const char* start = reinterpret_cast<const char*>(b_.data() + table.fileOffset + offset);
  const void* end = memchr(start, 0, table.size - offset);
  if (!end) return false;
  out->assign(start, static_cast<const char*>(end));
  return true;
}

bool ElfObject::Parse() {
  if (b_.size() < EI_NIDENT) return Fail("input is too short for an ELF header");
  if (memcmp(b_.data(), ELFMAG, SELFMAG) != 0) return Fail("input is not an ELF file");
  uint8_t cls = b_[EI_CLASS];
  if (cls != ELFCLASS32 && cls != ELFCLASS64) return Fail("input is not a 32-bit or 64-bit ELF file");
  wide_ = cls == ELFCLASS64;
  return wide_ ? ParseSections<Elf64_Ehdr, Elf64_Shdr>() : ParseSections<Elf32_Ehdr, Elf32_Shdr>();
}

template <typename Ehdr, typename Shdr>
bool ElfObject::ParseSections() {
  if (b_.size() < sizeof(Ehdr)) return Fail("input is too short for an ELF header");
  Ehdr eh = Read<Ehdr>(b_.data());
  if (eh.e_ident[EI_DATA] != ELFDATA2LSB) return Fail("input is not little-endian");
  if (eh.e_type != ET_REL) return Fail("input is not a relocatable object (ld -r)");
  machine_ = eh.e_machine;
  if (!wide_ && machine_ != EM_386) return Fail("input is a 32-bit ELF file but not an i386 object");
  if (wide_ && machine_ != EM_X86_64)
    return Fail("input is a 64-bit ELF file but not an x86-64 object");
  if (eh.e_shentsize != sizeof(Shdr))
    return Fail("section header size " + std::to_string(eh.e_shentsize) + " is not " +
                std::to_string(sizeof(Shdr)));
  if (eh.e_shnum == 0) return Fail("input has no section headers");
  if (!InFile(eh.e_shoff, uint64_t{eh.e_shnum} * sizeof(Shdr)))
    return Fail("section header table lies outside the file");
  if (eh.e_shstrndx >= eh.e_shnum) return Fail("section name table index is out of range");
  sections_.resize(eh.e_shnum);
  for (uint32_t i = 0; i < eh.e_shnum; i++) {
    Shdr h = Read<Shdr>(b_.data() + eh.e_shoff + uint64_t{i} * sizeof(Shdr));
    Section& s = sections_[i];
    s.type = h.sh_type;
    s.flags = h.sh_flags;
    s.fileOffset = h.sh_offset;
    s.size = h.sh_size;
    s.align = h.sh_addralign;
    s.entrySize = h.sh_entsize;
    s.link = h.sh_link;
    s.info = h.sh_info;
    if (s.type != SHT_NOBITS && s.type != SHT_NULL && !InFile(s.fileOffset, s.size))
      return Fail("section " + std::to_string(i) + " lies outside the file");
  }
  const Section& names = sections_[eh.e_shstrndx];
  if (names.type != SHT_STRTAB) return Fail("section name table is not a string table");
  for (uint32_t i = 0; i < eh.e_shnum; i++) {
    Shdr h = Read<Shdr>(b_.data() + eh.e_shoff + uint64_t{i} * sizeof(Shdr));
    if (!String(names, h.sh_name, &sections_[i].name)) return Fail("bad section name offset");
  }
  uint32_t symtab = 0;
  for (uint32_t i = 0; i < sections_.size(); i++) {
    if (sections_[i].type != SHT_SYMTAB) continue;
    if (symtab) return Fail("input has more than one symbol table");
    symtab = i;
  }
  if (!symtab) return Fail("input has no symbol table");
  return wide_ ? ParseSymbols<Elf64_Sym>(sections_[symtab])
               : ParseSymbols<Elf32_Sym>(sections_[symtab]);
}

template <typename Sym>
bool ElfObject::ParseSymbols(const Section& h) {
  if (h.entrySize != sizeof(Sym) || h.size % sizeof(Sym) != 0)
    return Fail("symbol table entries are not " + std::to_string(sizeof(Sym)) + " bytes");
  if (h.link == 0 || h.link >= sections_.size() || sections_[h.link].type != SHT_STRTAB)
    return Fail("symbol table has no string table");
  const Section& strings = sections_[h.link];
  symbols_.resize(h.size / sizeof(Sym));
  for (size_t i = 0; i < symbols_.size(); i++) {
    Sym raw = Read<Sym>(b_.data() + h.fileOffset + i * sizeof(Sym));
    Symbol& s = symbols_[i];
    s.value = raw.st_value;
    s.section = raw.st_shndx;
    s.type = SymType(raw);
    s.bind = SymBind(raw);
    if (s.type == STT_SECTION && s.section < sections_.size()) {
      s.name = sections_[s.section].name;
    } else if (!String(strings, raw.st_name, &s.name)) {
      s.name = "?";
    }
    if (s.section != SHN_UNDEF && s.section < SHN_LORESERVE && s.section >= sections_.size())
      return Fail("symbol '" + s.name + "' names a section that does not exist");
  }
  return true;
}

bool ElfObject::Relocations(uint32_t index, std::vector<Relocation>* out) {
  const Section& rel = sections_[index];
  size_t entry = wide_ ? sizeof(Elf64_Rela) : sizeof(Elf32_Rel);
  if (rel.entrySize != entry || rel.size % entry)
    return Fail("section " + rel.name + ": relocation entries are not " + std::to_string(entry) +
                " bytes");
  out->clear();
  for (uint64_t at = 0; at < rel.size; at += entry) {
    const uint8_t* p = b_.data() + rel.fileOffset + at;
    Relocation r;
    if (wide_) {
      Elf64_Rela e = Read<Elf64_Rela>(p);
      r.offset = e.r_offset;
      r.type = static_cast<uint32_t>(ELF64_R_TYPE(e.r_info));
      r.symbol = static_cast<uint32_t>(ELF64_R_SYM(e.r_info));
      r.addend = e.r_addend;
    } else {
      Elf32_Rel e = Read<Elf32_Rel>(p);
      r.offset = e.r_offset;
      r.type = ELF32_R_TYPE(e.r_info);
      r.symbol = ELF32_R_SYM(e.r_info);
    }
    out->push_back(r);
  }
  return true;
}

}  // namespace mvimage
