// The loader: reading the image from a ".mv" section and from the loose files, applying
// the import table, walking the options block, and running a real (test) image.
#include <errno.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "runtime/core/objects/exception.h"
#include "runtime/core/objects/image_format.h"
#include "runtime/core/process/image_machine.h"
#include "runtime/core/process/loader.h"
#include "runtime/core/process/resources.h"
#include "runtime/core/objects/symbols.h"
#include "runtime/values/string.h"
#include "tools/image_builder.h"
#include "tests/emulation.h"

namespace {

int g_addCalls = 0;

extern "C" int32_t TestAddImpl(int32_t a, int32_t b) {
  g_addCalls++;
  return a + b;
}
extern "C" int32_t TestMixedCaseImpl(int32_t v) { return v * 1000; }
extern "C" int32_t TestTakeStringImpl(MVString* s) {
  // A literal is a valid runtime string once linked: its text pointer at its length byte.
  if (!s || s->buffer != s->inlineBuf || s->buffer[0] != s->length) return -1;
  return std::string(reinterpret_cast<const char*>(MVStringBytes(s))) == "abc" ? 3 : -2;
}

using Bytes = std::vector<uint8_t>;

Bytes ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

Bytes Of(const uint8_t* p, uint32_t n) { return p ? Bytes(p, p + n) : Bytes(); }

// The bytes before an image's first block: its machine tag on x86-64, none on i386.
#if defined(__x86_64__)
const uint32_t kTagSize = MV_MACHINE_TAG_SIZE;
const Bytes kTag = {0xFF, 0xFF, 0xFF, 0xFF, MV_MACHINE_X86_64, 0, 0, 0};
#else
const uint32_t kTagSize = 0;
const Bytes kTag = {};
#endif

uint32_t U32(const uint8_t* p) {
  uint32_t v;
  memcpy(&v, p, 4);
  return v;
}

const MVExportRow kRows[] = {
    {nullptr, reinterpret_cast<void*>(&TestMixedCaseImpl), {0, 0}},  // null names are skipped
    {"TestAdd", reinterpret_cast<void*>(&TestAddImpl), {0, 0}},
    {"testMIXEDcase", reinterpret_cast<void*>(&TestMixedCaseImpl), {0, 0}},
    {"TestTakeString", reinterpret_cast<void*>(&TestTakeStringImpl), {0, 0}},
    {"TestAdd", reinterpret_cast<void*>(&TestMixedCaseImpl), {0, 0}},  // the first match wins
};
const uint32_t kRowCount = sizeof kRows / sizeof kRows[0];

// The fixture image, loaded from its ".mv" section and linked against kRows once.
class FixtureImage : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    image_ = new MVLoadedImage;
    std::string problem;
    source_ = MVLoadImageFile(MV_FIXTURE_DIR "/fixture.elf", image_, &problem);
    if (source_ != MVImageSource::kLoaded) return;
    testing::internal::CaptureStdout();
    MVApplyImportTable(image_->imports, image_->importsSize, image_->code, image_->codeSize,
                       image_->data, image_->dataSize, kRows, kRowCount);
    sealed_ = MVSealImage(*image_);
    linkOutput_ = new std::string(testing::internal::GetCapturedStdout());
  }

  void SetUp() override { ASSERT_EQ(source_, MVImageSource::kLoaded); }

  // The address of an image function, by the symbols block.
  template <typename F>
  F Function(const char* name) {
    const uint8_t* sym = image_->symbols;
    uint32_t n = U32(sym);
    for (uint32_t i = 0; i < n; i++) {
      const char* s = reinterpret_cast<const char*>(sym + 4 + 8 * n + U32(sym + 8 + 8 * i));
      if (strcmp(s, name) == 0) return reinterpret_cast<F>(image_->code + U32(sym + 4 + 8 * i));
    }
    ADD_FAILURE() << name << " not in the symbols block";
    return nullptr;
  }

  static MVLoadedImage* image_;
  static MVImageSource source_;
  static std::string* linkOutput_;
  static bool sealed_;
};
MVLoadedImage* FixtureImage::image_;
MVImageSource FixtureImage::source_;
std::string* FixtureImage::linkOutput_;
bool FixtureImage::sealed_;

// The permissions ("r-xp" and the like) of the mapping holding `address`.
std::string MappingOf(const void* address) {
  std::ifstream maps("/proc/self/maps");
  uintptr_t at = reinterpret_cast<uintptr_t>(address);
  std::string line;
  while (std::getline(maps, line)) {
    unsigned long start = 0, end = 0;
    char perms[8] = {0};
    if (sscanf(line.c_str(), "%lx-%lx %4s", &start, &end, perms) == 3 && at >= start && at < end)
      return perms;
  }
  return "";
}

TEST_F(FixtureImage, SectionHoldsWhatTheBuilderWrites) {
  mvimage::ExportNames names;
  for (const char* n : {"TestAdd", "testMIXEDcase", "TestTakeString", "TestMissing"}) names.Add(n);
  mvimage::Image built;
  std::vector<std::string> errors;
  ASSERT_TRUE(mvimage::BuildImage(ReadAll(MV_FIXTURE_DIR "/fixture.o"), names, "MVImageEntry",
                                  &built, &errors));
  EXPECT_EQ(Of(image_->imports, image_->importsSize), built.imports);
  EXPECT_EQ(Of(image_->symbols, image_->symbolsSize), built.symbols);
  EXPECT_EQ(Of(image_->options, image_->optionsSize), mvimage::VersionOptionsBlock());
  EXPECT_EQ(Of(image_->resources, image_->resourcesSize),
            mvimage::PluginResourceBlock(ReadAll(MV_FIXTURE_EXPORTS)));
  EXPECT_EQ(image_->codeSize, built.code.size());
  EXPECT_EQ(Of(image_->data, image_->dataSize).size(), built.data.size());
  EXPECT_EQ(reinterpret_cast<uintptr_t>(image_->code) % 4096, 0u);
  // The resource bytes start in the file where the loader says they do.
  Bytes file = ReadAll(MV_FIXTURE_DIR "/fixture.elf");
  ASSERT_LE(image_->resourcesFileOffset + image_->resourcesSize, file.size());
  EXPECT_EQ(Bytes(file.begin() + image_->resourcesFileOffset,
                  file.begin() + image_->resourcesFileOffset + image_->resourcesSize),
            mvimage::PluginResourceBlock(ReadAll(MV_FIXTURE_EXPORTS)));
}

