#include "runtime/files/folder_access.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "runtime/core/objects/exception.h"
#include "runtime/files/files_internal.h"
#include "runtime/values/string.h"

namespace {

// The path of a checked item: NULL (after raising) for a nil item, and for an item
// without implementation object.
const char* CheckedPath(MVFolderItem* item) {
  if (!MVCheckedRecord(item, MVFolderItemClass())) return nullptr;
  return MVFolderItemPath(item);
}

}  // namespace

extern "C" bool FolderItemIsRegularFile(MVFolderItem* item) {
  const char* path = CheckedPath(item);
  struct stat st;
  return path && stat(path, &st) == 0 && S_ISREG(st.st_mode);
}

extern "C" MVArray* FolderItemChildNames(MVFolderItem* item) {
  const char* path = CheckedPath(item);
  if (!path) return nullptr;
  // O_DIRECTORY: a FIFO or device under the name is refused without being opened for
  // reading, so nothing waits on it.
  int fd = open(path, O_RDONLY | O_DIRECTORY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return nullptr;
  DIR* dir = fdopendir(fd);
  if (!dir) {
    close(fd);
    return nullptr;
  }
  std::vector<std::string> names;
  while (struct dirent* e = readdir(dir)) {
    if (strcmp(e->d_name, ".") == 0 || strcmp(e->d_name, "..") == 0) continue;
    names.emplace_back(e->d_name);
  }
  closedir(dir);
  if (names.size() > 0x7FFFFFFFu) return nullptr;
  MVArray* out = CreateArray(1, kMVElemString, static_cast<int32_t>(names.size()) - 1);
  if (!out) return nullptr;
  MVArraySet1 set = reinterpret_cast<MVArraySet1>(out->ops->slot[kMVArraySet]);
  for (size_t i = 0; i < names.size(); i++) {
    MVString* s = MVStringFromBytes(names[i].data(), static_cast<uint32_t>(names[i].size()),
                                    kEncodingUTF8);
    set(out, reinterpret_cast<MVWord>(s), static_cast<int32_t>(i));
    RuntimeUnlockString(s);
  }
  return out;
}

extern "C" int32_t FolderItemTryLock(MVFolderItem* item, bool exclusive) {
  const char* path = CheckedPath(item);
  if (!path) return -1;
  // Read-only and non-blocking: a folder can be locked too, and a FIFO under the name
  // does not hold the caller up.
  int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) return -1;
  int r;
  do {
    r = flock(fd, (exclusive ? LOCK_EX : LOCK_SH) | LOCK_NB);
  } while (r != 0 && errno == EINTR);
  if (r != 0) {
    bool busy = errno == EWOULDBLOCK;
    close(fd);
    return busy ? 0 : -1;
  }
  return fd + 1;
}

extern "C" void RuntimeReleaseLock(int32_t handle) {
  if (handle <= 0) return;
  flock(handle - 1, LOCK_UN);
  close(handle - 1);
}

extern "C" int32_t FolderItemLinkCount(MVFolderItem* item) {
  const char* path = CheckedPath(item);
  struct stat st;
  if (!path || stat(path, &st) != 0) return 0;
  return st.st_nlink > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int32_t>(st.st_nlink);
}

std::string mvfiles::NamePath(MVString* name) {
  if (!name) return std::string();
  std::string text(reinterpret_cast<const char*>(MVStringBytes(name)), MVStringLength(name));
  if (text.empty() || memchr(text.data(), 0, text.size())) return std::string();
  while (text.size() > 1 && text.back() == '/') text.pop_back();
  return text[0] == '/' ? text : mvfiles::BaseFolder() + "/" + text;
}

extern "C" bool RuntimeNameIsLink(MVString* name) {
  std::string path = mvfiles::NamePath(name);
  struct stat st;
  return !path.empty() && lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}

extern "C" int32_t RuntimeDeleteName(MVString* name) {
  std::string path = mvfiles::NamePath(name);
  if (path.empty()) return EINVAL;
  // remove() unlinks the entry itself (a link included) or removes an empty folder.
  if (remove(path.c_str()) == 0) return 0;
  return errno == ENOENT ? 0 : mvfiles::ErrnoOrEIO();
}

extern "C" int32_t RuntimeCreateFolder(MVString* name) {
  std::string path = mvfiles::NamePath(name);
  if (path.empty()) return EINVAL;
  return mkdir(path.c_str(), 0700) == 0 ? 0 : mvfiles::ErrnoOrEIO();
}

extern "C" int32_t RuntimeRenameName(MVString* from, MVString* to) {
  std::string a = mvfiles::NamePath(from), b = mvfiles::NamePath(to);
  if (a.empty() || b.empty()) return EINVAL;
  return rename(a.c_str(), b.c_str()) == 0 ? 0 : mvfiles::ErrnoOrEIO();
}
