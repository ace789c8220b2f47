#include "tools/image_builder.h"

#include <cxxabi.h>
#include <elf.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <map>
#include <utility>

#include "runtime/core/objects/image_format.h"

namespace mvimage {

namespace {

constexpr uint32_t kEntryJumpSize = 5;
// Sections beyond this size are refused (a damaged header would otherwise make the
// builder allocate gigabytes of zeros).
constexpr uint32_t kMaxSection = 256u << 20;

std::string Lower(const std::string& s) {
  std::string out(s);
  for (char& c : out)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return out;
}

// The readable form of a C++ symbol name; other names unchanged.
std::string Demangled(const std::string& name) {
  if (name.compare(0, 2, "_Z") != 0) return name;
  int status = 0;
  char* text = abi::__cxa_demangle(name.c_str(), nullptr, nullptr, &status);
  std::string out = status == 0 && text ? std::string(text) : name;
  free(text);
  return out;
}

std::string Hex(uint32_t v) {
  char buf[16];
  snprintf(buf, sizeof buf, "0x%x", v);
  return buf;
}

uint32_t Get32(const uint8_t* p) {
  uint32_t v;
  memcpy(&v, p, 4);
  return v;
}

void Put32(uint8_t* p, uint32_t v) { memcpy(p, &v, 4); }

void Append32(Bytes* out, uint32_t v) {
  uint8_t b[4];
  Put32(b, v);
  out->insert(out->end(), b, b + 4);
}

uint32_t AlignUp(uint32_t v, uint32_t align) {
  if (align <= 1) return v;
  return (v + align - 1) / align * align;
}

const char* RelocName(uint32_t type) {
  switch (type) {
    case R_386_NONE: return "R_386_NONE";
    case R_386_32: return "R_386_32";
    case R_386_PC32: return "R_386_PC32";
    case R_386_GOT32: return "R_386_GOT32";
    case R_386_PLT32: return "R_386_PLT32";
    case R_386_GOTOFF: return "R_386_GOTOFF";
    case R_386_GOTPC: return "R_386_GOTPC";
    case R_386_16: return "R_386_16";
    case R_386_PC16: return "R_386_PC16";
    case R_386_8: return "R_386_8";
    case R_386_PC8: return "R_386_PC8";
    case R_386_TLS_LE: return "R_386_TLS_LE";
    case R_386_TLS_LE_32: return "R_386_TLS_LE_32";
    case R_386_GOT32X: return "R_386_GOT32X";
    default: return nullptr;
  }
}

std::string RelocText(uint32_t type) {
  const char* name = RelocName(type);
  return name ? std::string(name) : "relocation type " + std::to_string(type);
}

enum class Block { kNone, kCode, kData };

struct Section {
  std::string name;
  Elf32_Shdr header;
  Block block = Block::kNone;
  uint32_t offset = 0;      // within its block
  bool literals = false;    // an mv_lit section
};

// A read-only view of the ELF object that checks every field before use.
class Object {
 public:
  Object(const Bytes& bytes, std::vector<std::string>* errors) : b_(bytes), errors_(errors) {}