TEST_F(FixtureImage, EntryRunsThroughChainedAndCaseInsensitiveImports) {
  g_addCalls = 0;
  auto entry = reinterpret_cast<int32_t (*)()>(image_->code);
  EXPECT_EQ(entry(), 333 + 5000);
  EXPECT_EQ(g_addCalls, 3);
  EXPECT_EQ(Function<void* (*)()>("AddressOfTestAdd")(), reinterpret_cast<void*>(&TestAddImpl));
}

TEST_F(FixtureImage, DataCodeAndLiteralReferencesAreRelocated) {
  int32_t* counter = Function<int32_t* (*)()>("CounterAddress")();
  EXPECT_GE(reinterpret_cast<uint8_t*>(counter), image_->data);
  EXPECT_LT(reinterpret_cast<uint8_t*>(counter), image_->data + image_->dataSize);
  int32_t before = *counter;
  EXPECT_EQ(Function<int32_t (*)()>("Bump")(), before + 1);
  EXPECT_EQ(*counter, before + 1);
  EXPECT_EQ(Function<int32_t (*)()>("ZeroSum")(), 0);
  EXPECT_EQ(Function<int32_t (*)()>("Prime")(), 5);
  EXPECT_EQ(Function<int32_t (*)(int32_t)>("ApplyPicked")(7), 21);

  MVString* hello = Function<MVString* (*)()>("Hello")();
  EXPECT_EQ(hello->refCount, 1u);
  EXPECT_EQ(hello->buffer, hello->inlineBuf);
  EXPECT_EQ(hello->length, 5u);
  EXPECT_EQ(hello->encoding, kEncodingUTF8);
  EXPECT_STREQ(reinterpret_cast<const char*>(MVStringBytes(hello)), "hello");
  EXPECT_EQ(Function<int32_t (*)()>("PassLiteral")(), 3);
}

// The code block is filled and linked in writable pages of its own, and runs from pages
// that are readable and executable only; the data block is never executable (on x86-64
// its slot page is read-only once linked, and it lies a page boundary after the code).
TEST_F(FixtureImage, CodeIsWritableOnlyUntilLinkedAndDataNeverExecutable) {
  EXPECT_TRUE(sealed_);
  EXPECT_EQ(MappingOf(image_->code), "r-xp");
  EXPECT_EQ(MappingOf(image_->code + image_->codeSize - 1), "r-xp");
#if defined(__x86_64__)
  EXPECT_EQ(image_->data, image_->code + (image_->codeSize + 4095) / 4096 * 4096);
  EXPECT_EQ(MappingOf(image_->data), "r--p");
  EXPECT_EQ(MappingOf(image_->data + MV_PAGE_SIZE), "rw-p");
#else
  EXPECT_EQ(MappingOf(image_->data), "rw-p");
#endif

  MVLoadedImage fresh;
  std::string problem;
  ASSERT_EQ(MVLoadImageFile(MV_FIXTURE_DIR "/fixture.elf", &fresh, &problem),
            MVImageSource::kLoaded);
  EXPECT_EQ(MappingOf(fresh.code), "rw-p");
  EXPECT_EQ(reinterpret_cast<uintptr_t>(fresh.code) % 4096, 0u);
  EXPECT_NE(fresh.code, image_->code);
}

TEST(CodeBlock, ARefusedProtectionIsReportedAndFails) {
  if (RunningEmulated()) GTEST_SKIP() << "the emulator keeps unmapped pages of its own";
  uint8_t* block = MVAllocateCodeBlock(10);
  ASSERT_EQ(munmap(block, 4096), 0);  // nothing mapped there any more: mprotect refuses
  testing::internal::CaptureStdout();
  EXPECT_FALSE(MVProtectCodeBlock(block, 10));
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "Loader failed to protect memory, error #" + std::to_string(ENOMEM) + "\n");
}

TEST_F(FixtureImage, UnknownNameIsReportedOnceAndRaisesWhenCalled) {
  const std::string report =
      "Runtime Error 4:Failed Assertion\n\nPlease report what caused this error\nalong with the "
      "information below.\n\n../Common/loaderX86: 211\nFailure Condition: foundFunction\n"
      "Function 'TestMissing' was not exported\n\n";
  EXPECT_EQ(*linkOutput_, report);
  MVWord result = 12345;
  MVObject* e = MVProtectedCall(Function<void*>("CallMissing"), 0, 0, 0, &result);
  ASSERT_NE(e, nullptr);
  EXPECT_TRUE(RuntimeObjectIsa(e, MVFunctionNotFoundExceptionClass()));
  RuntimeUnlockObject(e);
}

TEST_F(FixtureImage, SymbolsNameAddressesStrictlyAboveAFunctionsStart) {
  MVSetImageSymbols(reinterpret_cast<uintptr_t>(image_->code), image_->codeSize, image_->symbols,
                    image_->symbolsSize);
  uint8_t* bump = Function<uint8_t*>("Bump");
  const char* name = nullptr;
  uint32_t distance = 0;
  ASSERT_TRUE(MVNameCodeAddress(reinterpret_cast<uintptr_t>(bump + 3), &name, &distance));
  EXPECT_STREQ(name, "Bump");
  EXPECT_EQ(distance, 3u);
  ASSERT_TRUE(MVNameCodeAddress(reinterpret_cast<uintptr_t>(bump), &name, &distance));
  EXPECT_STRNE(name, "Bump");
  EXPECT_FALSE(MVNameCodeAddress(reinterpret_cast<uintptr_t>(image_->code + image_->codeSize),
                                 &name, &distance));
  MVSetImageSymbols(0, 0, nullptr, 0);
}

