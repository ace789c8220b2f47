// The one static export table. Every runtime module lists its exports in its own
// export_list.inc, one MV_EXPORT(function) or MV_EXPORT_AS("Name", function) per line,
// and declares them through its export_list.h.
//
// The program's table is the static rows alone. The unit tests link their own build of
// this file (MV_EXPORT_TABLE_TESTING, tests/CMakeLists.txt), which can add rows at run
// time; its object takes the place of this one of the runtime library.
#include "runtime/core/process/exports.h"

#include <strings.h>

#include <vector>

#include "runtime/console/export_list.h"
#include "runtime/core/process/export_list.h"
#include "runtime/files/export_list.h"
#include "runtime/values/export_list.h"

#define MV_EXPORT(fn) {#fn, reinterpret_cast<void*>(&fn), {0, 0}},
#define MV_EXPORT_AS(name, fn) {name, reinterpret_cast<void*>(&fn), {0, 0}},

namespace {

const MVExportRow kStaticRows[] = {
#include "runtime/values/export_list.inc"
#include "runtime/console/export_list.inc"
#include "runtime/files/export_list.inc"
#include "runtime/core/process/export_list.inc"
};

constexpr uint32_t kStaticCount = sizeof(kStaticRows) / sizeof(kStaticRows[0]);

#ifdef MV_EXPORT_TABLE_TESTING
// Static rows and added rows, contiguous, built on first use.
std::vector<MVExportRow>& Rows() {
  static std::vector<MVExportRow> rows(kStaticRows, kStaticRows + kStaticCount);
  return rows;
}
#endif

}  // namespace

static_assert(sizeof(MVExportRow) == MV_BY_WIDTH(16, 32), "export rows are four words");

extern "C" const MVExportRow* MVExportTable(uint32_t* count) {
#ifdef MV_EXPORT_TABLE_TESTING
  std::vector<MVExportRow>& rows = Rows();
  if (count) *count = static_cast<uint32_t>(rows.size());
  return rows.data();
#else
  if (count) *count = kStaticCount;
  return kStaticRows;
#endif
}

extern "C" const MVExportRow* MVFindExport(const char* name, const MVExportRow* rows,
                                           uint32_t count) {
  for (uint32_t i = 0; i < count; i++)
    if (rows[i].name && strcasecmp(rows[i].name, name) == 0) return &rows[i];
  return nullptr;
}

#ifdef MV_EXPORT_TABLE_TESTING
extern "C" void MVAddExport(const char* name, void* function) {
  Rows().push_back(MVExportRow{name, function, {0, 0}});
}
#endif
