// Hand-made ELF32 i386 relocatable objects for the image builder tests.
#pragma once
#include <elf.h>
#include <string.h>

#include <algorithm>

#include <string>
#include <vector>

class ElfWriter {
 public:
  using Bytes = std::vector<uint8_t>;

  ElfWriter() {
    sections_.push_back(Sec{});  // the null section
    symbols_.push_back(Elf32_Sym{});
  }

  // Returns the section index.
  int Section(const std::string& name, uint32_t type, uint32_t flags, const Bytes& data,
              uint32_t align = 4) {
    Sec s;
    s.name = name;
    s.h.sh_type = type;
    s.h.sh_flags = flags;
    s.h.sh_addralign = align;
    s.data = data;
    s.h.sh_size = static_cast<uint32_t>(data.size());
    sections_.push_back(s);
    return static_cast<int>(sections_.size() - 1);
  }
  int Text(const Bytes& code) {
    return Section(".text", SHT_PROGBITS, SHF_ALLOC | SHF_EXECINSTR, code, 1);
  }
  int Data(const std::string& name, const Bytes& data) {
    return Section(name, SHT_PROGBITS, SHF_ALLOC | SHF_WRITE, data);
  }

  // Returns the symbol index; section 0 makes an undefined symbol.
  int Symbol(const std::string& name, int section, uint32_t value, int type = STT_FUNC,
             int bind = STB_GLOBAL) {
    Elf32_Sym s{};
    s.st_name = AddString(&strtab_, name);
    s.st_value = value;
    s.st_info = ELF32_ST_INFO(bind, section ? type : STT_NOTYPE);
    s.st_shndx = static_cast<uint16_t>(section);
    symbols_.push_back(s);
    return static_cast<int>(symbols_.size() - 1);
  }

  void Rel(int section, uint32_t offset, int symbol, uint32_t type) {
    rels_.push_back(R{section, offset, symbol, type});
  }

  Bytes Build() const {
    std::vector<Sec> secs = sections_;
    std::string shstr(1, '\0');
    // Relocation sections, one per relocated section.
    std::vector<int> relocated;
    for (const R& r : rels_)
      if (std::find(relocated.begin(), relocated.end(), r.section) == relocated.end())
        relocated.push_back(r.section);
    int symtabIndex = static_cast<int>(secs.size() + relocated.size());
    for (int target : relocated) {
      Sec s;
      s.name = ".rel" + sections_[target].name;
      s.h.sh_type = SHT_REL;
      s.h.sh_entsize = sizeof(Elf32_Rel);
      s.h.sh_link = symtabIndex;
      s.h.sh_info = target;
      for (const R& r : rels_) {
        if (r.section != target) continue;
        Elf32_Rel rel{r.offset, ELF32_R_INFO(r.symbol, r.type)};
        Append(&s.data, &rel, sizeof rel);
      }
      s.h.sh_size = static_cast<uint32_t>(s.data.size());
      secs.push_back(s);
    }
    Sec symtab;
    symtab.name = ".symtab";
    symtab.h.sh_type = SHT_SYMTAB;
    symtab.h.sh_entsize = sizeof(Elf32_Sym);
    symtab.h.sh_link = symtabIndex + 1;
    for (const Elf32_Sym& s : symbols_) Append(&symtab.data, &s, sizeof s);
    symtab.h.sh_size = static_cast<uint32_t>(symtab.data.size());
    secs.push_back(symtab);
    Sec strtab;
    strtab.name = ".strtab";
    strtab.h.sh_type = SHT_STRTAB;
    strtab.data.assign(strtab_.begin(), strtab_.end());
    strtab.h.sh_size = static_cast<uint32_t>(strtab.data.size());
    secs.push_back(strtab);
    Sec names;
    names.name = ".shstrtab";
    names.h.sh_type = SHT_STRTAB;
    secs.push_back(names);
    for (Sec& s : secs) s.h.sh_name = AddString(&shstr, s.name);
    secs.back().data.assign(shstr.begin(), shstr.end());
    secs.back().h.sh_size = static_cast<uint32_t>(shstr.size());

    Bytes out(sizeof(Elf32_Ehdr), 0);
    for (Sec& s : secs) {
      while (out.size() % 4) out.push_back(0);
      s.h.sh_offset = static_cast<uint32_t>(out.size());
      if (s.h.sh_type != SHT_NOBITS) out.insert(out.end(), s.data.begin(), s.data.end());
    }
    while (out.size() % 4) out.push_back(0);
    Elf32_Ehdr eh{};
    memcpy(eh.e_ident, ELFMAG, SELFMAG);
    eh.e_ident[EI_CLASS] = ELFCLASS32;
    eh.e_ident[EI_DATA] = ELFDATA2LSB;
    eh.e_ident[EI_VERSION] = EV_CURRENT;
    eh.e_type = ET_REL;
    eh.e_machine = EM_386;
    eh.e_version = EV_CURRENT;
    eh.e_shoff = static_cast<uint32_t>(out.size());
    eh.e_ehsize = sizeof(Elf32_Ehdr);
    eh.e_shentsize = sizeof(Elf32_Shdr);
    eh.e_shnum = static_cast<uint16_t>(secs.size());
    eh.e_shstrndx = static_cast<uint16_t>(secs.size() - 1);
    memcpy(out.data(), &eh, sizeof eh);
    for (const Sec& s : secs) Append(&out, &s.h, sizeof s.h);
    return out;
  }

  static void Append(Bytes* out, const void* p, size_t n) {
    const uint8_t* b = static_cast<const uint8_t*>(p);
    out->insert(out->end(), b, b + n);
  }

 private:
  struct Sec {
    std::string name;
    Elf32_Shdr h{};
    Bytes data;
  };
  struct R {
    int section;
    uint32_t offset;
    int symbol;
    uint32_t type;
  };

  static uint32_t AddString(std::string* table, const std::string& s) {
    if (table->empty()) table->push_back('\0');
    uint32_t at = static_cast<uint32_t>(table->size());
    *table += s;
    table->push_back('\0');
    return at;
  }

  std::vector<Sec> sections_;
  std::vector<Elf32_Sym> symbols_;
  std::vector<R> rels_;
  std::string strtab_;
};