TEST_F(FixtureImage, LooseFilesHoldTheSameBlocks) {
  char cwd[4096];
  ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
  ASSERT_EQ(chdir(MV_FIXTURE_DIR "/fixture_loose"), 0);
  MVLoadedImage loose;
  std::string looseProblem;
  MVLoadLooseImage(&loose, &looseProblem);
  ASSERT_EQ(chdir(cwd), 0);
  EXPECT_EQ(looseProblem, "");
  Bytes section = ReadAll(MV_FIXTURE_DIR "/fixture.mvimage");
  // The section's code block, unlinked, is code.dat without its tag.
  EXPECT_EQ(Bytes(section.begin(), section.begin() + kTagSize), kTag);
  uint32_t codeSize = U32(section.data() + kTagSize);
  EXPECT_EQ(Of(loose.code, loose.codeSize),
            Bytes(section.begin() + kTagSize + 4, section.begin() + kTagSize + 4 + codeSize));
  Bytes codeFile = ReadAll(MV_FIXTURE_DIR "/fixture_loose/code.dat");
  EXPECT_EQ(Bytes(codeFile.begin(), codeFile.begin() + kTagSize), kTag);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(loose.code) % 4096, 0u);
  EXPECT_EQ(Of(loose.imports, loose.importsSize), Of(image_->imports, image_->importsSize));
  EXPECT_EQ(Of(loose.symbols, loose.symbolsSize), Of(image_->symbols, image_->symbolsSize));
  EXPECT_EQ(Of(loose.resources, loose.resourcesSize), Of(image_->resources, image_->resourcesSize));
  EXPECT_EQ(Of(loose.options, loose.optionsSize), Of(image_->options, image_->optionsSize));
  EXPECT_EQ(loose.resourcesFileOffset, 0u);
  EXPECT_EQ(loose.dataSize, image_->dataSize);
  EXPECT_NE(loose.data, nullptr);
}

TEST(LooseImage, MissingFilesGiveEmptyBlocks) {
  char cwd[4096];
  ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
  char dir[] = "/tmp/mvloose-XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  ASSERT_EQ(chdir(dir), 0);
  { std::ofstream(std::string(dir) + "/options.dat"); }  // empty: no buffer
  MVLoadedImage loose;
  std::string looseProblem;
  MVLoadLooseImage(&loose, &looseProblem);
  ASSERT_EQ(chdir(cwd), 0);
  unlink((std::string(dir) + "/options.dat").c_str());
  rmdir(dir);
  EXPECT_EQ(loose.codeSize, 0u);
  EXPECT_EQ(loose.importsSize, 0u);
  EXPECT_EQ(loose.options, nullptr);
  EXPECT_EQ(loose.optionsSize, 0u);
}

// --- Hand-made tables -----------------------------------------------------------------

struct Table {
  Bytes b;
  Table& Op(uint8_t v) { return b.push_back(v), *this; }
  Table& U32(uint32_t v) {
    for (int i = 0; i < 4; i++) b.push_back(static_cast<uint8_t>(v >> (8 * i)));
    return *this;
  }
  Table& Name(const std::string& s) {
    b.push_back(static_cast<uint8_t>(s.size()));
    b.insert(b.end(), s.begin(), s.end());
    return Op(0);
  }
};

#if !defined(__x86_64__)
uint32_t Field(const uint8_t* code, uint32_t at) { return U32(code + at); }
void SetField(uint8_t* code, uint32_t at, uint32_t v) { memcpy(code + at, &v, 4); }
#endif

std::string Apply(const Table& t, uint8_t* code, uint32_t codeSize, uint8_t* data,
                  uint32_t dataSize) {
  testing::internal::CaptureStdout();
  MVApplyImportTable(t.b.data(), static_cast<uint32_t>(t.b.size()), code, codeSize, data, dataSize,
                     kRows, kRowCount);
  return testing::internal::GetCapturedStdout();
}

#if defined(__x86_64__)
// x86-64: slot records fill their slot in the data block with the function's address
// (letter case ignored, the first row winning), literal records set a literal's text
// pointer when it is 0; zero bytes and opcodes 7-255 do nothing; the code is not touched.
TEST(ImportTable, SlotsAndLiteralsAreFilledAndTheCodeIsNotTouched) {
  uint8_t code[16] = {0};
  alignas(8) uint8_t data[96] = {0};
  const uintptr_t preset = 0xABCD1234;
  memcpy(data + 64 + MV_LITERAL_TEXT_POINTER, &preset, sizeof preset);
  Table t;
  t.Op(0).Op(1).Op(MV_IMPORT_KIND_SLOT).U32(0).Name("TESTADD").Op(0).Op(7);
  t.Op(1).Op(MV_IMPORT_KIND_SLOT).U32(8).Name("testmixedcase");
  t.Op(6).U32(16).Op(6).U32(64);
  EXPECT_EQ(Apply(t, code, sizeof code, data, sizeof data), "");
  void* slot[2];
  memcpy(slot, data, sizeof slot);
  EXPECT_EQ(slot[0], reinterpret_cast<void*>(&TestAddImpl));
  EXPECT_EQ(slot[1], reinterpret_cast<void*>(&TestMixedCaseImpl));
  uintptr_t text[2];
  memcpy(&text[0], data + 16 + MV_LITERAL_TEXT_POINTER, sizeof text[0]);
  memcpy(&text[1], data + 64 + MV_LITERAL_TEXT_POINTER, sizeof text[1]);
  EXPECT_EQ(text[0], reinterpret_cast<uintptr_t>(data + 16 + MV_LITERAL_TEXT));
  EXPECT_EQ(text[1], preset);
  EXPECT_EQ(Bytes(code, code + sizeof code), Bytes(sizeof code, 0));
}

TEST(ImportTable, UnknownNamesAreReportedAndTheirSlotsRaise) {
  alignas(8) uint8_t data[16] = {0};
  Table t;
  t.Op(1).Op(MV_IMPORT_KIND_SLOT).U32(0).Name("Nowhere");
  t.Op(1).Op(MV_IMPORT_KIND_SLOT).U32(8).Name("Gone");
  std::string out = Apply(t, nullptr, 0, data, sizeof data);
  EXPECT_NE(out.find("Function 'Nowhere' was not exported\n"), std::string::npos) << out;
  EXPECT_NE(out.find("Function 'Gone' was not exported\n"), std::string::npos) << out;
  void* slot[2];
  memcpy(slot, data, sizeof slot);
  EXPECT_EQ(slot[0], reinterpret_cast<void*>(&MVUnlinkedImport));
  EXPECT_EQ(slot[1], reinterpret_cast<void*>(&MVUnlinkedImport));
  MVResetLinkState();
}

