// The resolver handed to plug-ins: export address by name, letter case ignored, through
// a 256-bucket hash over the export table.
#include <strings.h>

#include <vector>

#include "runtime/core/process/exports.h"
#include "runtime/core/process/plugin.h"

namespace {

const uint32_t kBuckets = 256;

uint32_t HashName(const char* name) {
  uint32_t h = 0;
  for (const unsigned char* p = reinterpret_cast<const unsigned char*>(name); *p; p++) {
    unsigned char c = *p;
    if (c >= 'a' && c <= 'z') c = static_cast<unsigned char>(c - 'a' + 'A');
    h = h * 31 + c;
  }
  return h;
}

struct ResolverMap {
  uint32_t rowCount = 0;
  bool built = false;
  std::vector<uint32_t> buckets[kBuckets];  // row indices, in table order
};

ResolverMap& Map() {
  static ResolverMap map;
  return map;
}

// (Re)build when rows have been added since the last build; indices stay valid even
// though the table itself may have moved.
void Refresh(ResolverMap& map, const MVExportRow* rows, uint32_t count) {
  if (map.built && map.rowCount == count) return;
  for (auto& bucket : map.buckets) bucket.clear();
  for (uint32_t i = 0; i < count; i++)
    if (rows[i].name) map.buckets[HashName(rows[i].name) % kBuckets].push_back(i);
  map.rowCount = count;
  map.built = true;
}

}  // namespace

extern "C" void* MVPluginResolve(const char* name) {
  if (!name) return nullptr;
  uint32_t count = 0;
  const MVExportRow* rows = MVExportTable(&count);
  ResolverMap& map = Map();
  Refresh(map, rows, count);
  for (uint32_t index : map.buckets[HashName(name) % kBuckets])
    if (strcasecmp(rows[index].name, name) == 0) return rows[index].function;
  return nullptr;
}
