// Installing plug-ins: every 'MVPl' resource of the resource map is written out to a
// file of its own (unless a library of the same name stands in the application folder),
// locked, loaded with the dynamic linker and asked to register its classes. The files
// are unloaded and deleted when the process ends.
#include <ctype.h>
#include <dirent.h>
#include <dlfcn.h>
#include <elf.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "runtime/core/process/plugin_host.h"
#include "runtime/core/objects/report.h"
#include "runtime/core/process/resources.h"
#include "runtime/core/objects/shutdown.h"
#include "runtime/files/folderitem.h"
#include "runtime/files/safe_output_internal.h"

namespace {

const uint32_t kPluginType = MV_FOURCC('M', 'V', 'P', 'l');
const int kNameTries = 101;
const char kNoTempPath[] = "Failed to construct a temporary path.";

MVLoadedPlugin* g_current = nullptr;
MVLoadedPlugin* g_plugins = nullptr;
std::string g_tempFolder;  // ".tmpAppData" once used: removed at exit when empty by then

// At exit: unload every library, release the locks, delete the extracted files.
class PluginCleanup : public MVShutdownParticipant {
 public:
  ~PluginCleanup() override {
    for (MVLoadedPlugin* p = g_plugins; p; p = p->next) {
      if (p->handle) dlclose(p->handle);
      p->handle = nullptr;
      if (p->lockFd >= 0) {
        flock(p->lockFd, LOCK_UN);
        close(p->lockFd);
        p->lockFd = -1;
      }
      if (!p->path.empty()) unlink(p->path.c_str());
      p->path.clear();
    }
    if (!g_tempFolder.empty()) rmdir(g_tempFolder.c_str());
    g_tempFolder.clear();
    g_cleanup = nullptr;
  }
  static PluginCleanup* g_cleanup;
};
PluginCleanup* PluginCleanup::g_cleanup = nullptr;

// Registered as soon as the first file is written, so that a failed installation
// still removes what it wrote.
void EnsureCleanup() {
  if (!PluginCleanup::g_cleanup) PluginCleanup::g_cleanup = new PluginCleanup;
}

[[noreturn]] void InstallationFailed(const std::string& error) {
  std::string extra =
      "The application cannot continue because a needed file cannot be installed. " + error + "\n";
  MVRuntimeErrorReport(4, "../Common/plugin", 7284, "0", extra.c_str());
  delete PluginCleanup::g_cleanup;
  fflush(stdout);
  exit(1);
}

// ".tmpAppData" in the home folder, created (0700) when missing, and registered for
// clean-up at exit either way (only an empty folder goes). An existing folder is
// used only when it is a real folder of this user that nobody else may write to, since
// the library is loaded from it by name. Otherwise "/tmp" (sticky); "" when neither.
std::string TemporaryFolder() {
  const char* home = getenv("HOME");
  if (home && *home) {
    std::string dir = std::string(home) + "/.tmpAppData";
    struct stat st;
    if (lstat(dir.c_str(), &st) == 0) {
      if (S_ISDIR(st.st_mode) && st.st_uid == geteuid() && (st.st_mode & 022) == 0) {
        g_tempFolder = dir;
        return dir;
      }
    } else if (errno == ENOENT && mkdir(dir.c_str(), 0700) == 0) {
      g_tempFolder = dir;
      return dir;
    }
  }
  struct stat st;
  if (stat("/tmp", &st) == 0 && S_ISDIR(st.st_mode)) return "/tmp";
  return "";
}

bool WriteAll(int fd, const uint8_t* bytes, uint32_t n) {
  while (n > 0) {
    ssize_t w = write(fd, bytes, n);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return false;
    bytes += w;
    n -= static_cast<uint32_t>(w);
  }
  return true;
}

// Extracted libraries are named "<7 letters or digits>_<library>".
bool IsExtractedName(const char* name, const std::string& library) {
  if (strlen(name) != 8 + library.size()) return false;
  for (int i = 0; i < 7; i++)
    if (!isalnum(static_cast<unsigned char>(name[i]))) return false;
  return name[7] == '_' && library == name + 8;
}

// Extracted files of earlier processes that no live process holds: each process holds
// the lock on its own file for its whole life, so an unlocked one was left by a process
// that was killed. Only this user's regular files of that naming pattern are looked at.
void RemoveStaleExtracts(const std::string& folder, const std::string& library) {
  DIR* dir = opendir(folder.c_str());
  if (!dir) return;
  while (dirent* e = readdir(dir)) {
    if (!IsExtractedName(e->d_name, library)) continue;
    MVRemoveIfUnheld(folder + "/" + e->d_name);
  }
  closedir(dir);
}

// Whether the descriptor is still the file at `path` (a process cleaning up stale files
// may have removed it between its creation and its lock).
bool StillNamed(int fd, const std::string& path) {
  struct stat held, now;
  return fstat(fd, &held) == 0 && lstat(path.c_str(), &now) == 0 && held.st_dev == now.st_dev &&
         held.st_ino == now.st_ino;
}

// Create the extracted file exclusively, "<unique>_<library>" in the temporary folder,
// and lock it at once. Returns the descriptor (the record's path set) or -1 with *error
// set.
int CreateExtractedFile(MVLoadedPlugin* rec, const std::string& library, std::string* error) {
  std::string folder = TemporaryFolder();
  if (folder.empty()) {
    *error = kNoTempPath;
    return -1;
  }
  RemoveStaleExtracts(folder, library);
  for (int attempt = 1; attempt <= kNameTries; attempt++) {
    std::string file = folder + "/" + MVRandomLetters(7) + "_" + library;
    int fd = open(file.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0700);
    if (fd >= 0) {
      if (flock(fd, LOCK_EX | LOCK_NB) == 0 && StillNamed(fd, file)) {
        rec->path = file;
        return fd;
      }
      close(fd);
      continue;
    }
    if (errno == ENOENT) {  // the folder went away meanwhile (another copy's clean-up)
      folder = TemporaryFolder();
      if (folder.empty()) break;
      continue;
    }
    if (errno != EEXIST) break;
    if (attempt == kNameTries) {
      fputs("Could not generate a unique filename for plugin.\n", stdout);
      fflush(stdout);
    }
  }
  *error = kNoTempPath;
  return -1;
}

// Write the library out; the descriptor stays open and holds the lock for the life of
// the process. Returns "" or the error text.
std::string Extract(MVLoadedPlugin* rec, const std::string& library, const uint8_t* bytes,
                    uint32_t n) {
  std::string error;
  EnsureCleanup();
  int fd = CreateExtractedFile(rec, library, &error);
  if (fd < 0) return error;
  rec->lockFd = fd;
  if (!WriteAll(fd, bytes, n)) return "Failed to write " + rec->path + ": " + strerror(errno);
  return "";
}

std::string ApplicationFolderFile(const std::string& name) {
  const char* folder = MVApplicationFolder();
  return std::string(folder && *folder ? folder : ".") + "/" + name;
}

// A library built for another machine (an i386 plug-in beside the x86-64 program, or
// the other way round) is never handed to the dynamic linker: "" when the file's ELF
// header, read through a descriptor of its own, names this machine (or is no ELF header
// at all, which the dynamic linker then reports), else the reason.
std::string OtherMachine(const std::string& path) {
#if defined(__x86_64__)
  const uint8_t kClass = ELFCLASS64;
  const uint16_t kMachine = EM_X86_64;
  const char* const kName = "x86-64";
#else
  const uint8_t kClass = ELFCLASS32;
  const uint16_t kMachine = EM_386;
  const char* const kName = "i386";
#endif
  int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return "";
  uint8_t header[EI_NIDENT + 4];
  ssize_t n = read(fd, header, sizeof header);
  close(fd);
  if (n != static_cast<ssize_t>(sizeof header) || memcmp(header, ELFMAG, SELFMAG) != 0) return "";
  uint16_t machine;
  memcpy(&machine, header + EI_NIDENT + 2, sizeof machine);  // after e_type
  if (header[EI_CLASS] == kClass && machine == kMachine) return "";
  return path + " is a library of another machine (ELF class " +
         std::to_string(header[EI_CLASS]) + ", machine " + std::to_string(machine) +
         "), not of " + kName;
}

void Install(const MVResource& res) {
  std::string library;
  const uint8_t* bytes = nullptr;
  uint32_t n = 0;
  if (!MVParsePluginResource(res.data, res.size, &library, &bytes, &n))
    InstallationFailed("The plug-in resource is damaged.");

  MVLoadedPlugin* rec = new MVLoadedPlugin;
  rec->next = g_plugins;
  g_plugins = rec;

  std::string beside = ApplicationFolderFile(library);
  struct stat st;
  if (stat(beside.c_str(), &st) == 0 && !S_ISDIR(st.st_mode)) {
    rec->loadedFrom = beside;
  } else {
    std::string error = Extract(rec, library, bytes, n);
    if (!error.empty()) InstallationFailed(error);
    rec->loadedFrom = rec->path;
  }

  std::string other = OtherMachine(rec->loadedFrom);
  if (!other.empty()) InstallationFailed(other);
  rec->handle = dlopen(rec->loadedFrom.c_str(), RTLD_LAZY);
  if (!rec->handle) {
    const char* e = dlerror();
    InstallationFailed(e ? e : "dlopen failed");
  }
  MVProtectFile(rec->loadedFrom.c_str());  // never an output of this process
  dlerror();
  MAVOPluginMainProc entry =
      reinterpret_cast<MAVOPluginMainProc>(dlsym(rec->handle, "MAVOPluginMain"));
  if (!entry) {
    const char* e = dlerror();
    InstallationFailed(e ? e : "MAVOPluginMain: undefined symbol");
  }

  g_current = rec;
  setenv("MVPLUGINPATH", rec->loadedFrom.c_str(), 1);
  entry(&MVPluginResolve);
  unsetenv("MVPLUGINPATH");
  g_current = nullptr;
}

// Class layers of the start-up that this runtime does not carry (controls, database
// engines, scripting components): nothing to start.
void StartControlClasses() {}
void StartDatabaseClasses() {}
void StartComponentClasses() {}

}  // namespace

bool MVParsePluginResource(const uint8_t* data, uint32_t size, std::string* library,
                           const uint8_t** bytes, uint32_t* count) {
  if (!data || size < 1 || 1u + data[0] > size) return false;
  library->assign(reinterpret_cast<const char*>(data + 1), data[0]);
  if (library->empty() || *library == "." || *library == ".." ||
      library->find('/') != std::string::npos || library->find('\0') != std::string::npos)
    return false;
  *bytes = data + 1 + library->size();
  *count = size - 1 - static_cast<uint32_t>(library->size());
  return true;
}

MVLoadedPlugin*& MVCurrentPlugin() { return g_current; }
MVLoadedPlugin*& MVLoadedPlugins() { return g_plugins; }

void MVInstallPlugins() {
  uint32_t count = MVResourceCount();
  for (uint32_t i = 0; i < count; i++) {
    const MVResource* res = MVResourceAt(i);
    if (res && res->type == kPluginType) Install(*res);
  }
}

extern "C" void RuntimeInitExternalClasses(void) {
  static bool done = false;
  if (done) return;
  done = true;
  StartControlClasses();
  StartDatabaseClasses();
  StartComponentClasses();
  MVInstallPlugins();
  MVBuildPluginClasses();
}
