// The image builder on hand-made ELF objects: the records it writes and what it refuses.
#include <gtest/gtest.h>

#include "tests/image/elf_writer.h"
#include "tools/image_builder.h"

namespace {

using Bytes = ElfWriter::Bytes;

uint32_t U32(const Bytes& b, size_t at) {
  uint32_t v;
  memcpy(&v, b.data() + at, 4);
  return v;
}

Bytes Literal(const std::string& text) {
  Bytes r;
  uint32_t head[5] = {1, 0, static_cast<uint32_t>(text.size() + 2),
                      static_cast<uint32_t>(text.size()), 0x08000100u};
  ElfWriter::Append(&r, head, sizeof head);
  r.push_back(static_cast<uint8_t>(text.size()));
  r.insert(r.end(), text.begin(), text.end());
  r.push_back(0);
  while (r.size() % 4) r.push_back(0);
  return r;
}

const Bytes kCall = {0xE8, 0xFC, 0xFF, 0xFF, 0xFF};
const Bytes kMovImm = {0xB8, 0, 0, 0, 0};

Bytes Concat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

struct Built {
  bool ok;
  mvimage::Image image;
  std::vector<std::string> errors;
};

Built Build(const ElfWriter& elf, std::initializer_list<const char*> exported) {
  mvimage::ExportNames names;
  for (const char* n : exported) names.Add(n);
  Built b;
  b.ok = mvimage::BuildImage(elf.Build(), names, "MVImageEntry", &b.image, &b.errors);
  return b;
}

std::string Joined(const std::vector<std::string>& errors) {
  std::string all;
  for (const std::string& e : errors) all += e + "\n";
  return all;
}

// Code: three calls of TestA, TestA's address, a data word, a literal, ret.
ElfWriter SampleObject() {
  ElfWriter elf;
  int text = elf.Text(Concat({kCall, kCall, kCall, kMovImm, {0xA1, 4, 0, 0, 0}, kMovImm, {0xC3}}));
  int data = elf.Data(".data", Bytes(8, 0x11));
  int lit = elf.Data("mv_lit", Concat({Literal("hi"), Literal("there")}));
  elf.Symbol("MVImageEntry", text, 0);
  elf.Symbol("_ZN12_GLOBAL__N_16HelperEi", text, 15, STT_FUNC, STB_LOCAL);
  int a = elf.Symbol("TestA", 0, 0);
  int dataSym = elf.Symbol(".data", data, 0, STT_SECTION, STB_LOCAL);
  int litSym = elf.Symbol("mv_lit", lit, 0, STT_SECTION, STB_LOCAL);
  elf.Rel(text, 1, a, R_386_PC32);
  elf.Rel(text, 6, a, R_386_PLT32);
  elf.Rel(text, 11, a, R_386_PC32);
  elf.Rel(text, 16, a, R_386_32);
  elf.Rel(text, 21, dataSym, R_386_32);
  elf.Rel(text, 26, litSym, R_386_32);
  return elf;
}

TEST(ImageBuilder, WritesEntryJumpChainsFixupsAndSymbols) {
  Built b = Build(SampleObject(), {"testa"});
  ASSERT_TRUE(b.ok) << Joined(b.errors);
  const Bytes& code = b.image.code;
  // The entry jump at offset 0; the object's code follows at 5.
  ASSERT_EQ(code.size(), 5u + 31u);
  EXPECT_EQ(code[0], 0xE9);
  EXPECT_EQ(U32(code, 1), 0u);
  // One chain for the three calls: 6 -> 11 -> 16 -> end.
  EXPECT_EQ(U32(code, 6), 11u);
  EXPECT_EQ(U32(code, 11), 16u);
  EXPECT_EQ(U32(code, 16), 0u);
  EXPECT_EQ(U32(code, 21), 0u);   // the absolute import's only site
  EXPECT_EQ(U32(code, 26), 4u);   // .data + 4
  EXPECT_EQ(U32(code, 31), 8u);   // the first literal, after the 8 bytes of .data

  Bytes expected = {1, 0, 21, 0, 0, 0, 5, 'T', 'e', 's', 't', 'A', 0,    // absolute
                    1, 1, 6, 0, 0, 0, 5, 'T', 'e', 's', 't', 'A', 0,     // calls
                    2, 26, 0, 0, 0,                                      // data address
                    5, 31, 0, 0, 0};                                     // literal
  EXPECT_EQ(b.image.imports, expected);

  // Data: .data, then the literal records.
  ASSERT_EQ(b.image.data.size(), 8u + 24u + 28u);
  EXPECT_EQ(U32(b.image.data, 8), 1u);
  EXPECT_EQ(U32(b.image.data, 8 + 12), 2u);

  // Symbols: {5: MVImageEntry, 20: Helper}, names after the entries, C++ names readable.
  const Bytes& sym = b.image.symbols;
  ASSERT_EQ(U32(sym, 0), 2u);
  EXPECT_EQ(U32(sym, 4), 5u);
  EXPECT_EQ(U32(sym, 12), 20u);
  EXPECT_STREQ(reinterpret_cast<const char*>(sym.data() + 20 + U32(sym, 8)), "MVImageEntry");
  EXPECT_STREQ(reinterpret_cast<const char*>(sym.data() + 20 + U32(sym, 16)),
               "(anonymous namespace)::Helper(int)");
}

TEST(ImageBuilder, ResolvesCallsWithinTheCodeAndRelocatesCodeAddresses) {
  ElfWriter elf;
  int text = elf.Text(Concat({kCall, kMovImm, {0xC3}, {0xC3}}));
  elf.Symbol("MVImageEntry", text, 0);
  int target = elf.Symbol("Target", text, 11);
  elf.Rel(text, 1, target, R_386_PC32);
  elf.Rel(text, 6, target, R_386_32);
  Built b = Build(elf, {});
  ASSERT_TRUE(b.ok) << Joined(b.errors);
  // call Target: S + A - P = 16 - 4 - 6 = 6 (from the end of the field to Target).
  EXPECT_EQ(U32(b.image.code, 6), 6u);
  EXPECT_EQ(U32(b.image.code, 11), 16u);
  EXPECT_EQ(b.image.imports, (Bytes{3, 11, 0, 0, 0}));
}

TEST(ImageBuilder, ReportsEveryRefusalWithTypeSymbolAndOffset) {
  ElfWriter elf;
  int text = elf.Text(Concat({kCall, kCall, kMovImm, kMovImm, kCall}));
  int data = elf.Data(".data", Bytes(8, 0));
  int lit = elf.Data("mv_lit", Literal("hi"));
  elf.Symbol("MVImageEntry", text, 0);
  int unknown = elf.Symbol("NotExported", 0, 0);
  int known = elf.Symbol("Known", 0, 0);
  int litSym = elf.Symbol("mv_lit", lit, 0, STT_SECTION, STB_LOCAL);
  int dataSym = elf.Symbol("g_table", data, 0, STT_OBJECT);
  elf.Rel(text, 1, unknown, R_386_PC32);
  elf.Rel(text, 6, unknown, R_386_PC32);      // the same name: reported once
  elf.Rel(text, 11, known, R_386_GOTOFF);
  elf.Rel(text, 16, litSym, R_386_32);        // addend 4 below: inside the record
  elf.Rel(text, 21, dataSym, R_386_PC32);
  elf.Rel(data, 0, dataSym, R_386_32);        // a pointer inside the data block
  Bytes object = elf.Build();
  // The in-place addend of the literal reference.
  Built b;
  mvimage::ExportNames names;
  names.Add("Known");
  size_t textOffset = sizeof(Elf32_Ehdr);
  object[textOffset + 16] = 4;
  b.ok = mvimage::BuildImage(object, names, "MVImageEntry", &b.image, &b.errors);
  EXPECT_FALSE(b.ok);
  std::string all = Joined(b.errors);
  EXPECT_EQ(b.errors.size(), 5u) << all;
  EXPECT_NE(all.find("undefined name 'NotExported' is not exported"), std::string::npos) << all;
  EXPECT_NE(all.find("R_386_GOTOFF against 'Known' at .text+0xb"), std::string::npos) << all;
  EXPECT_NE(all.find("R_386_32 against 'mv_lit' at .text+0x10: a literal"), std::string::npos)
      << all;
  EXPECT_NE(all.find("R_386_PC32 against 'g_table' at .text+0x15"), std::string::npos) << all;
  EXPECT_NE(all.find("R_386_32 against 'g_table' at .data+0x0: a pointer inside the data block"),
            std::string::npos) << all;
}

TEST(ImageBuilder, RefusesImportsWithAddendsTheFormatCannotHold) {
  ElfWriter elf;
  int text = elf.Text(Concat({{0xE8, 0, 0, 0, 0}, {0xB8, 8, 0, 0, 0}}));
  elf.Symbol("MVImageEntry", text, 0);
  int f = elf.Symbol("F", 0, 0);
  elf.Rel(text, 1, f, R_386_PC32);  // addend 0, not -4
  elf.Rel(text, 6, f, R_386_32);    // F + 8
  Built b = Build(elf, {"F"});
  EXPECT_FALSE(b.ok);
  ASSERT_EQ(b.errors.size(), 2u) << Joined(b.errors);
  EXPECT_NE(b.errors[0].find("in-place addend 0 (only -4"), std::string::npos);
  EXPECT_NE(b.errors[1].find("in-place addend 8 (only 0"), std::string::npos);
}

TEST(ImageBuilder, RefusesMissingEntryAndUnplaceableSections) {
  ElfWriter elf;
  elf.Text({0xC3});
  elf.Section(".init_array", SHT_INIT_ARRAY, SHF_ALLOC | SHF_WRITE, Bytes(4, 0));
  elf.Section(".selfmod", SHT_PROGBITS, SHF_ALLOC | SHF_WRITE | SHF_EXECINSTR, {0xC3});
  Built b = Build(elf, {});
  EXPECT_FALSE(b.ok);
  std::string all = Joined(b.errors);
  EXPECT_NE(all.find("section .init_array cannot be placed"), std::string::npos) << all;
  EXPECT_NE(all.find("section .selfmod is writable code"), std::string::npos) << all;
}

TEST(ImageBuilder, RefusesMalformedObjectsCleanly) {
  Bytes good = SampleObject().Build();
  auto refused = [](Bytes object, const char* expect) {
    mvimage::ExportNames names;
    names.Add("TestA");
    mvimage::Image image;
    std::vector<std::string> errors;
    EXPECT_FALSE(mvimage::BuildImage(object, names, "MVImageEntry", &image, &errors)) << expect;
    ASSERT_FALSE(errors.empty()) << expect;
    EXPECT_NE(errors[0].find(expect), std::string::npos) << errors[0];
  };
  refused(Bytes(good.begin(), good.begin() + 20), "too short");
  Bytes b = good;
  b[0] = 0;
  refused(b, "not an ELF file");
  b = good;
  b[EI_CLASS] = ELFCLASS64;
  refused(b, "a 64-bit ELF file but not an x86-64 object");
  b = good;
  b[18] = EM_X86_64;
  refused(b, "not an i386");
  b = good;
  b[16] = ET_EXEC;
  refused(b, "not a relocatable");
  b = good;
  b.resize(b.size() - 8);  // the section header table runs past the end
  refused(b, "section header table lies outside");
  b = good;
  b[50] = 0xFF;            // section name table index
  b[51] = 0x7F;
  refused(b, "name table index");
  // A section whose contents lie beyond the file: the .text header's sh_size.
  b = good;
  uint32_t shoff = U32(b, 32);
  uint32_t huge = 0x7FFFFFF0;
  memcpy(&b[shoff + 40 + 20], &huge, 4);
  refused(b, "lies outside the file");
  // A relocation naming a symbol that does not exist.
  ElfWriter elf;
  int text = elf.Text(kCall);
  elf.Symbol("MVImageEntry", text, 0);
  elf.Rel(text, 1, 99, R_386_PC32);
  refused(elf.Build(), "names a symbol that does not exist");
}

TEST(ImageBuilder, PluginResourceAndVersionOptionsRecords) {
  Bytes block = mvimage::PluginResourceBlock({0x7F, 'E', 'L', 'F'});
  Bytes expected = {'l', 'P', 'V', 'M', 0xFF, 0xFF, 0, 0, 0, 0, 18, 0, 0, 0, 13};
  const char* name = "libMVShell.so";
  expected.insert(expected.end(), name, name + 13);
  expected.insert(expected.end(), {0x7F, 'E', 'L', 'F'});
  EXPECT_EQ(block, expected);

  Bytes options = mvimage::VersionOptionsBlock();
  ASSERT_EQ(options.size(), 28u);
  EXPECT_EQ(options[0], 2);
  EXPECT_EQ(options[1], 1);
  for (size_t i = 2; i < 28; i++) EXPECT_EQ(options[i], 0) << i;
}

}  // namespace

