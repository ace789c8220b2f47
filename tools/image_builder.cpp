#include "tools/image_builder.h"

#include <cxxabi.h>
#include <elf.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <utility>

#include "runtime/core/objects/image_format.h"
#include "tools/image_builder_internal.h"

namespace mvimage {

namespace {

constexpr uint32_t kEntryJumpSize = 5;
// Sections beyond this size are refused (a damaged header would otherwise make the
// builder allocate gigabytes of zeros).
constexpr uint64_t kMaxSection = 256u << 20;

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

}  // namespace

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

uint32_t AlignUp(uint32_t v, uint64_t align) {
  if (align <= 1) return v;
  return static_cast<uint32_t>((uint64_t{v} + align - 1) / align * align);
}

std::string Hex(uint64_t v) {
  char buf[24];
  snprintf(buf, sizeof buf, "0x%llx", static_cast<unsigned long long>(v));
  return buf;
}

std::string Builder::RelocText(uint32_t type) const {
  const char* name = machine_.RelocName(type);
  return name ? std::string(name) : "relocation type " + std::to_string(type);
}

std::string Builder::Where(const Section& s, uint64_t offset) { return s.name + "+" + Hex(offset); }

bool Builder::Build(const std::string& entry, Image* image) {
  Place();
  FindLiterals();
  if (!errors_->empty()) return false;
  std::vector<Relocation> relocations;
  for (uint32_t i = 0; i < obj_.sections().size(); i++) {
    const Section& rel = obj_.sections()[i];
    if (rel.type != SHT_REL && rel.type != SHT_RELA) continue;
    if (rel.info >= obj_.sections().size()) {
      Error("section " + rel.name + " relocates a section that does not exist");
      continue;
    }
    const Section& target = obj_.sections()[rel.info];
    if (target.block == Block::kNone) continue;  // debugging information and the like
    if (rel.type != machine_.RelocationSectionType()) {
      Error("section " + rel.name + (rel.type == SHT_RELA ? ": RELA relocations are not i386 "
                                                          : ": REL relocations are not x86-64 ") +
            "relocations");
      continue;
    }
    if (!obj_.Relocations(i, &relocations)) continue;
    for (const Relocation& r : relocations) machine_.Relocate(this, target, r);
  }
  uint32_t entryOffset = 0;
  if (!FindEntry(entry, &entryOffset))
    Error("entry function '" + entry + "' is not defined in the code");
  if (!errors_->empty()) return false;
  code_[0] = 0xE9;
  Put32(&code_[1], entryOffset - kEntryJumpSize);
  image->machine = machine_.ElfMachine();
  image->imports = machine_.Finish(this);  // completes the code and data blocks
  if (!errors_->empty()) return false;
  image->code = code_;
  image->data = data_;
  image->symbols = SymbolsBlock();
  return true;
}

bool Builder::Claim(const Section& target, const Relocation& r, const Symbol** symbol,
                    uint32_t* site, std::string* what) {
  if (r.symbol >= obj_.symbols().size()) {
    Error(RelocText(r.type) + " at " + Where(target, r.offset) +
          " names a symbol that does not exist");
    return false;
  }
  *symbol = &obj_.symbols()[r.symbol];
  *what = RelocText(r.type) + " against '" + (*symbol)->name + "' at " + Where(target, r.offset);
  if (target.block == Block::kData) {
    Error(*what + ": a pointer inside the data block cannot be fixed by the loader");
    return false;
  }
  if (r.offset > target.size || target.size - r.offset < 4) {
    Error(*what + ": the relocated field lies outside its section");
    return false;
  }
  *site = target.offset + static_cast<uint32_t>(r.offset);
  if (!sites_.insert(*site).second) {
    Error(*what + ": the field is relocated twice");
    return false;
  }
  return true;
}

bool Builder::Importable(const std::string& what, const std::string& name) {
  if (name.empty() || name.size() > 255) {
    Error(what + ": the name cannot be stored in an import record");
    return false;
  }
  if (!exports_.Contains(name)) {
    if (reportedMissing_.insert(name).second)
      Error("undefined name '" + name + "' is not exported by the runtime (first used by " +
            what + ")");
    return false;
  }
  return true;
}

const Section* Builder::Home(const std::string& what, const Symbol& symbol) {
  if (symbol.section >= SHN_LORESERVE) {
    Error(what + ": absolute and common symbols cannot be carried by the image");
    return nullptr;
  }
  const Section& home = obj_.sections()[symbol.section];
  if (symbol.value > home.size) {
    Error(what + ": the symbol lies outside its section");
    return nullptr;
  }
  if (home.block == Block::kNone) {
    Error(what + ": the symbol's section is not part of the image");
    return nullptr;
  }
  return &home;
}

// Lays out the code sections after the entry jump and the data sections by group.
void Builder::Place() {
  std::vector<Section>& secs = obj_.sections();
  code_.assign(kEntryJumpSize, 0);
  std::vector<uint32_t> groups[4];
  for (uint32_t i = 0; i < secs.size(); i++) {
    Section& s = secs[i];
    if (!(s.flags & SHF_ALLOC) || s.type == SHT_NOTE || s.type == SHT_GROUP) continue;
    if (s.size > kMaxSection) {
      Error("section " + s.name + " is larger than a code image can hold");
      continue;
    }
    if (s.flags & SHF_TLS) {
      Error("section " + s.name + ": thread-local data cannot be carried by the image");
      continue;
    }
    if (s.flags & SHF_EXECINSTR) {
      if (s.flags & SHF_WRITE) {
        Error("section " + s.name + " is writable code: the code block is read-only once "
              "linked");
        continue;
      }
      if (s.type != SHT_PROGBITS) {
        Error("section " + s.name + ": executable section without contents");
        continue;
      }
      s.block = Block::kCode;
      s.offset = AlignUp(static_cast<uint32_t>(code_.size()), s.align);
      code_.resize(s.offset, 0x90);
      const uint8_t* p = obj_.At(s.fileOffset);
      code_.insert(code_.end(), p, p + s.size);
      continue;
    }
    int group = DataGroup(s.name);
    if (group < 0) {
      Error("section " + s.name + " cannot be placed in the image (only .data*, .rodata*, "
            "mv_lit and .bss* hold data; static constructors are not supported)");
      continue;
    }
    if (s.type != SHT_NOBITS && s.type != SHT_PROGBITS) {
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
      s.offset = AlignUp(static_cast<uint32_t>(data_.size()), s.align);
      data_.resize(s.offset, 0);
      if (s.type == SHT_NOBITS) {
        data_.resize(data_.size() + s.size, 0);
      } else {
        const uint8_t* p = obj_.At(s.fileOffset);
        data_.insert(data_.end(), p, p + s.size);
      }
    }
  }
}

// Record starts of every literal section, by walking its records (zero words between
// records are alignment padding).
void Builder::FindLiterals() {
  const LiteralLayout lit = machine_.Literals();
  for (const Section& s : obj_.sections()) {
    if (!s.literals) continue;
    const uint8_t* p = data_.data() + s.offset;
    uint64_t size = s.size, pos = 0;
    while (pos + 4 <= size) {
      if (Get32(p + pos) == 0) {
        pos += 4;
        continue;
      }
      // The header fields, then the length byte, the characters and a NUL.
      uint32_t length = pos + lit.text <= size ? Get32(p + pos + lit.length) : 0;
      uint64_t recordSize = AlignUp(lit.text + 2 + length, lit.align);
      if (pos % lit.align != 0 || pos + lit.text > size ||
          Get32(p + pos + lit.refCount) != 1 || length > size ||
          Get32(p + pos + lit.bufferSize) != length + 2 || recordSize > size - pos) {
        Error("section " + s.name + ": malformed literal record at " + Where(s, pos));
        break;
      }
      literalStarts_.insert(s.offset + static_cast<uint32_t>(pos));
      pos += recordSize;
    }
  }
}

bool Builder::FindEntry(const std::string& entry, uint32_t* offset) {
  for (const Symbol& s : obj_.symbols()) {
    if (s.type != STT_FUNC || s.section == SHN_UNDEF || s.section >= SHN_LORESERVE ||
        s.bind == STB_LOCAL)
      continue;
    const Section& home = obj_.sections()[s.section];
    if (home.block == Block::kCode && s.name == entry) {
      *offset = home.offset + static_cast<uint32_t>(s.value);
      return true;
    }
  }
  return false;
}

// {u32 N; N x {code offset, name offset}; names}, the functions in ascending order,
// C++ names in their readable form.
Bytes Builder::SymbolsBlock() {
  std::vector<std::pair<uint32_t, std::string>> funcs;
  for (const Symbol& s : obj_.symbols()) {
    if (s.type != STT_FUNC || s.section == SHN_UNDEF || s.section >= SHN_LORESERVE) continue;
    const Section& home = obj_.sections()[s.section];
    if (home.block == Block::kCode)
      funcs.emplace_back(home.offset + static_cast<uint32_t>(s.value), Demangled(s.name));
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
  if (image.machine != MV_MACHINE_I386) {
    Append32(&out, MV_MACHINE_TAG);
    Append32(&out, image.machine);
  }
  for (const Bytes* b : blocks) {
    Append32(&out, static_cast<uint32_t>(b->size()));
    out.insert(out.end(), b->begin(), b->end());
  }
  return out;
}

Bytes LooseCodeFile(const Image& image) {
  Bytes out;
  if (image.machine != MV_MACHINE_I386) {
    Append32(&out, MV_MACHINE_TAG);
    Append32(&out, image.machine);
  }
  out.insert(out.end(), image.code.begin(), image.code.end());
  return out;
}

bool BuildImage(const Bytes& object, const ExportNames& exports, const std::string& entry,
                Image* image, std::vector<std::string>* errors) {
  size_t before = errors->size();
  std::vector<std::string> found;
  ElfObject obj(object, &found);
  if (obj.Parse()) {
    std::unique_ptr<Machine> machine = obj.machine() == EM_X86_64 ? MakeX86_64() : MakeI386();
    Builder builder(&obj, machine.get(), exports, &found);
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
