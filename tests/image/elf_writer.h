// Hand-made relocatable objects for the image builder tests: ELF32 i386 with REL
// relocations (the default) or ELF64 x86-64 with RELA relocations.
#pragma once
#include <elf.h>
#include <string.h>

#include <algorithm>

#include <string>
#include <vector>

class ElfWriter {
 public:
  using Bytes = std::vector<uint8_t>;

  explicit ElfWriter(bool wide = false) : wide_(wide) {
    sections_.push_back(Sec{});  // the null section
    symbols_.push_back(Sym{});
  }

  // Returns the section index.
  int Section(const std::string& name, uint32_t type, uint32_t flags, const Bytes& data,
              uint32_t align = 4) {
    Sec s;
    s.name = name;
    s.type = type;
    s.flags = flags;
    s.align = align;
    s.data = data;
    s.size = data.size();
    sections_.push_back(s);
    return static_cast<int>(sections_.size() - 1);
  }
  int Text(const Bytes& code) {
    return Section(".text", SHT_PROGBITS, SHF_ALLOC | SHF_EXECINSTR, code, 1);
  }
  int Data(const std::string& name, const Bytes& data) {
    return Section(name, SHT_PROGBITS, SHF_ALLOC | SHF_WRITE, data, wide_ ? 8 : 4);
  }

  // Returns the symbol index; section 0 makes an undefined symbol.
  int Symbol(const std::string& name, int section, uint32_t value, int type = STT_FUNC,
             int bind = STB_GLOBAL) {
    Sym s;
    s.name = AddString(&strtab_, name);
    s.value = value;
    s.info = static_cast<uint8_t>((bind << 4) | ((section ? type : STT_NOTYPE) & 0xF));
    s.section = static_cast<uint16_t>(section);
    symbols_.push_back(s);
    return static_cast<int>(symbols_.size() - 1);
  }

  // A relocation; the addend is stored in the field (REL) or in the entry (RELA).
  void Rel(int section, uint32_t offset, int symbol, uint32_t type, int64_t addend = 0) {
    rels_.push_back(R{section, offset, symbol, type, addend});
  }

  Bytes Build() const { return wide_ ? Write<Elf64_Ehdr, Elf64_Shdr>() : Write<Elf32_Ehdr, Elf32_Shdr>(); }

  static void Append(Bytes* out, const void* p, size_t n) {
    const uint8_t* b = static_cast<const uint8_t*>(p);
    out->insert(out->end(), b, b + n);
  }

 private:
  struct Sec {
    std::string name;
    uint32_t type = 0, flags = 0, link = 0, info = 0;
    uint64_t align = 0, entsize = 0, size = 0;
    Bytes data;
  };
  struct Sym {
    uint32_t name = 0;
    uint64_t value = 0;
    uint8_t info = 0;
    uint16_t section = 0;
  };
  struct R {
    int section;
    uint32_t offset;
    int symbol;
    uint32_t type;
    int64_t addend;
  };

