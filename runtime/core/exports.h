// The runtime's export table: the names the code image and the plug-ins link against.
#pragma once
#include "runtime/runtime_only.h"
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct MVExportRow {   // 16 bytes
  const char* name;
  void* function;
  uint32_t reserved[2];        // 0 in every row
} MVExportRow;

// The static rows followed by the rows added at run time; *count receives the total.
const MVExportRow* MVExportTable(uint32_t* count);
// First row whose name equals `name` without regard to letter case, or NULL.
const MVExportRow* MVFindExport(const char* name);
// Add a row at run time (plug-ins registering further named functions).
void MVAddExport(const char* name, void* function);

#ifdef __cplusplus
}
#endif
