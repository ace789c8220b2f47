// The resource block and the plug-in resource inside it: records are registered only
// when they lie wholly inside the block, and a plug-in resource names a plain file. A
// block the loader's check accepts is registered whole, every plug-in resource sound.
#include <stdint.h>
#include <string.h>

#include <string>
#include <vector>

#include "runtime/core/process/image_check.h"
#include "runtime/core/process/plugin_host.h"
#include "runtime/core/process/resources.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<uint8_t> block(data, data + size);  // exactly the block: overreads are caught
  const uint8_t* begin = block.data();
  uint32_t count = static_cast<uint32_t>(block.size());
  std::string problem;
  bool sound = MVCheckResources(count ? begin : nullptr, count, &problem);
  MVRegisterResourceBlock(count ? begin : nullptr, count, 1000);
  uint64_t covered = 0;
  for (uint32_t i = 0; i < MVResourceCount(); i++) {
    const MVResource* r = MVResourceAt(i);
    covered += 14 + uint64_t{r->size};
    if (r->data < begin || r->data + r->size > begin + count) __builtin_trap();
    if (r->fileOffset != 1000 + static_cast<uint32_t>(r->data - begin)) __builtin_trap();
    std::string library;
    const uint8_t* bytes = nullptr;
    uint32_t n = 0;
    bool parsed = MVParsePluginResource(r->data, r->size, &library, &bytes, &n);
    if (sound && r->type == MV_FOURCC('M', 'V', 'P', 'l') && !parsed) __builtin_trap();
    if (parsed) {
      if (library.empty() || library.find('/') != std::string::npos || library == "." ||
          library == ".." || bytes + n != r->data + r->size)
        __builtin_trap();
    }
  }
  if (sound && covered != count) __builtin_trap();
  // The whole input as one plug-in resource too.
  std::string library;
  const uint8_t* bytes = nullptr;
  uint32_t n = 0;
  if (MVParsePluginResource(count ? begin : nullptr, count, &library, &bytes, &n) &&
      bytes + n != begin + count)
    __builtin_trap();
  MVClearResources();
  return 0;
}