// Each damaged record is reported, ends the pass and fails it; nothing is written
// outside the data block, and a record that would patch the code is refused.
TEST(ImportTable, ADamagedRecordIsReportedAndEndsThePass) {
  struct Case {
    const char* what;
    Table table;
    const char* report;
  };
  Table slot, literal, truncated, code, kind;
  slot.Op(1).Op(MV_IMPORT_KIND_SLOT).U32(12).Name("TestAdd").Op(6).U32(0);
  literal.Op(6).U32(8).Op(1).Op(MV_IMPORT_KIND_SLOT).U32(0).Name("TestAdd");
  truncated.Op(1).Op(MV_IMPORT_KIND_SLOT).U32(0).Op(7);
  code.Op(3).U32(4).Op(1).Op(MV_IMPORT_KIND_SLOT).U32(0).Name("TestAdd");
  kind.Op(1).Op(MV_IMPORT_KIND_CALL).U32(4).Name("TestAdd");
  const Case cases[] = {
      {"slot out of the data", slot, "Slot at data offset 12 lies outside the data block"},
      {"literal out of the data", literal, "String literal at data offset 8 lies outside"},
      {"record cut off", truncated, "Import table ends inside a record"},
      {"a code address", code, "An x86-64 image patches no code field"},
      {"a call site", kind, "An x86-64 image patches no code field"},
  };
  for (const Case& c : cases) {
    uint8_t code16[16] = {0};
    alignas(8) uint8_t data[16] = {0};
    testing::internal::CaptureStdout();
    bool ok = MVApplyImportTable(c.table.b.data(), static_cast<uint32_t>(c.table.b.size()), code16,
                                 sizeof code16, data, sizeof data, kRows, kRowCount);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_FALSE(ok) << c.what;
    EXPECT_NE(out.find(c.report), std::string::npos) << c.what << "\n" << out;
    EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 9) << c.what << ": one report\n" << out;
    EXPECT_EQ(Bytes(code16, code16 + 16), Bytes(16, 0)) << c.what;
    if (c.table.b[0] != MV_IMPORT_LITERAL_RECORD) {
      EXPECT_EQ(Bytes(data, data + 16), Bytes(16, 0)) << c.what;
    }
  }
}

#else
// i386: the code fields the records name.
TEST(ImportTable, ZeroBytesAreSkippedAndTheLastRecordEndsAtTheCount) {
  uint8_t code[32] = {0};
  uint8_t data[8] = {0};
  SetField(code, 4, 12);  // chain 4 -> 12 -> end
  SetField(code, 20, 3);
  SetField(code, 24, 6);
  Table t;
  t.Op(0).Op(1).Op(1).U32(4).Name("TESTADD").Op(0).Op(0).Op(3).U32(20).Op(7).Op(2).U32(24);
  EXPECT_EQ(Apply(t, code, sizeof code, data, sizeof data), "");
  uintptr_t base = reinterpret_cast<uintptr_t>(code);
  uintptr_t add = reinterpret_cast<uintptr_t>(&TestAddImpl);
  EXPECT_EQ(Field(code, 4), static_cast<uint32_t>(add - (base + 4) - 4));
  EXPECT_EQ(Field(code, 12), static_cast<uint32_t>(add - (base + 12) - 4));
  EXPECT_EQ(Field(code, 20), static_cast<uint32_t>(base + 3));
  EXPECT_EQ(Field(code, 24), static_cast<uint32_t>(reinterpret_cast<uintptr_t>(data) + 6));
}

TEST(ImportTable, AbsoluteKindWritesTheAddress) {
  uint8_t code[16] = {0};
  Table t;
  t.Op(1).Op(0).U32(8).Name("testmixedcase");
  EXPECT_EQ(Apply(t, code, sizeof code, nullptr, 0), "");
  EXPECT_EQ(Field(code, 8), static_cast<uint32_t>(reinterpret_cast<uintptr_t>(&TestMixedCaseImpl)));
}

TEST(ImportTable, UnknownNamesAreReportedPerRecordAndLinkedToTheRaisingRoutine) {
  uint8_t code[32] = {0};
  SetField(code, 4, 8);
  SetField(code, 8, 0);
  Table t;
  t.Op(1).Op(1).U32(4).Name("Nowhere");
  t.Op(1).Op(0).U32(16).Name("Nowhere");
  t.Op(1).Op(1).U32(0).Name("Gone");
  std::string out = Apply(t, code, sizeof code, nullptr, 0);
  auto count = [&](const std::string& what) {
    size_t n = 0;
    for (size_t at = out.find(what); at != std::string::npos; at = out.find(what, at + 1)) n++;
    return n;
  };
  EXPECT_EQ(count("Function 'Nowhere' was not exported\n"), 2u);
  EXPECT_EQ(count("Function 'Gone' was not exported\n"), 1u);
  EXPECT_EQ(count("../Common/loaderX86: 211\nFailure Condition: foundFunction\n"), 3u);
  uintptr_t base = reinterpret_cast<uintptr_t>(code);
  uintptr_t stub = reinterpret_cast<uintptr_t>(&MVUnlinkedImport);
  EXPECT_EQ(Field(code, 4), static_cast<uint32_t>(stub - (base + 4) - 4));
  EXPECT_EQ(Field(code, 8), static_cast<uint32_t>(stub - (base + 8) - 4));
  EXPECT_EQ(Field(code, 16), static_cast<uint32_t>(stub));
}

TEST(ImportTable, LiteralTextPointerIsSetOnlyWhenZero) {
  uint8_t code[16] = {0};
  alignas(4) uint8_t data[64] = {0};
  SetField(code, 4, 0);    // the literal at data offset 0: text pointer 0
  SetField(code, 8, 32);   // the literal at data offset 32: text pointer already set
  SetField(data, 32 + 4, 0xABCD1234);
  Table t;
  t.Op(5).U32(4).Op(5).U32(8);
  EXPECT_EQ(Apply(t, code, sizeof code, data, sizeof data), "");
  EXPECT_EQ(Field(code, 4), static_cast<uint32_t>(reinterpret_cast<uintptr_t>(data)));
  EXPECT_EQ(Field(code, 8), static_cast<uint32_t>(reinterpret_cast<uintptr_t>(data + 32)));
  EXPECT_EQ(Field(data, 4), static_cast<uint32_t>(reinterpret_cast<uintptr_t>(data + 20)));
  EXPECT_EQ(Field(data, 36), 0xABCD1234u);
}

