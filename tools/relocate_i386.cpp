// The i386 image: position-dependent code whose absolute addresses the loader relocates
// and whose runtime calls it links through chains of call sites.
#include <elf.h>

#include <algorithm>
#include <map>
#include <utility>

#include "runtime/core/objects/image_format.h"
#include "tools/image_builder_internal.h"

namespace mvimage {

namespace {

class I386 : public Machine {
 public:
  uint16_t ElfMachine() const override { return EM_386; }
  uint32_t RelocationSectionType() const override { return SHT_REL; }

  LiteralLayout Literals() const override {
    return {MV_LITERAL32_ALIGN,       MV_LITERAL32_REF_COUNT, MV_LITERAL32_TEXT_POINTER,
            MV_LITERAL32_BUFFER_SIZE, MV_LITERAL32_LENGTH,    MV_LITERAL32_ENCODING,
            MV_LITERAL32_TEXT};
  }

  const char* RelocName(uint32_t type) const override {
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

  // R_386_32 and R_386_PC32/PLT32 only: within the code resolved, to the runtime linked
  // through a chain, to code and data addresses relocated by the loader.
  void Relocate(Builder* b, const Section& target, const Relocation& r) override {
    if (r.type == R_386_NONE) return;
    const Symbol* sym;
    uint32_t site;
    std::string what;
    if (!b->Claim(target, r, &sym, &site, &what)) return;
    Bytes& code = b->code();
    int32_t addend = static_cast<int32_t>(Get32(&code[site]));
    bool pcRelative = r.type == R_386_PC32 || r.type == R_386_PLT32;
    if (!pcRelative && r.type != R_386_32) {
      b->Error(what + ": this relocation type cannot be expressed in the code image");
      return;
    }
    if (sym->section == SHN_UNDEF) {
      Import(b, what, sym->name, pcRelative ? MV_IMPORT_KIND_CALL : MV_IMPORT_KIND_ABSOLUTE,
             pcRelative ? -4 : 0, addend, site);
      return;
    }
    const Section* home = b->Home(what, *sym);
    if (!home) return;
    uint32_t value = home->offset + static_cast<uint32_t>(sym->value) + static_cast<uint32_t>(addend);
    if (home->block == Block::kCode && pcRelative) {
      Put32(&code[site], value - site);  // S + A - P, all within the code block
    } else if (home->block == Block::kCode) {
      Put32(&code[site], value);
      fixups_.push_back({site, MV_IMPORT_CODE_ADDRESS});
    } else if (!pcRelative) {
      if (home->literals && !b->literalStarts().count(value)) {
        b->Error(what + ": a literal is referenced other than at its record's start");
        return;
      }
      Put32(&code[site], value);
      fixups_.push_back(
          {site, static_cast<uint8_t>(home->literals ? MV_IMPORT_LITERAL : MV_IMPORT_DATA_ADDRESS)});
    } else {
      b->Error(what + ": a code-relative reference to data cannot be relocated");
    }
  }

  // One opcode-1 record per (name, kind), its sites chained through their own fields,
  // then one fixup record per address field, in code order.
  Bytes Finish(Builder* b) override {
    Bytes& code = b->code();
    Bytes out;
    for (auto& entry : imports_) {
      std::vector<uint32_t>& sites = entry.second;
      std::sort(sites.begin(), sites.end());
      for (size_t i = 0; i < sites.size(); i++)
        Put32(&code[sites[i]], i + 1 < sites.size() ? sites[i + 1] : 0);
      const std::string& name = entry.first.first;
      out.push_back(MV_IMPORT_RUNTIME);
      out.push_back(entry.first.second);
      Append32(&out, sites.front());
      out.push_back(static_cast<uint8_t>(name.size()));
      out.insert(out.end(), name.begin(), name.end());
      out.push_back(0);
    }
    std::sort(fixups_.begin(), fixups_.end(),
              [](const Fixup& x, const Fixup& y) { return x.site < y.site; });
    for (const Fixup& f : fixups_) {
      out.push_back(f.opcode);
      Append32(&out, f.site);
    }
    return out;
  }

 private:
  struct Fixup {
    uint32_t site;
    uint8_t opcode;
  };

  void Import(Builder* b, const std::string& what, const std::string& name, uint8_t kind,
              int32_t wantAddend, int32_t addend, uint32_t site) {
    if (addend != wantAddend) {
      b->Error(what + ": in-place addend " + std::to_string(addend) + " (only " +
               std::to_string(wantAddend) + " can be linked)");
      return;
    }
    if (!b->Importable(what, name)) return;
    imports_[{name, kind}].push_back(site);
  }

  std::map<std::pair<std::string, uint8_t>, std::vector<uint32_t>> imports_;
  std::vector<Fixup> fixups_;
};

}  // namespace

std::unique_ptr<Machine> MakeI386() { return std::make_unique<I386>(); }

}  // namespace mvimage