  bool Parse() {
    if (b_.size() < sizeof(Elf32_Ehdr)) return Fail("input is too short for an ELF header");
    memcpy(&eh_, b_.data(), sizeof eh_);
    if (memcmp(eh_.e_ident, ELFMAG, SELFMAG) != 0) return Fail("input is not an ELF file");
    if (eh_.e_ident[EI_CLASS] != ELFCLASS32) return Fail("input is not a 32-bit ELF file");
    if (eh_.e_ident[EI_DATA] != ELFDATA2LSB) return Fail("input is not little-endian");
    if (eh_.e_type != ET_REL) return Fail("input is not a relocatable object (ld -r)");
    if (eh_.e_machine != EM_386) return Fail("input is not an i386 object");
    if (eh_.e_shentsize != sizeof(Elf32_Shdr))
      return Fail("section header size " + std::to_string(eh_.e_shentsize) + " is not 40");
    if (eh_.e_shnum == 0) return Fail("input has no section headers");
    if (!InFile(eh_.e_shoff, uint64_t{eh_.e_shnum} * sizeof(Elf32_Shdr)))
      return Fail("section header table lies outside the file");
    if (eh_.e_shstrndx >= eh_.e_shnum) return Fail("section name table index is out of range");
    sections_.resize(eh_.e_shnum);
    for (uint32_t i = 0; i < eh_.e_shnum; i++)
      memcpy(&sections_[i].header, b_.data() + eh_.e_shoff + i * sizeof(Elf32_Shdr),
             sizeof(Elf32_Shdr));
    for (uint32_t i = 0; i < eh_.e_shnum; i++) {
      const Elf32_Shdr& h = sections_[i].header;
      if (h.sh_type != SHT_NOBITS && h.sh_type != SHT_NULL && !InFile(h.sh_offset, h.sh_size))
        return Fail("section " + std::to_string(i) + " lies outside the file");
    }
    const Elf32_Shdr& names = sections_[eh_.e_shstrndx].header;
    if (names.sh_type != SHT_STRTAB) return Fail("section name table is not a string table");
    for (Section& s : sections_) {
      if (!String(names, s.header.sh_name, &s.name)) return Fail("bad section name offset");
    }
    return ParseSymbols();
  }

  const std::vector<Section>& sections() const { return sections_; }
  std::vector<Section>& sections() { return sections_; }
  const std::vector<Elf32_Sym>& symbols() const { return symbols_; }
  const uint8_t* At(uint32_t offset) const { return b_.data() + offset; }

  std::string SymbolName(const Elf32_Sym& s) const {
    if (ELF32_ST_TYPE(s.st_info) == STT_SECTION && s.st_shndx < sections_.size())
      return sections_[s.st_shndx].name;
    std::string name;
    if (!String(sections_[strtab_].header, s.st_name, &name)) return "?";
    return name;
  }

 private:
  bool Fail(const std::string& message) {
    errors_->push_back(message);
    return false;
  }

  bool InFile(uint64_t offset, uint64_t size) const {
    return offset <= b_.size() && size <= b_.size() - offset;
  }

  // NUL-terminated string at `offset` of string table `table`.
  bool String(const Elf32_Shdr& table, uint32_t offset, std::string* out) const {
    if (table.sh_type == SHT_NOBITS || offset >= table.sh_size) return false;
    const char* start = reinterpret_cast<const char*>(b_.data() + table.sh_offset + offset);
    const void* end = memchr(start, 0, table.sh_size - offset);
    if (!end) return false;
    out->assign(start, static_cast<const char*>(end));
    return true;
  }

  bool ParseSymbols() {
    uint32_t symtab = 0;
    for (uint32_t i = 0; i < sections_.size(); i++) {
      if (sections_[i].header.sh_type != SHT_SYMTAB) continue;
      if (symtab) return Fail("input has more than one symbol table");
      symtab = i;
    }
    if (!symtab) return Fail("input has no symbol table");
    const Elf32_Shdr& h = sections_[symtab].header;
    if (h.sh_entsize != sizeof(Elf32_Sym) || h.sh_size % sizeof(Elf32_Sym) != 0)
      return Fail("symbol table entries are not 16 bytes");
    if (h.sh_link == 0 || h.sh_link >= sections_.size() ||
        sections_[h.sh_link].header.sh_type != SHT_STRTAB)
      return Fail("symbol table has no string table");
    strtab_ = h.sh_link;
    symbols_.resize(h.sh_size / sizeof(Elf32_Sym));
    if (!symbols_.empty())
      memcpy(symbols_.data(), b_.data() + h.sh_offset, symbols_.size() * sizeof(Elf32_Sym));
    for (const Elf32_Sym& s : symbols_) {
      uint16_t shndx = s.st_shndx;
      if (shndx != SHN_UNDEF && shndx < SHN_LORESERVE && shndx >= sections_.size())
        return Fail("symbol '" + SymbolName(s) + "' names a section that does not exist");
    }
    return true;
  }