// Each damaged record is reported, ends the pass and fails it: nothing after it is
// applied, and nothing is written outside the code block.
TEST(ImportTable, ADamagedRecordIsReportedAndEndsThePass) {
  struct Case {
    const char* what;
    Table table;
    const char* report;
  };
  auto chainOut = [] {  // a chain leaving the code block
    Table t;
    return t.Op(1).Op(1).U32(4).Name("TestAdd");
  };
  auto loop = [] {  // sites 4 -> 8 -> 4 ...: each rewritten with the value 8, a site again
    Table t;
    return t.Op(1).Op(0).U32(4).Name("Eight");
  };
  const MVExportRow rows[] = {kRows[1], {"Eight", reinterpret_cast<void*>(8), {0, 0}}};
  Table site, literal, truncated, library;
  site.Op(3).U32(14).Op(2).U32(8);
  literal.Op(5).U32(0).Op(2).U32(8);
  truncated.Op(2).U32(8).Op(1).Op(1).U32(0);
  library.Op(4).U32(0).Name("libm.so.6");
  const Case cases[] = {
      {"chain out of the code", chainOut(), "Code offset 400 lies outside the code block"},
      {"site out of the code", site, "Code offset 14 lies outside the code block"},
      {"literal out of the data", literal, "String literal at data offset 0 lies outside"},
      {"record cut off", truncated, "Import table ends inside a record"},
      {"library record cut off", library, "Import table ends inside a record"},
      {"chain that never ends", loop(), "A chain of call sites does not end"},
  };
  for (const Case& c : cases) {
    uint8_t code[16] = {0};
    SetField(code, 4, c.table.b[1] == 0 ? 8 : 400);
    SetField(code, 8, 4);
    testing::internal::CaptureStdout();
    bool ok = MVApplyImportTable(c.table.b.data(), static_cast<uint32_t>(c.table.b.size()), code,
                                 sizeof code, nullptr, 0, rows, 2);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_FALSE(ok) << c.what;
    EXPECT_NE(out.find(c.report), std::string::npos) << c.what << "\n" << out;
    EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 9) << c.what << ": one report\n" << out;
  }
  // The record after a damaged one is not applied.
  uint8_t code[16] = {0};
  testing::internal::CaptureStdout();
  EXPECT_FALSE(MVApplyImportTable(site.b.data(), static_cast<uint32_t>(site.b.size()), code,
                                  sizeof code, nullptr, 0, kRows, kRowCount));
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(Field(code, 8), 0u);
}

#endif

TEST(Options, VersionRecordIsRegisteredAsA27ByteResource) {
  uint32_t before = MVResourceCount();
  Bytes options = mvimage::VersionOptionsBlock();
  MVWalkOptions(options.data(), static_cast<uint32_t>(options.size()));
  ASSERT_EQ(MVResourceCount(), before + 1);
  const MVResource* r = MVResourceAt(before);
  EXPECT_EQ(r->type, 0x56455253u);
  EXPECT_EQ(r->id, 0u);
  EXPECT_EQ(r->size, 27u);
  EXPECT_EQ(r->data, options.data() + 1);
  EXPECT_EQ(r->fileOffset, 0u);
}

TEST(Options, SkipsOpcodeOneReportsUnknownOpcodesAndStopsAtATruncatedRecord) {
  uint32_t before = MVResourceCount();
  Bytes options = {1, 2, 1, 0, 0, 0, 0, 0, 0, 0, 0,  // 2 x 1 x 4 bytes skipped
                   9,                                // unknown: reported, next byte
                   2, 7};                            // 24 bytes from the 7 on
  options.resize(options.size() + 23, 0);
  // Strings "ab", "" and "c": a record of 24 + 6 bytes; then one running past the block.
  options.insert(options.end(), {2, 'a', 'b', 0, 1, 'c', 2, 0, 0});
  testing::internal::CaptureStdout();
  MVWalkOptions(options.data(), static_cast<uint32_t>(options.size()));
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_NE(out.find("../Common/loaderX86: 431\nFailure Condition: 0\n"), std::string::npos) << out;
  ASSERT_EQ(MVResourceCount(), before + 1);
  EXPECT_EQ(MVResourceAt(before)->size, 30u);
  EXPECT_EQ(MVResourceAt(before)->data[0], 7);
}

TEST(Symbols, AnEntryAppliesStrictlyAboveItsStart) {
  Bytes sym = {2, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 100, 0, 0, 0, 2, 0, 0, 0, 'A', 0, 'B', 0};
  uint8_t code[200];
  uintptr_t base = reinterpret_cast<uintptr_t>(code);
  MVSetImageSymbols(base, sizeof code, sym.data(), static_cast<uint32_t>(sym.size()));
  const char* name;
  uint32_t distance;
  ASSERT_TRUE(MVNameCodeAddress(base + 150, &name, &distance));
  EXPECT_STREQ(name, "B");
  EXPECT_EQ(distance, 50u);
  ASSERT_TRUE(MVNameCodeAddress(base + 100, &name, &distance));
  EXPECT_STREQ(name, "A");
  EXPECT_EQ(distance, 100u);
  MVSetImageSymbols(0, 0, nullptr, 0);
}

// --- The whole loader -----------------------------------------------------------------

TEST(RunLoader, RunsTheEntryRegistersResourcesAndIgnoresTheEntrysValue) {
  MVAddExport("TestAdd", reinterpret_cast<void*>(&TestAddImpl));
  MVAddExport("TestMixedCase", reinterpret_cast<void*>(&TestMixedCaseImpl));
  MVAddExport("TestTakeString", reinterpret_cast<void*>(&TestTakeStringImpl));
  MVAddExport("TestMissing", reinterpret_cast<void*>(&TestMixedCaseImpl));
  uint32_t before = MVResourceCount();
  g_addCalls = 0;
  testing::internal::CaptureStdout();
  int status = MVRunLoader(MV_FIXTURE_DIR "/fixture.elf");
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_EQ(status, 0);  // the entry returned 5333
  EXPECT_EQ(g_addCalls, 3);
  ASSERT_EQ(MVResourceCount(), before + 2);
  const MVResource* plugin = MVResourceAt(before);
  EXPECT_EQ(plugin->type, MV_FOURCC('M', 'V', 'P', 'l'));
  EXPECT_EQ(plugin->id, 65535u);
  Bytes file = ReadAll(MV_FIXTURE_DIR "/fixture.elf");
  ASSERT_LE(plugin->fileOffset + plugin->size, file.size());
  auto at = file.begin() + plugin->fileOffset;
  EXPECT_EQ(Bytes(at, at + plugin->size), Of(plugin->data, plugin->size));
  EXPECT_EQ(plugin->data[0], 13);  // "libMVShell.so", then the library bytes
  EXPECT_EQ(MVResourceAt(before + 1)->type, MV_FOURCC('V', 'E', 'R', 'S'));
  EXPECT_EQ(MVResourceAt(before + 1)->size, 27u);
  MVSetImageSymbols(0, 0, nullptr, 0);
}

