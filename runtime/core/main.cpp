// The process entry of ombrix: answers --help and --version, records the arguments,
// initialises the core, finds the program's own file, installs the signal handlers and
// runs the code image.
#include <limits.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <string>

#include "runtime/console/console.h"
#include "runtime/core/exception.h"
#include "runtime/core/loader.h"
#include "runtime/core/signals.h"
#include "runtime/core/startup_internal.h"
#include "runtime/files/folderitem.h"
#include "runtime/files/safe_output.h"

namespace {
const uintptr_t kMainStackSize = 262144;

const char kVersion[] = "Ombrix Encryption for Linux " OMBRIX_VERSION "\n";

const char kUsage[] =
    "Usage: ombrix [--help | --version]\n"
    "\n"
    "Ombrix Encryption for Linux " OMBRIX_VERSION ", command-line interface: encrypts and\n"
    "decrypts files with a key system kept in the program's own folder.\n"
    "\n"
    "ombrix reads its commands at the \"[Ombrix] \" prompt, typed at the terminal or\n"
    "given on standard input, for example:\n"
    "  printf 'enc report.txt report.enc 3 5 7\\nquit\\n' | ombrix\n"
    "Type help there for the commands, help f for their formats, quit to leave.\n"
    "Other arguments are ignored.\n"
    "\n"
    "The manual: man ombrix\n";

// --help and --version as the first argument answer and end the program; every other
// argument goes on to the application, which ignores it.
bool AnswerOption(int argc, char** argv) {
  if (argc < 2 || !argv[1]) return false;
  const char* text = strcmp(argv[1], "--help") == 0      ? kUsage
                     : strcmp(argv[1], "--version") == 0 ? kVersion
                                                         : nullptr;
  if (!text) return false;
  fputs(text, stdout);
  fflush(stdout);
  return true;
}

std::string CurrentDirectory() {
  char buf[PATH_MAX];
  return getcwd(buf, sizeof buf) ? std::string(buf) : std::string("/");
}
}  // namespace

int main(int argc, char** argv) {
  if (AnswerOption(argc, argv)) return 0;
  MVSetProcessArguments(argc, argv);

  uintptr_t sp;
  __asm__ volatile("movl %%esp, %0" : "=r"(sp));
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
  return MVRunLoader(path);
}
