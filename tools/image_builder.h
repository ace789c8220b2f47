// The image builder: turns the application's relocatable object (ELF32 i386 or ELF64
// x86-64) into the six blocks of a code image (code, data, import table, symbols,
// resources, options) for that machine.
#pragma once
#include <stdint.h>

#include <set>
#include <string>
#include <vector>

namespace mvimage {

using Bytes = std::vector<uint8_t>;

// Names the runtime exports, compared without regard to letter case.
class ExportNames {
 public:
  void Add(const std::string& name);
  bool Contains(const std::string& name) const;
  size_t size() const { return names_.size(); }

 private:
  std::set<std::string> names_;  // lower-case
};

struct Image {
  uint16_t machine = 3;  // the ELF machine number: EM_386 or EM_X86_64
  Bytes code, data, imports, symbols, resources, options;
};

// The ".mv" section: the six blocks in image order, each as a u32 little-endian count
// and its bytes, after the machine tag on x86-64.
Bytes SerializeImage(const Image& image);
// The loose code file: the code block, after the machine tag on x86-64.
Bytes LooseCodeFile(const Image& image);

// Builds the image of `object` (the bytes of an ELF32 i386 or ELF64 x86-64 relocatable
// file), for the object's machine. The entry
// symbol must be a function of the code; the code block starts with a jump to it. On
// refusal returns false with every reason in *errors (one line each).
bool BuildImage(const Bytes& object, const ExportNames& exports, const std::string& entry,
                Image* image, std::vector<std::string>* errors);

// The resource block holding the plug-in library record ('MVPl', id 65535).
Bytes PluginResourceBlock(const Bytes& library);
// The options block: the version record of this program.
Bytes VersionOptionsBlock();

}  // namespace mvimage