TEST(RunLoader, WithoutAnyCodeBlockItReportsAndFails) {
  char cwd[4096];
  ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
  char dir[] = "/tmp/mvnocode-XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  ASSERT_EQ(chdir(dir), 0);
  testing::internal::CaptureStdout();
  int status = MVRunLoader("/nonexistent/ombrix");
  std::string out = testing::internal::GetCapturedStdout();
  ASSERT_EQ(chdir(cwd), 0);
  rmdir(dir);
  EXPECT_EQ(status, 1);
  const std::string report =
      "Runtime Error 4:Failed Assertion\n\nPlease report what caused this error\nalong with the "
      "information below.\n\n../Common/loaderX86: 490\nFailure Condition: exeFile\n"
      "Can't open executable /nonexistent/ombrix\n\n";
  ASSERT_EQ(out.compare(0, report.size(), report), 0) << out;
  std::string rest = out.substr(report.size());
  EXPECT_EQ(std::count(rest.begin(), rest.end(), '\n'), 1) << rest;
}

// --- The section and the blocks ---------------------------------------------------------

std::string TempFile(const Bytes& content) {
  char path[] = "/tmp/mvimage-XXXXXX";
  int fd = mkstemp(path);
  EXPECT_GE(fd, 0);
  EXPECT_EQ(write(fd, content.data(), content.size()), static_cast<ssize_t>(content.size()));
  close(fd);
  return path;
}

std::string LoadProblem(const Bytes& content, MVImageSource expected) {
  std::string path = TempFile(content);
  MVLoadedImage image;
  std::string problem;
  EXPECT_EQ(MVLoadImageFile(path.c_str(), &image, &problem), expected) << problem;
  unlink(path.c_str());
  return problem;
}

TEST(ImageSection, AnElfFileWithoutTheSectionMeansTheLooseFiles) {
  Bytes elf = ReadAll(MV_FIXTURE_DIR "/fixture.o");  // an ELF without ".mv"
  EXPECT_EQ(LoadProblem(elf, MVImageSource::kNoSection), "");
  MVLoadedImage image;
  std::string problem;
  EXPECT_EQ(MVLoadImageFile("/nonexistent/ombrix", &image, &problem), MVImageSource::kCannotOpen);
}

// The sections the loader finds in a program file.
MVImageSections SectionsOf(const Bytes& elf) {
  std::string path = TempFile(elf);
  FILE* f = fopen(path.c_str(), "rb");
  std::string problem;
  MVImageSections sections;
  EXPECT_TRUE(MVFindImageSections(f, elf.size(), &sections, &problem)) << problem;
  fclose(f);
  unlink(path.c_str());
  return sections;
}

// The ".mv" section's file offset and size, from the fixture program file.
void SectionOf(const Bytes& elf, uint64_t* offset, uint64_t* size) {
  MVImageSections sections = SectionsOf(elf);
  ASSERT_TRUE(sections.image.found);
  *offset = sections.image.offset;
  *size = sections.image.size;
}

TEST(ImageSection, BlockCountsAreBoundedByTheSectionNotTheFile) {
  Bytes elf = ReadAll(MV_FIXTURE_DIR "/fixture.elf");
  uint64_t offset = 0, size = 0;
  SectionOf(elf, &offset, &size);
  ASSERT_LT(offset + size, elf.size());  // the section headers follow the section
  const char* names[] = {"code block",    "data block",     "import table",
                         "symbols block", "resource block", "options block"};
  uint32_t at = offset + kTagSize, left = size - kTagSize;
  for (int b = 0; b < 6; b++) {
    uint32_t count = U32(&elf[at]);
    Bytes damaged = elf;
    uint32_t tooMany = left - 4 + 1;  // one byte more than the section holds
    memcpy(&damaged[at], &tooMany, 4);
    EXPECT_EQ(LoadProblem(damaged, MVImageSource::kDamaged),
              std::string("the ") + names[b] + " runs past the end of the section");
    at += 4 + count;
    left -= 4 + count;
  }
  EXPECT_EQ(LoadProblem(elf, MVImageSource::kLoaded), "");
}

TEST(ImageBlocks, TheNeededBlocksMustNotBeEmptyAndEveryCountMustBeThere) {
  auto blocks = [](std::initializer_list<uint32_t> sizes, size_t cut = 0) {
    Bytes b = kTag;
    for (uint32_t n : sizes) {
      for (int i = 0; i < 4; i++) b.push_back(static_cast<uint8_t>(n >> (8 * i)));
      b.insert(b.end(), n, 0);
    }
    b.resize(b.size() - cut);
    return b;
  };
  auto problem = [](const Bytes& section) {
    FILE* f = fmemopen(const_cast<uint8_t*>(section.data()), section.size(), "rb");
    MVLoadedImage image;
    std::string text;
    bool ok = MVReadImageBlocks(f, section.size(), 0, &image, &text);
    fclose(f);
    MVFreeImage(&image);
    return ok ? std::string("loaded") : text;
  };
  EXPECT_EQ(problem(blocks({4, 4, 4, 0, 0, 0})), "loaded");
  EXPECT_EQ(problem(blocks({0, 4, 4, 0, 0, 0})), "the code block is empty");
  EXPECT_EQ(problem(blocks({4, 0, 4, 0, 0, 0})), "the data block is empty");
  EXPECT_EQ(problem(blocks({4, 4, 0, 0, 0, 0})), "the import table is empty");
  EXPECT_EQ(problem(blocks({4, 4, 4, 0, 0, 0}, 2)),
            "the section ends inside the count of the options block");
  EXPECT_EQ(problem(blocks({4, 4, 4, 0, 0}, 0)),
            "the section ends inside the count of the options block");
}

// Where the ELF header and a section header keep what the loader reads: ELF32 for the
// i386 program, ELF64 for the x86-64 one (the fixture is an object of the machine built).
struct ElfLayout {
  size_t shoff, shentsize, shnum, shstrndx;  // in the ELF header
  size_t offset, size;                        // in a section header
  uint32_t entry;                             // a section header's size
  bool wide;                                  // offsets are u64
};
#if defined(__x86_64__)
const ElfLayout kElf = {40, 58, 60, 62, 24, 32, 64, true};
#else
const ElfLayout kElf = {32, 46, 48, 50, 16, 20, 40, false};
#endif

uint64_t Word(const Bytes& b, size_t at) {
  uint64_t v = 0;
  memcpy(&v, &b[at], kElf.wide ? 8 : 4);
  return v;
}