  const Bytes& b_;
  std::vector<std::string>* errors_;
  Elf32_Ehdr eh_{};
  std::vector<Section> sections_;
  std::vector<Elf32_Sym> symbols_;
  uint32_t strtab_ = 0;
};

bool StartsWith(const std::string& s, const char* prefix) {
  return s.compare(0, strlen(prefix), prefix) == 0;
}

// Data groups in the order the data block holds them.
int DataGroup(const std::string& name) {
  if (StartsWith(name, ".data")) return 0;
  if (StartsWith(name, ".rodata")) return 1;
  if (name == MV_LITERAL_SECTION) return 2;
  if (StartsWith(name, ".bss")) return 3;
  return -1;
}

class Builder {
 public:
  Builder(Object* object, const ExportNames& exports, std::vector<std::string>* errors)
      : obj_(*object), exports_(exports), errors_(errors) {}

  bool Build(const std::string& entry, Image* image) {
    Place();
    FindLiterals();
    if (!errors_->empty()) return false;
    for (uint32_t i = 0; i < obj_.sections().size(); i++) ApplyRelocations(i);
    uint32_t entryOffset = 0;
    if (!FindEntry(entry, &entryOffset))
      Error("entry function '" + entry + "' is not defined in the code");
    if (!errors_->empty()) return false;
    code_[0] = 0xE9;
    Put32(&code_[1], entryOffset - kEntryJumpSize);
    image->imports = ImportTable();  // writes the chains into the code
    image->code = code_;
    image->data = data_;
    image->symbols = SymbolsBlock();
    return true;
  }

 private:
  struct Fixup {
    uint32_t site;
    uint8_t opcode;
  };

  void Error(const std::string& message) { errors_->push_back(message); }

  std::string Where(const Section& s, uint32_t offset) { return s.name + "+" + Hex(offset); }

  // Lays out the code sections after the entry jump and the data sections by group.
  void Place() {
    std::vector<Section>& secs = obj_.sections();
    code_.assign(kEntryJumpSize, 0);
    std::vector<uint32_t> groups[4];
    for (uint32_t i = 0; i < secs.size(); i++) {
      Section& s = secs[i];
      const Elf32_Shdr& h = s.header;
      if (h.sh_type == SHT_RELA)
        Error("section " + s.name + ": RELA relocations are not i386 objects");
      if (!(h.sh_flags & SHF_ALLOC) || h.sh_type == SHT_NOTE || h.sh_type == SHT_GROUP) continue;
      if (h.sh_size > kMaxSection) {
        Error("section " + s.name + " is larger than a code image can hold");
        continue;
      }
      if (h.sh_flags & SHF_TLS) {
        Error("section " + s.name + ": thread-local data cannot be carried by the image");
        continue;
      }
      if (h.sh_flags & SHF_EXECINSTR) {
        if (h.sh_flags & SHF_WRITE) {
          Error("section " + s.name + " is writable code: the code block is read-only once "
                "linked");
          continue;
        }
        if (h.sh_type != SHT_PROGBITS) {
          Error("section " + s.name + ": executable section without contents");
          continue;
        }
        s.block = Block::kCode;
        s.offset = AlignUp(static_cast<uint32_t>(code_.size()), h.sh_addralign);
        code_.resize(s.offset, 0x90);
        const uint8_t* p = obj_.At(h.sh_offset);
        code_.insert(code_.end(), p, p + h.sh_size);
        continue;
      }
      int group = DataGroup(s.name);
      if (group < 0) {
        Error("section " + s.name + " cannot be placed in the image (only .data*, .rodata*, "
              "mv_lit and .bss* hold data; static constructors are not supported)");
        continue;
      }
      if (h.sh_type != SHT_NOBITS && h.sh_type != SHT_PROGBITS) {
        Error("section " + s.name + " has an unexpected type");
        continue;
      }
      groups[group].push_back(i);
    }
    for (auto& group : groups) {
      for (uint32_t i : group) {
        Section& s = secs[i];
        s.block = Block::kData;
        s.literals = s.name == MV_LITERAL_SECTION;
        s.offset = AlignUp(static_cast<uint32_t>(data_.size()), s.header.sh_addralign);
        data_.resize(s.offset, 0);
        if (s.header.sh_type == SHT_NOBITS) {
          data_.resize(data_.size() + s.header.sh_size, 0);
        } else {
          const uint8_t* p = obj_.At(s.header.sh_offset);
          data_.insert(data_.end(), p, p + s.header.sh_size);
        }
      }
    }
  }

