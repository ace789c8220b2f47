// The process entry of ombrix: reads the options of the argument form, records the
// arguments, initialises the core, finds the program's own file, installs the signal handlers and
// runs the code image.
#include <limits.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <string>

#include "runtime/console/command_form.h"
#include "runtime/console/console.h"
#include "runtime/core/objects/exception.h"
#include "runtime/core/process/loader.h"
#include "runtime/core/objects/signals.h"
#include "runtime/core/process/startup_internal.h"
#include "runtime/files/folderitem.h"
#include "runtime/files/safe_output.h"

namespace {
const uintptr_t kMainStackSize = 262144;

const char kVersion[] = "Ombrix Encryption for Linux " OMBRIX_VERSION "\n";

std::string CurrentDirectory() {
  char buf[PATH_MAX];
  return getcwd(buf, sizeof buf) ? std::string(buf) : std::string("/");
}
}  // namespace

int main(int argc, char** argv) {
  // Options are answered here; with a command, argv keeps the program, the command and
  // its operands.
  int answered = MVReadCommandOptions(&argc, argv, kVersion);
  if (answered >= 0) return answered;
  MVSetProcessArguments(argc, argv);

  uintptr_t sp = MVStackPointer();
  MVConnectLayers();
  MVSetStackBounds(reinterpret_cast<uintptr_t>(__builtin_frame_address(0)), sp - kMainStackSize);

  char* path = MVFindProgramPath(argc > 0 ? argv[0] : nullptr);
  if (argc > 0 && path) argv[0] = path;
  static const std::string folder = MVFolderOfPath(path ? path : "", CurrentDirectory());
  MVSetApplicationFolder(folder.c_str());

  // The program's own file is never an output.
  MVProtectFile(path);
  MVProtectFile("/proc/self/exe");
  MVInstallSignalHandlers();
  int status = MVRunLoader(path);
  return status != 0 ? status : MVCommandExitStatus();
}
