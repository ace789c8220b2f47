// Prints the names of the runtime's export table, one a line, for the image builder:
// on standard output, or into the file given as the only argument.
#include <stdio.h>

#include "runtime/core/process/exports.h"

int main(int argc, char** argv) {
  FILE* out = argc > 1 ? fopen(argv[1], "w") : stdout;
  if (!out) {
    fprintf(stderr, "mv_export_names: cannot write %s\n", argv[1]);
    return 1;
  }
  uint32_t count = 0;
  const MVExportRow* rows = MVExportTable(&count);
  for (uint32_t i = 0; i < count; i++)
    if (rows[i].name) fprintf(out, "%s\n", rows[i].name);
  bool ok = fflush(out) == 0 && !ferror(out);
  if (out != stdout) ok = fclose(out) == 0 && ok;
  return ok ? 0 : 1;
}