  // Record starts of every literal section, by walking its records (zero words between
  // records are alignment padding).
  void FindLiterals() {
    for (const Section& s : obj_.sections()) {
      if (!s.literals) continue;
      const uint8_t* p = data_.data() + s.offset;
      uint32_t size = s.header.sh_size, pos = 0;
      while (pos + 4 <= size) {
        if (Get32(p + pos) == 0) {
          pos += 4;
          continue;
        }
        // The header words, then the length byte, the characters and a NUL.
        uint32_t length = pos + MV_LITERAL_TEXT <= size ? Get32(p + pos + MV_LITERAL_LENGTH) : 0;
        uint32_t recordSize = AlignUp(MV_LITERAL_TEXT + 2 + length, MV_LITERAL_ALIGN);
        if (pos + MV_LITERAL_TEXT > size || Get32(p + pos + MV_LITERAL_REF_COUNT) != 1 ||
            length > size || Get32(p + pos + MV_LITERAL_BUFFER_SIZE) != length + 2 ||
            recordSize > size - pos) {
          Error("section " + s.name + ": malformed literal record at " + Where(s, pos));
          break;
        }
        literalStarts_.insert(s.offset + pos);
        pos += recordSize;
      }
    }
  }

  // Applies or records the relocations of one relocation section.
  void ApplyRelocations(uint32_t index) {
    const Section& rel = obj_.sections()[index];
    if (rel.header.sh_type != SHT_REL) return;
    if (rel.header.sh_info >= obj_.sections().size()) {
      Error("section " + rel.name + " relocates a section that does not exist");
      return;
    }
    const Section& target = obj_.sections()[rel.header.sh_info];
    if (target.block == Block::kNone) return;  // debugging information and the like
    if (rel.header.sh_entsize != sizeof(Elf32_Rel) || rel.header.sh_size % sizeof(Elf32_Rel)) {
      Error("section " + rel.name + ": relocation entries are not 8 bytes");
      return;
    }
    uint32_t n = rel.header.sh_size / sizeof(Elf32_Rel);
    for (uint32_t k = 0; k < n; k++) {
      Elf32_Rel r;
      memcpy(&r, obj_.At(rel.header.sh_offset + k * sizeof r), sizeof r);
      Relocate(target, r);
    }
  }