namespace {

// --- x86-64 objects ------------------------------------------------------------------------

const Bytes kCallSlot = {0xFF, 0x15, 0, 0, 0, 0};        // call *x@GOTPCREL(%rip)
const Bytes kMovSlot = {0x48, 0x8B, 0x05, 0, 0, 0, 0};   // mov x@GOTPCREL(%rip), %rax
const Bytes kLea = {0x48, 0x8D, 0x05, 0, 0, 0, 0};       // lea x(%rip), %rax
const Bytes kCall64 = {0xE8, 0, 0, 0, 0};                // call x

Bytes Literal64(const std::string& text) {
  Bytes r;
  uint32_t head[7] = {1, 0, 0, 0, static_cast<uint32_t>(text.size() + 2),
                      static_cast<uint32_t>(text.size()), 0x08000100u};
  ElfWriter::Append(&r, head, sizeof head);
  r.push_back(static_cast<uint8_t>(text.size()));
  r.insert(r.end(), text.begin(), text.end());
  r.push_back(0);
  while (r.size() % 8) r.push_back(0);
  return r;
}

int32_t I32(const Bytes& b, size_t at) { return static_cast<int32_t>(U32(b, at)); }

// The code refers to the runtime through its slot and through a stub, to its own data,
// literals and functions RIP-relative, and relaxes a GOT load of its own function.
TEST(ImageBuilderX86_64, SlotsStubsRipRelativeReferencesAndTheMachineTag) {
  ElfWriter elf(true);
  //  0 call *TestA slot | 6 call TestB | 11 mov TestA slot | 18 lea .data+4 | 25 lea literal
  // 32 call Helper | 37 mov Helper (relaxed) | 44 ret | 45 Helper: ret
  int text = elf.Text(Concat({kCallSlot, kCall64, kMovSlot, kLea, kLea, kCall64, kMovSlot,
                              {0xC3}, {0xC3}}));
  int data = elf.Data(".data", Bytes(8, 0x11));
  int lit = elf.Data("mv_lit", Concat({Literal64("hi"), Literal64("there")}));
  elf.Symbol("MVImageEntry", text, 0);
  int helper = elf.Symbol("Helper", text, 45, STT_FUNC, STB_LOCAL);
  int a = elf.Symbol("TestA", 0, 0);
  int bName = elf.Symbol("TestB", 0, 0);
  int dataSym = elf.Symbol(".data", data, 0, STT_SECTION, STB_LOCAL);
  int litSym = elf.Symbol("mv_lit", lit, 0, STT_SECTION, STB_LOCAL);
  elf.Rel(text, 2, a, R_X86_64_GOTPCRELX, -4);
  elf.Rel(text, 7, bName, R_X86_64_PLT32, -4);
  elf.Rel(text, 14, a, R_X86_64_REX_GOTPCRELX, -4);
  elf.Rel(text, 21, dataSym, R_X86_64_PC32, 4 - 4);
  elf.Rel(text, 28, litSym, R_X86_64_PC32, -4);
  elf.Rel(text, 33, helper, R_X86_64_PLT32, -4);
  elf.Rel(text, 40, helper, R_X86_64_REX_GOTPCRELX, -4);
  Built b = Build(elf, {"testa", "TESTB"});
  ASSERT_TRUE(b.ok) << Joined(b.errors);
  EXPECT_EQ(b.image.machine, EM_X86_64);
  const Bytes& code = b.image.code;
  // The entry jump, the object's 46 bytes, then one stub: jmp *TestB slot(%rip).
  ASSERT_EQ(code.size(), 5u + 46u + 6u);
  EXPECT_EQ(code[0], 0xE9);
  const uint32_t stub = 51, dataBase = 4096;  // the data block at the page after the code
  EXPECT_EQ(code[stub], 0xFF);
  EXPECT_EQ(code[stub + 1], 0x25);
  // Slots in name order from data offset 0: TestA at 0, TestB at 8. Each field holds
  // the distance from its end to its goal.
  auto goal = [&](uint32_t field) { return static_cast<int64_t>(field) + 4 + I32(code, field); };
  EXPECT_EQ(goal(5 + 2), dataBase + 0);
  EXPECT_EQ(goal(5 + 7), stub);
  EXPECT_EQ(goal(stub + 2), dataBase + 8);
  EXPECT_EQ(goal(5 + 14), dataBase + 0);
  // Data proper starts at the page after the slots: .data, then the literals.
  const uint32_t proper = dataBase + 4096;
  EXPECT_EQ(goal(5 + 21), proper + 4);
  EXPECT_EQ(goal(5 + 28), proper + 8);
  EXPECT_EQ(goal(5 + 33), 5 + 45);
  // The GOT load of Helper became lea Helper(%rip).
  EXPECT_EQ(code[5 + 12], 0x8B);  // the runtime name's load stays a load of its slot
  EXPECT_EQ(code[5 + 38], 0x8D);
  EXPECT_EQ(goal(5 + 40), 5 + 45);
  ASSERT_EQ(b.image.data.size(), 4096u + 8u + 32u + 40u);
  EXPECT_EQ(Bytes(b.image.data.begin(), b.image.data.begin() + 4096), Bytes(4096, 0));

  Bytes expected = {1, 2, 0, 0, 0, 0, 5, 'T', 'e', 's', 't', 'A', 0,   // slot 0
                    1, 2, 8, 0, 0, 0, 5, 'T', 'e', 's', 't', 'B', 0,   // slot 1
                    6, 8, 16, 0, 0,                                    // literal at 4096 + 8
                    6, 40, 16, 0, 0};                                  // literal at 4096 + 40
  EXPECT_EQ(b.image.imports, expected);

  Bytes section = mvimage::SerializeImage(b.image);
  EXPECT_EQ(Bytes(section.begin(), section.begin() + 12),
            (Bytes{0xFF, 0xFF, 0xFF, 0xFF, 62, 0, 0, 0, 57, 0, 0, 0}));
  Bytes loose = mvimage::LooseCodeFile(b.image);
  EXPECT_EQ(Bytes(loose.begin(), loose.begin() + 8), (Bytes{0xFF, 0xFF, 0xFF, 0xFF, 62, 0, 0, 0}));
  EXPECT_EQ(Bytes(loose.begin() + 8, loose.end()), code);
}

// A `call *x@GOTPCREL` and a `jmp *x@GOTPCREL` of a name the image defines become direct.
TEST(ImageBuilderX86_64, RelaxesCallsAndJumpsThroughTheGot) {
  ElfWriter elf(true);
  int text = elf.Text(Concat({kCallSlot, {0xFF, 0x25, 0, 0, 0, 0}, {0xC3}}));
  elf.Symbol("MVImageEntry", text, 0);
  int target = elf.Symbol("Target", text, 12);
  elf.Rel(text, 2, target, R_X86_64_GOTPCRELX, -4);
  elf.Rel(text, 8, target, R_X86_64_GOTPCRELX, -4);
  Built b = Build(elf, {});
  ASSERT_TRUE(b.ok) << Joined(b.errors);
  const Bytes& code = b.image.code;
  EXPECT_EQ(Bytes(code.begin() + 5, code.begin() + 7), (Bytes{0x67, 0xE8}));  // addr32 call
  EXPECT_EQ(static_cast<int64_t>(5 + 6) + I32(code, 7), 5 + 12);
  EXPECT_EQ(code[11], 0xE9);  // jmp, its displacement a byte earlier, then a nop
  EXPECT_EQ(code[16], 0x90);
  EXPECT_EQ(static_cast<int64_t>(5 + 11) + I32(code, 12), 5 + 12);
}

// Every relocation the x86-64 image cannot hold is refused by name, with its symbol and
// place, and nothing is built.
TEST(ImageBuilderX86_64, RefusesEachRelocationItCannotPlace) {
  struct Case {
    uint32_t type;
    bool defined;     // against a function of the image, or a runtime name
    Bytes code;       // the field at offset 3
    const char* expect;
  };
  const char* kCannot = ": this relocation type cannot be expressed in the code image";
  const Case cases[] = {
      {R_X86_64_64, true, Bytes(11, 0x90), kCannot},
      {R_X86_64_32, true, Bytes(11, 0x90), kCannot},
      {R_X86_64_32S, true, Bytes(11, 0x90), kCannot},
      {R_X86_64_16, true, Bytes(11, 0x90), kCannot},
      {R_X86_64_PC16, true, Bytes(11, 0x90), kCannot},
      {R_X86_64_8, true, Bytes(11, 0x90), kCannot},
      {R_X86_64_PC8, true, Bytes(11, 0x90), kCannot},
      {R_X86_64_PC64, true, Bytes(11, 0x90), kCannot},
      {R_X86_64_GOT32, false, Bytes(11, 0x90), kCannot},
      {R_X86_64_GOTOFF64, true, Bytes(11, 0x90), kCannot},
      {R_X86_64_GOTPC32, true, Bytes(11, 0x90), kCannot},
      {R_X86_64_TPOFF32, true, Bytes(11, 0x90), kCannot},
      {R_X86_64_GOTTPOFF, false, Bytes(11, 0x90), kCannot},
      {R_X86_64_TLSGD, false, Bytes(11, 0x90), kCannot},
      {R_X86_64_TLSLD, false, Bytes(11, 0x90), kCannot},
      {R_X86_64_DTPOFF32, true, Bytes(11, 0x90), kCannot},
      {R_X86_64_SIZE32, true, Bytes(11, 0x90), kCannot},
      {R_X86_64_GOTPCREL, true, Concat({{0x90}, kMovSlot, {0xC3, 0xC3, 0xC3}}),
       ": a GOT load of a name the image defines that cannot be relaxed"},
      {R_X86_64_REX_GOTPCRELX, true, Concat({{0x90}, {0x48, 0x03, 0x05, 0, 0, 0, 0}, {0xC3, 0xC3, 0xC3}}),
       ": a GOT load of a name the image defines that cannot be relaxed"},
      {R_X86_64_GOTPCRELX, true, Concat({{0x90}, {0x8B, 0x05, 0, 0, 0, 0}, {0xC3, 0xC3, 0xC3, 0xC3}}),
       ": a GOT load of a name the image defines that cannot be relaxed"},
      {R_X86_64_PC32, false, Concat({{0x90}, kLea, {0xC3, 0xC3, 0xC3}}),
       ": a runtime name is reached only by a call or through its slot"},
  };
  for (const Case& c : cases) {
    ElfWriter elf(true);
    int text = elf.Text(c.code);
    elf.Symbol("MVImageEntry", text, 0);
    int sym = c.defined ? elf.Symbol("Own", text, 10) : elf.Symbol("Known", 0, 0);
    elf.Rel(text, 3, sym, c.type, -4);
    Built b = Build(elf, {"Known"});
    EXPECT_FALSE(b.ok) << c.type;
    ASSERT_EQ(b.errors.size(), 1u) << c.type << "\n" << Joined(b.errors);
    const std::string& e = b.errors[0];
    EXPECT_EQ(e.compare(0, 9, "R_X86_64_"), 0) << e;
    EXPECT_NE(e.find(std::string(" against '") + (c.defined ? "Own" : "Known") + "' at .text+0x3" +
                     c.expect),
              std::string::npos)
        << e;
  }
  // A pointer in the data block, and REL relocations, which x86-64 objects do not use.
  ElfWriter elf(true);
  int text = elf.Text({0xC3});
  int data = elf.Data(".data", Bytes(8, 0));
  elf.Symbol("MVImageEntry", text, 0);
  int table = elf.Symbol("g_table", data, 0, STT_OBJECT);
  elf.Rel(data, 0, table, R_X86_64_64);
  Built b = Build(elf, {});
  EXPECT_EQ(Joined(b.errors), "R_X86_64_64 against 'g_table' at .data+0x0: a pointer inside the "
                              "data block cannot be fixed by the loader\n");
}

}  // namespace
