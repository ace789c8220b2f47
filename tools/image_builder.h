// The image builder: turns the application's relocatable ELF32 object into the six
// blocks of a code image (code, data, import table, symbols, resources, options).
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
  Bytes code, data, imports, symbols, resources, options;
};

// The six blocks in image order, each as a u32 little-endian count and its bytes.
Bytes SerializeImage(const Image& image);

// Builds the image of `object` (the bytes of an ELF32 i386 relocatable file). The entry
// symbol must be a function of the code; the code block starts with a jump to it. On
// refusal returns false with every reason in *errors (one line each).
bool BuildImage(const Bytes& object, const ExportNames& exports, const std::string& entry,
                Image* image, std::vector<std::string>* errors);

// The resource block holding the plug-in library record ('MVPl', id 65535).
Bytes PluginResourceBlock(const Bytes& library);
// The options block: the version record of this program.
Bytes VersionOptionsBlock();

}  // namespace mvimage