TEST(ImageSection, EachHeaderFaultHasItsOwnProblem) {
  Bytes elf = ReadAll(MV_FIXTURE_DIR "/fixture.elf");
  uint64_t shoff = Word(elf, kElf.shoff);
  uint16_t shnum, shstrndx;
  memcpy(&shnum, &elf[kElf.shnum], 2);
  memcpy(&shstrndx, &elf[kElf.shstrndx], 2);
  auto with = [&](size_t at, std::initializer_list<uint8_t> bytes) {
    Bytes b = elf;
    std::copy(bytes.begin(), bytes.end(), b.begin() + at);
    return b;
  };
  auto put = [&](size_t at, uint64_t v) {
    Bytes b = elf;
    memcpy(&b[at], &v, kElf.wide ? 8 : 4);
    return b;
  };
  EXPECT_EQ(LoadProblem(with(1, {'X'}), MVImageSource::kDamaged),
            "the program file is not an ELF file");
  EXPECT_EQ(LoadProblem(Bytes(10, 0x7F), MVImageSource::kDamaged),
            "the program file is not an ELF file");
  EXPECT_EQ(LoadProblem(Bytes(), MVImageSource::kDamaged), "the program file is not an ELF file");
  EXPECT_EQ(LoadProblem(with(4, {3}), MVImageSource::kDamaged),
            "the program file is neither a 32-bit nor a 64-bit ELF file");
  EXPECT_EQ(LoadProblem(with(5, {2}), MVImageSource::kDamaged),
            "the program file is not a little-endian ELF file");
  EXPECT_EQ(LoadProblem(with(kElf.shentsize, {kElf.wide ? uint8_t{40} : uint8_t{64}, 0}),
                        MVImageSource::kDamaged),
            "its section headers are not " + std::to_string(kElf.entry) + " bytes each");
  EXPECT_EQ(LoadProblem(put(kElf.shoff, elf.size() - uint64_t{kElf.entry} * shnum + 1),
                        MVImageSource::kDamaged),
            "its section table lies outside the program file");
  EXPECT_EQ(LoadProblem(with(kElf.shstrndx,
                             {static_cast<uint8_t>(shnum), static_cast<uint8_t>(shnum >> 8)}),
                        MVImageSource::kDamaged),
            "its section-name table lies outside the program file");
  EXPECT_EQ(LoadProblem(put(shoff + kElf.entry * shstrndx + kElf.size, 0xFFFFFF00),
                        MVImageSource::kDamaged),
            "its section-name table lies outside the program file");
  uint64_t offset = 0, size = 0;
  SectionOf(elf, &offset, &size);
  // The ".mv" header: the one whose offset field holds the section's offset.
  size_t mv = 0;
  for (size_t i = 0; i < shnum; i++)
    if (Word(elf, shoff + kElf.entry * i + kElf.offset) == offset) mv = shoff + kElf.entry * i;
  ASSERT_NE(mv, 0u);
  EXPECT_EQ(LoadProblem(put(mv + kElf.size, elf.size() - offset + 1), MVImageSource::kDamaged),
            "the section .mv lies outside the program file");
  EXPECT_EQ(LoadProblem(put(mv + kElf.offset, 0xFFFFFFF0), MVImageSource::kDamaged),
            "the section .mv lies outside the program file");
}

// An image of the other machine, from the section or from the loose code file, is
// refused as such before anything of it is read further: i386 images have no tag, an
// x86-64 image begins with FFFFFFFF 3E000000.
TEST(ImageSection, TheOtherMachinesImageIsRefused) {
  Bytes elf = ReadAll(MV_FIXTURE_DIR "/fixture.elf");
  uint64_t offset = 0, size = 0;
  SectionOf(elf, &offset, &size);
  auto at = [&](std::initializer_list<uint8_t> bytes) {
    Bytes b = elf;
    std::copy(bytes.begin(), bytes.end(), b.begin() + offset);
    return b;
  };
#if defined(__x86_64__)
  const char* other = "it is the image of another machine (ELF machine 3), not of x86-64";
  const char* untagged = "it is not an x86-64 image (it does not begin with the x86-64 machine tag)";
  EXPECT_EQ(LoadProblem(at({0xFF, 0xFF, 0xFF, 0xFF, 3, 0, 0, 0}), MVImageSource::kDamaged), other);
  EXPECT_EQ(LoadProblem(at({0x10, 0, 0, 0}), MVImageSource::kDamaged), untagged);
  const Bytes otherCode = {0xE9, 0, 0, 0, 0, 0xC3};  // i386 code: the entry jump
#else
  const char* other = "it is the image of another machine (ELF machine 62), not of i386";
  EXPECT_EQ(LoadProblem(at({0xFF, 0xFF, 0xFF, 0xFF, 62, 0, 0, 0}), MVImageSource::kDamaged), other);
  const Bytes otherCode = {0xFF, 0xFF, 0xFF, 0xFF, 62, 0, 0, 0, 0xE9, 0, 0, 0, 0};
#endif
  // The loose code file of the other machine, in a folder of loose files.
  char cwd[4096];
  ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
  char dir[] = "/tmp/mvloose-XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  std::string code = std::string(dir) + "/code.dat";
  { std::ofstream(code, std::ios::binary).write(reinterpret_cast<const char*>(otherCode.data()),
                                                 static_cast<std::streamsize>(otherCode.size())); }
  ASSERT_EQ(chdir(dir), 0);
  MVLoadedImage loose;
  std::string problem;
  EXPECT_FALSE(MVLoadLooseImage(&loose, &problem));
  MVFreeImage(&loose);
  ASSERT_EQ(chdir(cwd), 0);
  unlink(code.c_str());
  rmdir(dir);
#if defined(__x86_64__)
  EXPECT_EQ(problem, std::string("code.dat: ") + untagged);
#else
  EXPECT_EQ(problem, std::string("code.dat: ") + other);
#endif
}

// --- The digest --------------------------------------------------------------------------

// The file offset of the section header named `name` (0 when there is none).
size_t HeaderOf(const Bytes& elf, const char* name) {
  uint64_t shoff = Word(elf, kElf.shoff);
  uint16_t shnum, shstrndx;
  memcpy(&shnum, &elf[kElf.shnum], 2);
  memcpy(&shstrndx, &elf[kElf.shstrndx], 2);
  uint64_t names = Word(elf, shoff + kElf.entry * shstrndx + kElf.offset);
  for (size_t i = 0; i < shnum; i++)
    if (strcmp(reinterpret_cast<const char*>(&elf[names + U32(&elf[shoff + kElf.entry * i])]),
               name) == 0)
      return shoff + kElf.entry * i;
  return 0;
}

