#include "runtime/core/process/startup.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "runtime/console/console.h"
#include "runtime/console/progress.h"
#include "runtime/core/objects/exception.h"
#include "runtime/core/objects/object.h"
#include "runtime/core/process/plugin.h"
#include "runtime/core/objects/report.h"
#include "runtime/core/objects/signals.h"
#include "runtime/core/process/startup_internal.h"
#include "runtime/core/process/workers.h"
#include "runtime/files/folderitem.h"
#include "runtime/files/safe_output.h"

namespace {

const size_t kPathBuffer = 2048;
// Links followed before giving up: a cycle of links would otherwise never end.
const int kMaxLinks = 40;
const uintptr_t kStackMargin = 8192;

MVString* g_applicationPath = nullptr;

bool IsExecutableFile(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && access(path.c_str(), X_OK) == 0;
}

// The first "dir/name" along searchPath that is an executable regular file; an empty
// element means the current directory.
std::string SearchPath(const char* name, const char* searchPath) {
  if (!searchPath) return "";
  const char* p = searchPath;
  for (;;) {
    const char* end = strchr(p, ':');
    std::string dir(p, end ? end - p : strlen(p));
    std::string candidate = (dir.empty() ? std::string(".") : dir) + "/" + name;
    if (IsExecutableFile(candidate)) return candidate;
    if (!end) return "";
    p = end + 1;
  }
}

// The console's and the file layer's part of the end after a termination signal.
void EndWork() {
  MVStopWorkers();
  RuntimeProgressEnd();
  MVAbandonSafeOutputs();
  MVReleaseApplicationObject();
}

}  // namespace

void MVConnectLayers() {
  MVSetUnhandledHook(MVDefaultUnhandledHook);
  MVSetIdleRoutine(RuntimeBackgroundTask);
  MVSetEndWork(EndWork);
}

std::string MVResolveProgramPath(const char* argument0, const char* searchPath, int maxLinks) {
  const char* name = argument0 ? argument0 : "";
  std::string path = strchr(name, '/') ? std::string(name) : SearchPath(name, searchPath);
  // A path of more than 2,047 bytes is cut there, as the link buffers are.
  if (path.size() >= kPathBuffer) path.resize(kPathBuffer - 1);
  for (int links = 0; links < maxLinks; links++) {
    struct stat st;
    if (lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) break;
    char target[kPathBuffer] = {0};
    if (readlink(path.c_str(), target, sizeof target - 1) < 0) break;
    path = target;
  }
  return path;
}

char* MVFindProgramPath(const char* argument0) {
  if (!argument0) {  // started without any argument: nothing to search for
    MVRuntimeErrorReport(4, "../Common/RuntimeMain", 3290, "exeFilePath", nullptr);
    return nullptr;
  }
  std::string path = MVResolveProgramPath(argument0, getenv("PATH"), kMaxLinks);
  char* buffer = static_cast<char*>(calloc(kPathBuffer, 1));
  if (buffer) memcpy(buffer, path.data(), path.size());
  return buffer;
}

std::string MVFolderOfPath(const std::string& path, const std::string& cwd) {
  size_t slash = path.rfind('/');
  std::string folder = slash == std::string::npos ? std::string() : path.substr(0, slash);
  if (slash == 0) folder = "/";
  if (slash == std::string::npos || path[0] != '/') {
    std::string base = cwd;
    while (base.size() > 1 && base.back() == '/') base.pop_back();
    folder = folder.empty() ? base : (base == "/" ? "" : base) + "/" + folder;
  }
  while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
  // "dir/." names dir itself.
  while (folder.size() > 2 && folder.compare(folder.size() - 2, 2, "/.") == 0)
    folder.resize(folder.size() - 2);
  return folder.empty() ? "/" : folder;
}

MVString* MVApplicationPath() { return g_applicationPath; }

// The image's first call: the file layer reads the current working directory once.
extern "C" void RuntimeInit(void) { MVFilesStartup(); }

extern "C" void RuntimeSetApplicationPath(MVString* path) {
  RuntimeLockString(path);
  RuntimeUnlockString(g_applicationPath);
  g_applicationPath = path;
}

extern "C" void RuntimeStackCheck(void) {
  uintptr_t sp = MVStackPointer();
  if (sp - kStackMargin < MVStackLimit() || sp < kStackMargin)
    MVRaiseNew(MVStackOverflowExceptionClass(), nullptr, 0);
}
