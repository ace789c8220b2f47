// The script verifier's line handling: the input is a script file, verified as `x`
// verifies it (tool words, parameter splitting, the checks of every row) in an
// application folder of its own with no key system.
#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>

#include "app/App.h"
#include "app/util.h"
#include "runtime/files/folderitem.h"

namespace {

std::string g_script;  // the script file's path

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  static char folder[] = "/tmp/ombrix-fuzz-XXXXXX";
  if (!mkdtemp(folder)) abort();
  MVFilesStartup();
  MVSetApplicationFolder(folder);
  g_script = std::string(folder) + "/script.txt";
  // The verifier's messages are not what is looked at.
  int null = open("/dev/null", O_WRONLY);
  if (null >= 0) dup2(null, STDOUT_FILENO);
  Params = CreateArray(1, kMVElemString, 5);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FILE* f = fopen(g_script.c_str(), "wb");
  if (!f) return 0;
  fwrite(data, 1, size, f);
  fclose(f);
  MVString* name = MVStringFromCString("script.txt", kEncodingUTF8);
  SetParam(1, name);
  RuntimeUnlockString(name);
  int32_t failed = App_VerifyScript(nullptr);
  if (failed != 0 && failed != 1) __builtin_trap();
  // Every split leaves the parameters in their six slots.
  if (ParamIndex < 0) __builtin_trap();
  RuntimeUnlockString(CommandLine);
  CommandLine = nullptr;
  return 0;
}
