#include "runtime/core/objects/report.h"

#include <stdio.h>

namespace {

const char* KindText(int32_t kind) {
  static const char* const kTexts[] = {
      "Plugin TOC Load Failure",  "Invalid Class Definition",
      "Unknown Class",            "Failed Assertion",
      "Unable to Write to Handle", "CarbonLib 1.1 or Later Required",
      "Cannot Connect to Debugger", "Unhandled Exception",
  };
  return kind >= 1 && kind <= 8 ? kTexts[kind - 1] : "";
}

}  // namespace

extern "C" void MVRuntimeErrorReport(int32_t kind, const char* file, int32_t line,
                                     const char* condition, const char* extra) {
  printf("Runtime Error %d:%s\n\nPlease report what caused this error\nalong with the information "
         "below.\n\n%s: %d\nFailure Condition: %s\n%s\n\n",
         static_cast<int>(kind), KindText(kind), file, static_cast<int>(line), condition,
         extra ? extra : "");
  fflush(stdout);
}
