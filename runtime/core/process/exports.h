// The runtime's export table: the names the code image and the plug-ins link against.
#pragma once
#include "runtime/runtime_only.h"
#include <stdint.h>
#include "runtime/values/word.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct MVExportRow {   // four words: 16 bytes on i386, 32 on x86-64
  const char* name;
  void* function;
  MVWord reserved[2];          // 0 in every row
} MVExportRow;

// The export table; *count receives its row count.
const MVExportRow* MVExportTable(uint32_t* count);
// The one export lookup: the first of `count` rows whose name equals `name` without regard
// to letter case (rows without a name are skipped), or NULL.
const MVExportRow* MVFindExport(const char* name, const MVExportRow* rows, uint32_t count);

#ifdef MV_EXPORT_TABLE_TESTING
// The unit tests' build of the table only: the static rows followed by rows added at run
// time, as a program whose plug-ins registered further named functions would see them.
void MVAddExport(const char* name, void* function);
#endif

#ifdef __cplusplus
}
#endif
