// The x86-64 image: position-independent code and its data in one region (code at 0, data
// at the first page boundary after it). References between them are RIP-relative and
// resolved here at that distance; runtime functions are reached through one 8-byte slot
// per name at the start of the data block, which the loader fills: `call *slot(%rip)` and
// `mov slot(%rip), %reg` directly, a plain `call name` through a stub `jmp *slot(%rip)`
// added at the end of the code. Nothing in the code is patched at load time.
#include <elf.h>
#include <limits.h>

#include <map>

#include "runtime/core/objects/image_format.h"
#include "tools/image_builder_internal.h"

namespace mvimage {

namespace {

// What a relocated field points at once the blocks are laid out.
enum class Goal { kCode, kData, kSlot, kStub };

struct Patch {
  uint32_t field;   // code offset of the 4-byte displacement
  uint32_t from;    // the place it counts from (the field, moved by a relaxed jump)
  Goal goal;
  uint64_t offset;  // within the code block, or within data proper
  std::string name; // slot and stub goals
  int64_t addend;
};

class X86_64 : public Machine {
 public:
  uint16_t ElfMachine() const override { return EM_X86_64; }
  uint32_t RelocationSectionType() const override { return SHT_RELA; }

  LiteralLayout Literals() const override {
    return {MV_LITERAL64_ALIGN,       MV_LITERAL64_REF_COUNT, MV_LITERAL64_TEXT_POINTER,
            MV_LITERAL64_BUFFER_SIZE, MV_LITERAL64_LENGTH,    MV_LITERAL64_ENCODING,
            MV_LITERAL64_TEXT};
  }

  const char* RelocName(uint32_t type) const override {
    switch (type) {
      case R_X86_64_NONE: return "R_X86_64_NONE";
      case R_X86_64_64: return "R_X86_64_64";
      case R_X86_64_PC32: return "R_X86_64_PC32";
      case R_X86_64_GOT32: return "R_X86_64_GOT32";
      case R_X86_64_PLT32: return "R_X86_64_PLT32";
      case R_X86_64_GOTPCREL: return "R_X86_64_GOTPCREL";
      case R_X86_64_32: return "R_X86_64_32";
      case R_X86_64_32S: return "R_X86_64_32S";
      case R_X86_64_16: return "R_X86_64_16";
      case R_X86_64_PC16: return "R_X86_64_PC16";
      case R_X86_64_8: return "R_X86_64_8";
      case R_X86_64_PC8: return "R_X86_64_PC8";
      case R_X86_64_DTPMOD64: return "R_X86_64_DTPMOD64";
      case R_X86_64_DTPOFF64: return "R_X86_64_DTPOFF64";
      case R_X86_64_TPOFF64: return "R_X86_64_TPOFF64";
      case R_X86_64_TLSGD: return "R_X86_64_TLSGD";
      case R_X86_64_TLSLD: return "R_X86_64_TLSLD";
      case R_X86_64_DTPOFF32: return "R_X86_64_DTPOFF32";
      case R_X86_64_GOTTPOFF: return "R_X86_64_GOTTPOFF";
      case R_X86_64_TPOFF32: return "R_X86_64_TPOFF32";
      case R_X86_64_PC64: return "R_X86_64_PC64";
      case R_X86_64_GOTOFF64: return "R_X86_64_GOTOFF64";
      case R_X86_64_GOTPC32: return "R_X86_64_GOTPC32";
      case R_X86_64_SIZE32: return "R_X86_64_SIZE32";
      case R_X86_64_SIZE64: return "R_X86_64_SIZE64";
      case R_X86_64_GOTPCRELX: return "R_X86_64_GOTPCRELX";
      case R_X86_64_REX_GOTPCRELX: return "R_X86_64_REX_GOTPCRELX";
      default: return nullptr;
    }
  }

  // PC32 and PLT32 (to the image, or a call of a runtime name through its stub), and the
  // GOT loads GOTPCREL, GOTPCRELX and REX_GOTPCRELX (of a runtime name: its slot; of a
  // name the image defines: the instruction relaxed to a direct one, as a linker would).
  void Relocate(Builder* b, const Section& target, const Relocation& r) override {
    if (r.type == R_X86_64_NONE) return;
    const Symbol* sym;
    uint32_t site;
    std::string what;
    if (!b->Claim(target, r, &sym, &site, &what)) return;
    bool pcRelative = r.type == R_X86_64_PC32 || r.type == R_X86_64_PLT32;
    bool gotLoad = r.type == R_X86_64_GOTPCREL || r.type == R_X86_64_GOTPCRELX ||
                   r.type == R_X86_64_REX_GOTPCRELX;
    if (!pcRelative && !gotLoad) {
      b->Error(what + ": this relocation type cannot be expressed in the code image");
      return;
    }
    // The instruction bytes before the field, where they are part of the same section.
    const uint8_t* code = b->code().data();
    uint64_t before = r.offset;
    auto byteBefore = [&](uint32_t n) -> int { return before >= n ? code[site - n] : -1; };
    Patch p{site, site, Goal::kCode, 0, "", r.addend};
    if (sym->section == SHN_UNDEF) {
      if (!b->Importable(what, sym->name)) return;
      if (gotLoad) {
        p.goal = Goal::kSlot;
      } else if (byteBefore(1) == 0xE8 || byteBefore(1) == 0xE9) {
        p.goal = Goal::kStub;  // call or jmp rel32
      } else {
        b->Error(what + ": a runtime name is reached only by a call or through its slot");
        return;
      }
      p.name = sym->name;
      if (p.goal == Goal::kSlot) slots_[p.name];
      if (p.goal == Goal::kStub) slots_[p.name], stubs_[p.name];
      patches_.push_back(p);
      return;
    }
    const Section* home = b->Home(what, *sym);
    if (!home) return;
    p.goal = home->block == Block::kCode ? Goal::kCode : Goal::kData;
    p.offset = home->offset + sym->value;
    if (gotLoad && !Relax(b, r.type, site, byteBefore, &p)) {
      b->Error(what + ": a GOT load of a name the image defines that cannot be relaxed");
      return;
    }
    patches_.push_back(p);
  }

