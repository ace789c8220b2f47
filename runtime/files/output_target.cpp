// Where an output goes, and which files it may never be: a destination name resolved once
// into a descriptor of its folder and a name there, the program's own files, and the
// files a command guards for as long as it runs.
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <set>
#include <string>
#include <utility>

#include "runtime/files/files_internal.h"

namespace {

const int kMaxLinks = 40;
const long kProcFileSystem = 0x9fa0;  // PROC_SUPER_MAGIC

// Files by what they are: device and inode.
using FileIds = std::set<std::pair<dev_t, ino_t>>;

bool Holds(const FileIds& files, const struct stat& st) { return files.count({st.st_dev, st.st_ino}) > 0; }

// The program and the plug-ins it loaded: never written, for the whole run.
FileIds& Protected() {
  static FileIds files;
  return files;
}

// The files the running command guards (its key files, its source): as many as its key
// folder holds.
FileIds& Guarded() {
  static FileIds files;
  return files;
}

void Guard(const struct stat& st) { Guarded().insert({st.st_dev, st.st_ino}); }

// "a/b/c" -> "a/b" and "c"; "/c" -> "/" and "c"; "c" -> "" and "c".
void Split(const std::string& path, std::string* folder, std::string* name) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) {
    folder->clear();
    *name = path;
    return;
  }
  *folder = slash == 0 ? "/" : path.substr(0, slash);
  *name = path.substr(slash + 1);
}

// A folder opened for the *at calls: taken from `base` for a relative text ("" is base
// itself), from the root for an absolute one. -1 with errno set on failure.
int OpenFolder(int base, const std::string& folder) {
  const int flags = O_PATH | O_DIRECTORY | O_CLOEXEC;
  if (!folder.empty() && folder[0] == '/') return open(folder.c_str(), flags);
  return openat(base, folder.empty() ? "." : folder.c_str(), flags);
}

// A symbolic link of /proc (/proc/self/fd/1, reached from /dev/stdout) names an open file
// rather than a path: a pipe's or a terminal's text cannot be followed as one.
bool OnProc(int folder) {
  struct statfs fs;
  return fstatfs(folder, &fs) == 0 && fs.f_type == kProcFileSystem;
}

}  // namespace

MVOutputTarget::~MVOutputTarget() {
  if (folder >= 0) close(folder);
}

int MVResolveOutput(const std::string& path, MVOutputTarget* t) {
  std::string folder;
  Split(path, &folder, &t->name);
  if (t->name.empty() || t->name == "." || t->name == "..") return EISDIR;
  t->folder = OpenFolder(AT_FDCWD, folder.empty() ? "." : folder);
  if (t->folder < 0) return mvfiles::ErrnoOrEIO();
  for (int links = 0;; links++) {
    if (fstatat(t->folder, t->name.c_str(), &t->st, AT_SYMLINK_NOFOLLOW) != 0) {
      t->exists = false;
      return errno == ENOENT ? 0 : mvfiles::ErrnoOrEIO();
    }
    t->exists = true;
    if (!S_ISLNK(t->st.st_mode)) return 0;
    if (links == kMaxLinks) return ELOOP;
    struct stat opened;
    if (OnProc(t->folder) && fstatat(t->folder, t->name.c_str(), &opened, 0) == 0 &&
        !S_ISREG(opened.st_mode) && !S_ISDIR(opened.st_mode)) {
      t->st = opened;  // a pipe, a terminal, a device: opened through the link itself
      t->throughLink = true;
      return 0;
    }
    char text[PATH_MAX];
    ssize_t n = readlinkat(t->folder, t->name.c_str(), text, sizeof text);
    if (n <= 0) return n == 0 ? ENOENT : mvfiles::ErrnoOrEIO();
    if (static_cast<size_t>(n) >= sizeof text) return ENAMETOOLONG;
    std::string next;
    Split(std::string(text, static_cast<size_t>(n)), &folder, &next);
    if (next.empty() || next == "." || next == "..") return EISDIR;
    int moved = OpenFolder(t->folder, folder);
    if (moved < 0) return mvfiles::ErrnoOrEIO();
    close(t->folder);
    t->folder = moved;
    t->name = next;
  }
}

int MVRefusalOf(const struct stat& st) {
  if (Holds(Protected(), st)) return kMVErrorProtectedFile;
  if (Holds(Guarded(), st)) return kMVErrorGuardedFile;
  return 0;
}

int MVRefusalOfDescriptor(int fd) {
  struct stat st;
  return fstat(fd, &st) == 0 ? MVRefusalOf(st) : 0;
}

extern "C" void MVProtectFile(const char* path) {
  struct stat st;
  if (path && stat(path, &st) == 0) Protected().insert({st.st_dev, st.st_ino});
}

extern "C" int MVIsProtectedFile(const char* path) {
  struct stat st;
  return path && stat(path, &st) == 0 && Holds(Protected(), st);
}

extern "C" bool RuntimeGuardFile(MVString* name) {
  std::string path = mvfiles::NamePath(name);
  if (path.empty()) return false;
  // The entry itself, never through a link; a FIFO under the name is not waited for.
  int fd = open(path.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat st;
  bool there = fstat(fd, &st) == 0;
  if (there) Guard(st);
  close(fd);
  // A key file that is a symbolic link is read through it: what it leads to is guarded.
  if (there && S_ISLNK(st.st_mode)) {
    fd = open(path.c_str(), O_PATH | O_CLOEXEC);
    if (fd >= 0 && fstat(fd, &st) == 0) Guard(st);
    if (fd >= 0) close(fd);
  }
  return there;
}

void MVGuardDescriptor(int fd) {
  struct stat st;
  if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) Guard(st);
}

extern "C" void RuntimeClearGuards(void) { Guarded().clear(); }

extern "C" int32_t FolderItemOutputRefusal(MVFolderItem* item) {
  if (!MVCheckedRecord(item, MVFolderItemClass())) return 0;
  const char* path = MVFolderItemPath(item);
  if (!path) return 0;
  MVOutputTarget t;
  if (MVResolveOutput(path, &t) != 0 || !t.exists) return 0;
  return MVRefusalOf(t.st);
}
