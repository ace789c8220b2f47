// The loader's check of every record before linking: a small sound image passes, and
// each kind of damage to a record is named; an import that cannot be linked leaves the
// image unlinked.
#include <gtest/gtest.h>
#include <string.h>

#include <functional>
#include <string>
#include <vector>

#include "runtime/core/process/image_check.h"
#include "runtime/core/objects/image_format.h"
#include "runtime/core/process/loader.h"
#include "runtime/core/process/resources.h"
#include "runtime/core/objects/symbols.h"

namespace {

using Bytes = std::vector<uint8_t>;

void Put(Bytes* b, uint32_t at, uint32_t v) { memcpy(b->data() + at, &v, 4); }
[[maybe_unused]] void Put64(Bytes* b, uint32_t at, uint64_t v) { memcpy(b->data() + at, &v, 8); }
void Append32(Bytes* b, uint32_t v) {
  for (int i = 0; i < 4; i++) b->push_back(static_cast<uint8_t>(v >> (8 * i)));
}
void AppendName(Bytes* b, const std::string& s) {
  b->push_back(static_cast<uint8_t>(s.size()));
  b->insert(b->end(), s.begin(), s.end());
  b->push_back(0);
}

// The blocks of a small image that keeps every rule, two symbols, a plug-in resource and
// another one, the version record; and its import table. On i386: a runtime import with
// the chain of sites 4 -> 12, a code, a data and a literal fixup (the literal "abc" at
// data offset 8). On x86-64: a runtime import through the slot at data offset 0, the
// slot page, and the literal record "abc" just after it.
struct Image {
#if defined(__x86_64__)
  static const uint32_t kLiteral = MV_PAGE_SIZE + 8;  // data offset of the literal
  static const uint32_t kLiteralRef = 20;  // the literal record's operand in the table
  Bytes code = Bytes(64), data = Bytes(MV_PAGE_SIZE + 48), imports, symbols, resources, options;
#else
  static const uint32_t kLiteral = 8;
  static const uint32_t kLiteralSite = 28;
  Bytes code = Bytes(64), data = Bytes(40), imports, symbols, resources, options;
#endif
  static const uint32_t kName = 7;      // first byte of the import's name in the table

  Image() {
#if defined(__x86_64__)
    imports = {MV_IMPORT_RUNTIME, MV_IMPORT_KIND_SLOT};
    Append32(&imports, 0);
    AppendName(&imports, "RuntimeInit");
    imports.push_back(MV_IMPORT_LITERAL_RECORD);
    Append32(&imports, kLiteral);
#else
    Put(&code, 4, 12);
    Put(&code, kLiteralSite, kLiteral);
    imports = {MV_IMPORT_RUNTIME, MV_IMPORT_KIND_CALL};
    Append32(&imports, 4);
    AppendName(&imports, "RuntimeInit");
    imports.push_back(MV_IMPORT_CODE_ADDRESS);
    Append32(&imports, 20);
    imports.push_back(MV_IMPORT_DATA_ADDRESS);
    Append32(&imports, 24);
    imports.push_back(MV_IMPORT_LITERAL);
    Append32(&imports, kLiteralSite);
#endif
    Put(&data, kLiteral + MV_LITERAL_REF_COUNT, 1);
    Put(&data, kLiteral + MV_LITERAL_BUFFER_SIZE, 5);
    Put(&data, kLiteral + MV_LITERAL_LENGTH, 3);
    Put(&data, kLiteral + MV_LITERAL_ENCODING, MV_LITERAL_UTF8);
    memcpy(data.data() + kLiteral + MV_LITERAL_TEXT, "\x03" "abc", 5);

    Append32(&symbols, 2);
    for (uint32_t v : {0u, 0u, 16u, 2u}) Append32(&symbols, v);
    for (char c : std::string("A\0B\0", 4)) symbols.push_back(static_cast<uint8_t>(c));

    std::string plugin = "\x0d" "libMVShell.so" "ELF";
    AddResource(MV_FOURCC('M', 'V', 'P', 'l'), Bytes(plugin.begin(), plugin.end()));
    AddResource(MV_FOURCC('T', 'E', 'X', 'T'), Bytes{'h', 'i'});

    options = {MV_OPTION_VERSION, 1};
    options.resize(1 + MV_VERSION_FIXED + 3, 0);
  }