  // The stubs after the code, the slots before the data, every displacement written;
  // then one slot import per name, in slot order, and one literal record per literal.
  Bytes Finish(Builder* b) override {
    Bytes& code = b->code();
    Bytes& data = b->data();
    uint32_t index = 0;
    for (auto& slot : slots_) slot.second = index++ * MV_SLOT_SIZE;
    for (auto& stub : stubs_) {
      stub.second = static_cast<uint32_t>(code.size());
      code.insert(code.end(), {0xFF, 0x25, 0, 0, 0, 0});  // jmp *slot(%rip)
      patches_.push_back(Patch{stub.second + 2, stub.second + 2, Goal::kSlot, 0, stub.first, -4});
    }
    uint64_t dataBase = AlignUp(static_cast<uint32_t>(code.size()), MV_PAGE_SIZE);
    uint32_t slotPages = AlignUp(static_cast<uint32_t>(slots_.size() * MV_SLOT_SIZE), MV_PAGE_SIZE);
    data.insert(data.begin(), slotPages, 0);
    for (const Patch& p : patches_) {
      uint64_t goal = 0;
      switch (p.goal) {
        case Goal::kCode: goal = p.offset; break;
        case Goal::kData: goal = dataBase + slotPages + p.offset; break;
        case Goal::kSlot: goal = dataBase + slots_[p.name]; break;
        case Goal::kStub: goal = stubs_[p.name]; break;
      }
      int64_t value = static_cast<int64_t>(goal) + p.addend - static_cast<int64_t>(p.from);
      if (value < INT32_MIN || value > INT32_MAX) {
        b->Error("the reference at code offset " + Hex(p.field) + " does not reach its goal");
        continue;
      }
      Put32(&code[p.from], static_cast<uint32_t>(value));
    }
    Bytes out;
    for (const auto& slot : slots_) {
      out.push_back(MV_IMPORT_RUNTIME);
      out.push_back(MV_IMPORT_KIND_SLOT);
      Append32(&out, slot.second);
      out.push_back(static_cast<uint8_t>(slot.first.size()));
      out.insert(out.end(), slot.first.begin(), slot.first.end());
      out.push_back(0);
    }
    for (uint32_t start : b->literalStarts()) {
      out.push_back(MV_IMPORT_LITERAL_RECORD);
      Append32(&out, slotPages + start);
    }
    return out;
  }

 private:
  // A GOT load of a name the image defines made direct: `mov x@GOTPCREL(%rip), %r64`
  // becomes `lea x(%rip), %r64`, `call *x@GOTPCREL(%rip)` becomes `addr32 call x` and
  // `jmp *x@GOTPCREL(%rip)` becomes `jmp x; nop`. Plain GOTPCREL promises no such
  // instruction and is not relaxed.
  template <typename ByteBefore>
  bool Relax(Builder* b, uint32_t type, uint32_t site, ByteBefore byteBefore, Patch* p) {
    if (type == R_X86_64_GOTPCREL) return false;
    uint8_t* code = b->code().data();
    int op = byteBefore(2), modrm = byteBefore(1);
    bool ripRelative = modrm >= 0 && (modrm & 0xC7) == 0x05;
    if (op == 0x8B && ripRelative && type == R_X86_64_REX_GOTPCRELX && byteBefore(3) >= 0 &&
        (byteBefore(3) & 0xF8) == 0x48) {  // REX.W mov
      code[site - 2] = 0x8D;
      return true;
    }
    if (op == 0xFF && modrm == 0x15) {  // call *
      code[site - 2] = 0x67;
      code[site - 1] = 0xE8;
      return true;
    }
    if (op == 0xFF && modrm == 0x25) {  // jmp *: the displacement starts a byte earlier
      code[site - 2] = 0xE9;
      code[site + 3] = 0x90;
      p->from = site - 1;
      return true;
    }
    return false;
  }

  std::map<std::string, uint32_t> slots_;  // name: data offset of its slot
  std::map<std::string, uint32_t> stubs_;  // name: code offset of its stub
  std::vector<Patch> patches_;
};

}  // namespace

std::unique_ptr<Machine> MakeX86_64() { return std::make_unique<X86_64>(); }

}  // namespace mvimage