  template <typename Ehdr, typename Shdr>
  Bytes Write() const {
    std::vector<Sec> secs = sections_;
    // Relocation sections, one per relocated section.
    std::vector<int> relocated;
    for (const R& r : rels_)
      if (std::find(relocated.begin(), relocated.end(), r.section) == relocated.end())
        relocated.push_back(r.section);
    uint32_t symtabIndex = static_cast<uint32_t>(secs.size() + relocated.size());
    for (int target : relocated) {
      Sec s;
      s.name = (wide_ ? ".rela" : ".rel") + sections_[target].name;
      s.type = wide_ ? SHT_RELA : SHT_REL;
      s.entsize = wide_ ? sizeof(Elf64_Rela) : sizeof(Elf32_Rel);
      s.link = symtabIndex;
      s.info = static_cast<uint32_t>(target);
      for (const R& r : rels_) {
        if (r.section != target) continue;
        if (wide_) {
          Elf64_Rela rel{r.offset, ELF64_R_INFO(static_cast<uint64_t>(r.symbol), r.type), r.addend};
          Append(&s.data, &rel, sizeof rel);
        } else {
          Elf32_Rel rel{r.offset, ELF32_R_INFO(r.symbol, r.type)};
          Append(&s.data, &rel, sizeof rel);
        }
      }
      s.size = s.data.size();
      secs.push_back(s);
    }
    Sec symtab;
    symtab.name = ".symtab";
    symtab.type = SHT_SYMTAB;
    symtab.entsize = wide_ ? sizeof(Elf64_Sym) : sizeof(Elf32_Sym);
    symtab.link = symtabIndex + 1;
    for (const Sym& s : symbols_) {
      if (wide_) {
        Elf64_Sym e{};
        e.st_name = s.name;
        e.st_value = s.value;
        e.st_info = s.info;
        e.st_shndx = s.section;
        Append(&symtab.data, &e, sizeof e);
      } else {
        Elf32_Sym e{};
        e.st_name = s.name;
        e.st_value = static_cast<uint32_t>(s.value);
        e.st_info = s.info;
        e.st_shndx = s.section;
        Append(&symtab.data, &e, sizeof e);
      }
    }
    symtab.size = symtab.data.size();
    secs.push_back(symtab);
    Sec strtab;
    strtab.name = ".strtab";
    strtab.type = SHT_STRTAB;
    strtab.data.assign(strtab_.begin(), strtab_.end());
    strtab.size = strtab.data.size();
    secs.push_back(strtab);
    Sec names;
    names.name = ".shstrtab";
    names.type = SHT_STRTAB;
    secs.push_back(names);
    std::string shstr(1, '\0');
    std::vector<uint32_t> nameAt;
    for (Sec& s : secs) nameAt.push_back(AddString(&shstr, s.name));
    secs.back().data.assign(shstr.begin(), shstr.end());
    secs.back().size = shstr.size();

    Bytes out(sizeof(Ehdr), 0);
    std::vector<Shdr> headers;
    for (size_t i = 0; i < secs.size(); i++) {
      const Sec& s = secs[i];
      while (out.size() % (wide_ ? 8 : 4)) out.push_back(0);
      Shdr h{};
      h.sh_name = nameAt[i];
      h.sh_type = s.type;
      h.sh_flags = s.flags;
      h.sh_offset = out.size();
      h.sh_size = s.size;
      h.sh_link = s.link;
      h.sh_info = s.info;
      h.sh_addralign = s.align;
      h.sh_entsize = s.entsize;
      if (s.type != SHT_NOBITS) out.insert(out.end(), s.data.begin(), s.data.end());
      headers.push_back(h);
    }
    while (out.size() % (wide_ ? 8 : 4)) out.push_back(0);
    Ehdr eh{};
    memcpy(eh.e_ident, ELFMAG, SELFMAG);
    eh.e_ident[EI_CLASS] = wide_ ? ELFCLASS64 : ELFCLASS32;
    eh.e_ident[EI_DATA] = ELFDATA2LSB;
    eh.e_ident[EI_VERSION] = EV_CURRENT;
    eh.e_type = ET_REL;
    eh.e_machine = wide_ ? EM_X86_64 : EM_386;
    eh.e_version = EV_CURRENT;
    eh.e_shoff = out.size();
    eh.e_ehsize = sizeof(Ehdr);
    eh.e_shentsize = sizeof(Shdr);
    eh.e_shnum = static_cast<uint16_t>(secs.size());
    eh.e_shstrndx = static_cast<uint16_t>(secs.size() - 1);
    memcpy(out.data(), &eh, sizeof eh);
    for (const Shdr& h : headers) Append(&out, &h, sizeof h);
    return out;
  }

  static uint32_t AddString(std::string* table, const std::string& s) {
    if (table->empty()) table->push_back('\0');
    uint32_t at = static_cast<uint32_t>(table->size());
    *table += s;
    table->push_back('\0');
    return at;
  }

  bool wide_;
  std::vector<Sec> sections_;
  std::vector<Sym> symbols_;
  std::vector<R> rels_;
  std::string strtab_;
};