  void Relocate(const Section& target, const Elf32_Rel& r) {
    uint32_t type = ELF32_R_TYPE(r.r_info), symIndex = ELF32_R_SYM(r.r_info);
    if (type == R_386_NONE) return;
    if (symIndex >= obj_.symbols().size()) {
      Error(RelocText(type) + " at " + Where(target, r.r_offset) +
            " names a symbol that does not exist");
      return;
    }
    const Elf32_Sym& sym = obj_.symbols()[symIndex];
    std::string what = RelocText(type) + " against '" + obj_.SymbolName(sym) + "' at " +
                       Where(target, r.r_offset);
    if (target.block == Block::kData) {
      Error(what + ": a pointer inside the data block cannot be fixed by the loader");
      return;
    }
    if (r.r_offset > target.header.sh_size || target.header.sh_size - r.r_offset < 4) {
      Error(what + ": the relocated field lies outside its section");
      return;
    }
    uint32_t site = target.offset + r.r_offset;
    if (!sites_.insert(site).second) {
      Error(what + ": the field is relocated twice");
      return;
    }
    int32_t addend = static_cast<int32_t>(Get32(&code_[site]));
    bool pcRelative = type == R_386_PC32 || type == R_386_PLT32;
    if (!pcRelative && type != R_386_32) {
      Error(what + ": this relocation type cannot be expressed in the code image");
      return;
    }
    if (sym.st_shndx == SHN_UNDEF) {
      Import(what, obj_.SymbolName(sym), pcRelative ? MV_IMPORT_KIND_CALL : MV_IMPORT_KIND_ABSOLUTE,
             pcRelative ? -4 : 0, addend, site);
      return;
    }
    if (sym.st_shndx >= SHN_LORESERVE) {
      Error(what + ": absolute and common symbols cannot be carried by the image");
      return;
    }
    const Section& home = obj_.sections()[sym.st_shndx];
    if (sym.st_value > home.header.sh_size) {
      Error(what + ": the symbol lies outside its section");
      return;
    }
    uint32_t value = home.offset + sym.st_value + static_cast<uint32_t>(addend);
    if (home.block == Block::kCode && pcRelative) {
      Put32(&code_[site], value - site);  // S + A - P, all within the code block
    } else if (home.block == Block::kCode) {
      Put32(&code_[site], value);
      fixups_.push_back({site, MV_IMPORT_CODE_ADDRESS});
    } else if (home.block == Block::kData && !pcRelative) {
      if (home.literals && !literalStarts_.count(value)) {
        Error(what + ": a literal is referenced other than at its record's start");
        return;
      }
      Put32(&code_[site], value);
      fixups_.push_back(
          {site, static_cast<uint8_t>(home.literals ? MV_IMPORT_LITERAL : MV_IMPORT_DATA_ADDRESS)});
    } else {
      Error(what + (home.block == Block::kData
                        ? ": a code-relative reference to data cannot be relocated"
                        : ": the symbol's section is not part of the image"));
    }
  }

  void Import(const std::string& what, const std::string& name, uint8_t kind,
              int32_t wantAddend, int32_t addend, uint32_t site) {
    if (addend != wantAddend) {
      Error(what + ": in-place addend " + std::to_string(addend) + " (only " +
            std::to_string(wantAddend) + " can be linked)");
      return;
    }
    if (name.empty() || name.size() > 255) {
      Error(what + ": the name cannot be stored in an import record");
      return;
    }
    if (!exports_.Contains(name)) {
      if (reportedMissing_.insert(name).second)
        Error("undefined name '" + name + "' is not exported by the runtime (first used by " +
              what + ")");
      return;
    }
    imports_[{name, kind}].push_back(site);
  }

  bool FindEntry(const std::string& entry, uint32_t* offset) {
    for (const Elf32_Sym& s : obj_.symbols()) {
      if (ELF32_ST_TYPE(s.st_info) != STT_FUNC || s.st_shndx == SHN_UNDEF ||
          s.st_shndx >= SHN_LORESERVE || ELF32_ST_BIND(s.st_info) == STB_LOCAL)
        continue;
      const Section& home = obj_.sections()[s.st_shndx];
      if (home.block == Block::kCode && obj_.SymbolName(s) == entry) {
        *offset = home.offset + s.st_value;
        return true;
      }
    }
    return false;
  }

  // One opcode-1 record per (name, kind), its sites chained through their own fields,
  // then one fixup record per address field, in code order.
  Bytes ImportTable() {
    Bytes out;
    for (auto& entry : imports_) {
      std::vector<uint32_t>& sites = entry.second;
      std::sort(sites.begin(), sites.end());
      for (size_t i = 0; i < sites.size(); i++)
        Put32(&code_[sites[i]], i + 1 < sites.size() ? sites[i + 1] : 0);
      const std::string& name = entry.first.first;
      out.push_back(MV_IMPORT_RUNTIME);
      out.push_back(entry.first.second);
      Append32(&out, sites.front());
      out.push_back(static_cast<uint8_t>(name.size()));
      out.insert(out.end(), name.begin(), name.end());
      out.push_back(0);
    }
    std::sort(fixups_.begin(), fixups_.end(),
              [](const Fixup& a, const Fixup& b) { return a.site < b.site; });
    for (const Fixup& f : fixups_) {
      out.push_back(f.opcode);
      Append32(&out, f.site);
    }
    return out;
  }