// The six blocks of a program file as loaded, and where its resource bytes start within
// the ".mv" section.
struct Loaded {
  std::vector<Bytes> blocks;
  uint32_t resourcesInSection;
};

Loaded LoadBlocks(const char* path) {
  MVLoadedImage image;
  std::string problem;
  EXPECT_EQ(MVLoadImageFile(path, &image, &problem), MVImageSource::kLoaded) << problem;
  Loaded out{{Of(image.code, image.codeSize), Of(image.data, image.dataSize),
              Of(image.imports, image.importsSize), Of(image.symbols, image.symbolsSize),
              Of(image.resources, image.resourcesSize), Of(image.options, image.optionsSize)},
             image.resourcesFileOffset - SectionsOf(ReadAll(path)).image.offset};
  MVFreeImage(&image);
  return out;
}

TEST(ImageDigest, TheDigestedFixtureLoadsAsTheOneWithout) {
  MVImageSections sections = SectionsOf(ReadAll(MV_FIXTURE_DIR "/fixture_sum.elf"));
  ASSERT_TRUE(sections.image.found && sections.digest.found);
  EXPECT_EQ(sections.digest.size, 32u);
  Loaded with = LoadBlocks(MV_FIXTURE_DIR "/fixture_sum.elf");
  Loaded without = LoadBlocks(MV_FIXTURE_DIR "/fixture.elf");
  EXPECT_EQ(with.blocks, without.blocks);
  // Read from the checked copy, the resources are still placed in the program file.
  EXPECT_EQ(with.resourcesInSection, without.resourcesInSection);
}

TEST(ImageDigest, AnyChangeToTheSectionOrItsDigestIsRefused) {
  Bytes elf = ReadAll(MV_FIXTURE_DIR "/fixture_sum.elf");
  MVImageSections sections = SectionsOf(elf);
  const MVSectionPlace& mv = sections.image;
  size_t mvHeader = HeaderOf(elf, ".mv"), sumHeader = HeaderOf(elf, ".mvsum");
  ASSERT_NE(mvHeader, 0u);
  ASSERT_NE(sumHeader, 0u);
  auto flip = [&](size_t at) {
    Bytes b = elf;
    b[at] ^= 0x01;
    return b;
  };
  auto put = [&](size_t at, uint64_t v) {  // a section header's offset or size field
    Bytes b = elf;
    memcpy(&b[at], &v, kElf.wide ? 8 : 4);
    return b;
  };
  const std::string mismatch = "its digest does not match";
  // (A changed bit in each block is the black-box tests' case: here the section's ends.)
  EXPECT_EQ(LoadProblem(flip(mv.offset), MVImageSource::kDamaged), mismatch);
  EXPECT_EQ(LoadProblem(flip(mv.offset + mv.size - 1), MVImageSource::kDamaged), mismatch);
  EXPECT_EQ(LoadProblem(flip(sections.digest.offset + 31), MVImageSource::kDamaged), mismatch);
  // The section's size moved: fewer or more bytes are digested.
  EXPECT_EQ(LoadProblem(put(mvHeader + kElf.size, mv.size - 1), MVImageSource::kDamaged),
            mismatch);
  for (uint32_t size : {0u, 31u, 33u})
    EXPECT_EQ(LoadProblem(put(sumHeader + kElf.size, size), MVImageSource::kDamaged),
              "the section .mvsum is not 32 bytes");
  EXPECT_EQ(LoadProblem(put(sumHeader + kElf.offset, elf.size() - 31), MVImageSource::kDamaged),
            "the section .mvsum lies outside the program file");
}

TEST(ImageDigest, ADigestWithoutTheImageIsIgnored) {
  Bytes elf = ReadAll(MV_FIXTURE_DIR "/fixture_sum.elf");
  uint64_t shoff = Word(elf, kElf.shoff);
  uint16_t shstrndx;
  memcpy(&shstrndx, &elf[kElf.shstrndx], 2);
  size_t mvName = Word(elf, shoff + kElf.entry * shstrndx + kElf.offset) +
                  U32(&elf[HeaderOf(elf, ".mv")]);
  elf[mvName + 1] = 'x';  // ".xv": no image section
  // Even a digest that could never match, lying outside the file, means nothing then.
  memset(&elf[HeaderOf(elf, ".mvsum") + kElf.offset], 0xFF, kElf.wide ? 16 : 8);
  MVImageSections sections = SectionsOf(elf);
  EXPECT_FALSE(sections.image.found);
  EXPECT_FALSE(sections.digest.found);
  EXPECT_EQ(LoadProblem(elf, MVImageSource::kNoSection), "");
}


// Copying a block into zero memory leaves every 4 KiB that would only receive zeros
// untouched (the marker stays), and copies each one holding a non-zero byte whole,
// wherever that byte lies, a last piece shorter than a page included.
TEST(CodeBlock, CopyIntoZerosSkipsOnlyAllZeroPages) {
  const uint32_t kPage = 4096;
  struct Case {
    uint32_t size;
    uint32_t nonZeroAt;  // UINT32_MAX: none
  } cases[] = {
      {3 * kPage, UINT32_MAX},     {3 * kPage, 0},         {3 * kPage, kPage - 1},
      {3 * kPage, kPage + 100},    {3 * kPage, 2 * kPage + 63}, {2 * kPage + 70, 2 * kPage + 69},
      {2 * kPage + 70, 2 * kPage}, {50, 49},
  };
  for (const Case& c : cases) {
    std::vector<uint8_t> from(c.size, 0), to(c.size, 0xAA);
    if (c.nonZeroAt != UINT32_MAX) from[c.nonZeroAt] = 7;
    MVCopyNonZeroPages(to.data(), from.data(), c.size);
    for (uint32_t page = 0; page * kPage < c.size; page++) {
      uint32_t end = std::min(c.size, (page + 1) * kPage);
      bool holds = c.nonZeroAt != UINT32_MAX && c.nonZeroAt / kPage == page;
      EXPECT_TRUE(std::equal(to.begin() + page * kPage, to.begin() + end,
                             holds ? from.begin() + page * kPage
                                   : std::vector<uint8_t>(end - page * kPage, 0xAA).begin()))
          << "size " << c.size << ", non-zero byte at " << c.nonZeroAt << ", page " << page;
    }
  }
}

}  // namespace