  void AddResource(uint32_t type, const Bytes& bytes) {
    Append32(&resources, type);
    resources.insert(resources.end(), 6, 0);
    Append32(&resources, static_cast<uint32_t>(bytes.size()));
    resources.insert(resources.end(), bytes.begin(), bytes.end());
  }

  std::string Problem() {
    MVLoadedImage im;
    auto block = [](Bytes& b, uint8_t** p, uint32_t* n) {
      *p = b.empty() ? nullptr : b.data();
      *n = static_cast<uint32_t>(b.size());
    };
    block(code, &im.code, &im.codeSize);
    block(data, &im.data, &im.dataSize);
    block(imports, &im.imports, &im.importsSize);
    block(symbols, &im.symbols, &im.symbolsSize);
    block(resources, &im.resources, &im.resourcesSize);
    block(options, &im.options, &im.optionsSize);
    std::string problem;
    bool sound = MVCheckImage(im, &problem);
    EXPECT_EQ(sound, problem.empty()) << problem;
    return problem;
  }
};

struct Case {
  const char* damage;
  std::function<void(Image&)> change;
  const char* problem;
};

// The import table's damage, and the literals it names, on this machine.
std::vector<Case> ImportCases() {
  const uint32_t lit = Image::kLiteral;
  std::vector<Case> cases = {
      {"a record cut off", [](Image& i) { i.imports.pop_back(); },
       "the import table ends inside a record"},
      {"a name longer than the table", [](Image& i) { i.imports[Image::kName - 1] = 200; },
       "an import name runs past the import table"},
      {"a NUL inside a name", [](Image& i) { i.imports[Image::kName + 3] = 0; },
       "an import name holds a NUL byte"},
      {"a name without its 0 byte", [](Image& i) { i.imports[Image::kName + 11] = 'x'; },
       "an import name does not end with its 0 byte"},
      {"a literal longer than the data",
       [](Image& i) { Put(&i.data, lit + MV_LITERAL_LENGTH, 0xFFFFFFF0); },
       "a string literal runs past the data block"},
      {"a literal's count 0", [](Image& i) { Put(&i.data, lit + MV_LITERAL_REF_COUNT, 0); },
       "a string literal record is malformed"},
      {"a literal's stored text pointer",
       [](Image& i) { Put(&i.data, lit + MV_LITERAL_TEXT_POINTER, 0x1000); },
       "a string literal record is malformed"},
      {"a literal's length byte", [](Image& i) { i.data[lit + MV_LITERAL_TEXT] = 2; },
       "a string literal record is malformed"},
      {"a literal without its NUL", [](Image& i) { i.data[lit + MV_LITERAL_TEXT + 4] = 'x'; },
       "a string literal record is malformed"},
  };
#if defined(__x86_64__)
  const Case machine[] = {
      {"a kind that patches code", [](Image& i) { i.imports[1] = MV_IMPORT_KIND_CALL; },
       "a runtime import is not linked through a slot"},
      {"a slot that is not the first", [](Image& i) { Put(&i.imports, 2, 8); },
       "an import slot is not the next one of the slot pages"},
      {"a slot past the data", [](Image& i) { i.data.resize(4); },
       "an import slot lies outside the data block"},
      {"a code-address record",
       [](Image& i) { i.imports.push_back(MV_IMPORT_CODE_ADDRESS); Append32(&i.imports, 20); },
       "an import record patches a code field, which an x86-64 image does not have"},
      {"a literal named twice",
       [](Image& i) { i.imports.push_back(MV_IMPORT_LITERAL_RECORD); Append32(&i.imports, Image::kLiteral); },
       "a field of the data block is written twice"},
      {"a literal among the slots",
       [](Image& i) {
         memcpy(i.data.data() + 8, i.data.data() + Image::kLiteral, 32);
         Put(&i.imports, Image::kLiteralRef, 8);
       },
       "a string literal lies in the slot pages"},
      {"a literal off its boundary", [](Image& i) { Put(&i.imports, Image::kLiteralRef, lit + 4); },
       "a string literal is not aligned on 8 bytes"},
      {"a literal at the end of the data",
       [](Image& i) { Put(&i.imports, Image::kLiteralRef, MV_PAGE_SIZE + 40); },
       "a string literal lies outside the data block"},
      {"a literal's wide text pointer",
       [](Image& i) { Put64(&i.data, lit + MV_LITERAL_TEXT_POINTER, uint64_t{1} << 40); },
       "a string literal record is malformed"},
  };
#else
  const Case machine[] = {
      {"a site past the code", [](Image& i) { Put(&i.code, 12, 62); },
       "an import site lies outside the code block"},
      {"a relocation far outside", [](Image& i) { Put(&i.imports, Image::kName + 13, 0xFFFFFF00); },
       "an import site lies outside the code block"},
      {"a chain that comes back", [](Image& i) { Put(&i.code, 12, 4); },
       "an import site is patched twice"},
      {"two fixups over one field", [](Image& i) { Put(&i.imports, Image::kName + 13, 22); },
       "an import site is patched twice"},
      {"a literal off its boundary", [](Image& i) { Put(&i.code, Image::kLiteralSite, 9); },
       "a string literal is not aligned on 4 bytes"},
      {"a literal at the end of the data", [](Image& i) { Put(&i.code, Image::kLiteralSite, 36); },
       "a string literal lies outside the data block"},
  };
#endif
  cases.insert(cases.end(), std::begin(machine), std::end(machine));
  return cases;
}

TEST(ImageCheck, EachDamagedRecordIsNamed) {
  std::vector<Case> cases = {
      {"none", [](Image&) {}, ""},
      {"an options opcode without a meaning", [](Image& i) { i.options.push_back(9); }, ""},
      // symbols
      {"a symbols count cut off", [](Image& i) { i.symbols.resize(2); },
       "the symbols block ends inside its entry count"},
      {"more symbols than entries", [](Image& i) { Put(&i.symbols, 0, 3); },
       "the symbols block ends inside its entries"},
      {"a symbol past the code", [](Image& i) { Put(&i.symbols, 12, 64); },
       "a symbol lies outside the code block"},
      {"a symbol's name past the block", [](Image& i) { Put(&i.symbols, 16, 4); },
       "a symbol's name runs past the symbols block"},
      {"a last name without its NUL", [](Image& i) { i.symbols.back() = 'x'; },
       "a symbol's name runs past the symbols block"},
      // resources
      {"a resource larger than its block", [](Image& i) { Put(&i.resources, 14 + 17 + 10, 3); },
       "a resource record runs past the resource block"},
      {"bytes after the last resource", [](Image& i) { i.resources.resize(i.resources.size() + 3); },
       "the resource block ends inside a record header"},
      {"a plug-in name past its resource", [](Image& i) { i.resources[14] = 200; },
       "the plug-in resource is damaged"},
      // options
      {"a version record cut off", [](Image& i) { i.options.pop_back(); },
       "an options record runs past the options block"},
      {"a skipped record cut off", [](Image& i) { i.options.insert(i.options.end(), {1, 2, 2, 0}); },
       "an options record runs past the options block"},
  };
  std::vector<Case> imports = ImportCases();
  cases.insert(cases.end(), imports.begin(), imports.end());
  for (const Case& c : cases) {
    Image image;
    c.change(image);
    EXPECT_EQ(image.Problem(), c.problem) << c.damage;
  }
}

// A call site naming a function the runtime does not export would be called into
// nothing: the image is not to run. A name without sites (i386) is only reported; on
// x86-64 every name has its slot.
TEST(LinkImage, AFunctionThatCannotBeFoundLeavesTheImageUnlinked) {
#if defined(__x86_64__)
  const uint8_t kind = MV_IMPORT_KIND_SLOT;
  const uint32_t firsts[] = {0u};
#else
  const uint8_t kind = MV_IMPORT_KIND_CALL;
  const uint32_t firsts[] = {4u, 0u};
#endif
  for (uint32_t first : firsts) {
    Bytes imports = {MV_IMPORT_RUNTIME, kind};
    Append32(&imports, first);
    AppendName(&imports, "NoSuchFunction");
    MVLoadedImage im;
    im.code = MVAllocateCodeBlock(16);
    im.codeSize = 16;
    Bytes data(8);
    im.data = data.data();
    im.dataSize = 8;
    im.imports = imports.data();
    im.importsSize = static_cast<uint32_t>(imports.size());
    testing::internal::CaptureStdout();
    MVLinkResult result = MVLinkImage(&im);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("Function 'NoSuchFunction' was not exported\n"), std::string::npos) << out;
    EXPECT_EQ(result, first || kind == MV_IMPORT_KIND_SLOT ? MVLinkResult::kUnlinked
                                                           : MVLinkResult::kLinked)
        << first;
    MVSetImageSymbols(0, 0, nullptr, 0);
    MVResetLinkState();
  }
}

}  // namespace