  // {u32 N; N x {code offset, name offset}; names}, the functions in ascending order,
  // C++ names in their readable form.
  Bytes SymbolsBlock() {
    std::vector<std::pair<uint32_t, std::string>> funcs;
    for (const Elf32_Sym& s : obj_.symbols()) {
      if (ELF32_ST_TYPE(s.st_info) != STT_FUNC || s.st_shndx == SHN_UNDEF ||
          s.st_shndx >= SHN_LORESERVE)
        continue;
      const Section& home = obj_.sections()[s.st_shndx];
      if (home.block == Block::kCode)
        funcs.emplace_back(home.offset + s.st_value, Demangled(obj_.SymbolName(s)));
    }
    std::stable_sort(funcs.begin(), funcs.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    static_assert(MV_SYMBOLS_COUNT_SIZE == 4 && MV_SYMBOL_ENTRY_SIZE == 2 * 4,
                  "the count and each entry's two fields are u32 words");
    Bytes out, names;
    Append32(&out, static_cast<uint32_t>(funcs.size()));
    for (const auto& f : funcs) {
      Append32(&out, f.first);
      Append32(&out, static_cast<uint32_t>(names.size()));
      names.insert(names.end(), f.second.begin(), f.second.end());
      names.push_back(0);
    }
    out.insert(out.end(), names.begin(), names.end());
    return out;
  }

  Object& obj_;
  const ExportNames& exports_;
  std::vector<std::string>* errors_;
  Bytes code_, data_;
  std::set<uint32_t> literalStarts_;
  std::set<uint32_t> sites_;  // code offsets of relocated fields
  std::map<std::pair<std::string, uint8_t>, std::vector<uint32_t>> imports_;
  std::set<std::string> reportedMissing_;
  std::vector<Fixup> fixups_;
};

}  // namespace

void ExportNames::Add(const std::string& name) { names_.insert(Lower(name)); }

bool ExportNames::Contains(const std::string& name) const { return names_.count(Lower(name)) != 0; }

Bytes SerializeImage(const Image& image) {
  const Bytes* blocks[MV_BLOCK_COUNT];
  blocks[MV_BLOCK_CODE] = &image.code;
  blocks[MV_BLOCK_DATA] = &image.data;
  blocks[MV_BLOCK_IMPORTS] = &image.imports;
  blocks[MV_BLOCK_SYMBOLS] = &image.symbols;
  blocks[MV_BLOCK_RESOURCES] = &image.resources;
  blocks[MV_BLOCK_OPTIONS] = &image.options;
  Bytes out;
  for (const Bytes* b : blocks) {
    Append32(&out, static_cast<uint32_t>(b->size()));
    out.insert(out.end(), b->begin(), b->end());
  }
  return out;
}

bool BuildImage(const Bytes& object, const ExportNames& exports, const std::string& entry,
                Image* image, std::vector<std::string>* errors) {
  size_t before = errors->size();
  std::vector<std::string> found;
  Object obj(object, &found);
  if (obj.Parse()) {
    Builder builder(&obj, exports, &found);
    builder.Build(entry, image);
  }
  errors->insert(errors->end(), found.begin(), found.end());
  return errors->size() == before;
}

Bytes PluginResourceBlock(const Bytes& library) {
  static const char kName[] = "libMVShell.so";
  const uint32_t nameLength = sizeof kName - 1;
  Bytes out = {'l', 'P', 'V', 'M', 0xFF, 0xFF, 0, 0, 0, 0};
  Append32(&out, static_cast<uint32_t>(1 + nameLength + library.size()));
  out.push_back(static_cast<uint8_t>(nameLength));
  out.insert(out.end(), kName, kName + nameLength);
  out.insert(out.end(), library.begin(), library.end());
  return out;
}

Bytes VersionOptionsBlock() {
  // The version record: its fixed bytes, the first of them 1, then three empty Pascal
  // strings.
  Bytes out(1 + MV_VERSION_FIXED + 3, 0);
  out[0] = MV_OPTION_VERSION;
  out[1] = 1;
  return out;
}

}  // namespace mvimage
