// FolderItem: a location in the file system named by an absolute path, with its
// implementation object holding the path and the last error.
#include <ctype.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "runtime/core/objects/exception.h"
#include "runtime/core/objects/signals.h"
#include "runtime/files/files_internal.h"

namespace {

// --- Application folder and the working directory read at start-up.

std::string g_applicationFolder;
bool g_haveApplicationFolder = false;
std::string g_startDirectory;
bool g_haveStartDirectory = false;

void ReadStartDirectory() {
  if (g_haveStartDirectory) return;
  char buffer[PATH_MAX];
  if (getcwd(buffer, sizeof buffer)) {
    g_startDirectory = buffer;
    if (g_startDirectory == "/") g_startDirectory.clear();
  }
  g_haveStartDirectory = true;
}

// "a//b/./c/" -> "a/b/c": repeated slashes, "." components and the trailing "/" go;
// ".." stays, since it means something else behind a symbolic link.
std::string Tidy(const std::string& path) {
  std::string out;
  size_t i = 0;
  bool absolute = !path.empty() && path[0] == '/';
  while (i < path.size()) {
    size_t j = path.find('/', i);
    if (j == std::string::npos) j = path.size();
    std::string part = path.substr(i, j - i);
    if (!part.empty() && part != ".") {
      if (!out.empty() || absolute) out += '/';
      out += part;
    }
    i = j + 1;
  }
  return out;  // "" for the root
}

// --- Item state.

MVFolderItemImpl* ImplOf(MVObject* item) {
  return reinterpret_cast<MVFolderItemRecord*>(item)->impl;
}

const char* PathOf(MVFolderItemImpl* impl) {
  return reinterpret_cast<const char*>(MVStringBytes(impl->path));
}

std::string PathString(MVFolderItemImpl* impl) {
  return std::string(PathOf(impl), MVStringLength(impl->path));
}

void SetPath(MVFolderItemImpl* impl, const std::string& path) {
  MVString* s = MVStringFromBytes(path.data(), static_cast<uint32_t>(path.size()), kEncodingUTF8);
  MVString* old = impl->path;
  impl->path = s;
  RuntimeUnlockString(old);
}

void Record(MVFolderItemImpl* impl, int error) { impl->lastError = error ? error : EIO; }

bool EndsWithSlash(const std::string& s) { return !s.empty() && s.back() == '/'; }

// The item behind an entry point's argument: NULL for a nil item (after raising) and
// for an item without implementation object (which answers everything with 0).
MVFolderItemImpl* Checked(MVFolderItem* item) {
  void* record = MVCheckedRecord(item, MVFolderItemClass());
  return record ? ImplOf(item) : nullptr;
}

// A runtime string's bytes as UTF-8 (or as the plain bytes they are).
std::string Utf8Bytes(MVString* s) {
  if (!s) return std::string();
  uint32_t enc = s->encoding;
  if (enc == kEncodingUTF8 || enc == kEncodingASCII || enc == kEncodingUnknown)
    return std::string(reinterpret_cast<const char*>(MVStringBytes(s)), MVStringLength(s));
  MVString* converted = MVStringConvert(s, kEncodingUTF8);
  std::string out(reinterpret_cast<const char*>(MVStringBytes(converted)),
                  MVStringLength(converted));
  RuntimeUnlockString(converted);
  return out;
}

std::string Absolute(const std::string& text) {
  if (!text.empty() && text[0] == '/') return text;
  return mvfiles::BaseFolder() + "/" + text;
}

// Percent-decoding of a "file://" URL; false for any other text.
bool PathFromUrl(const std::string& url, std::string* path) {
  static const char kScheme[] = "file://";
  if (url.compare(0, sizeof kScheme - 1, kScheme) != 0) return false;
  std::string rest = url.substr(sizeof kScheme - 1);
  size_t slash = rest.find('/');
  if (slash == std::string::npos) return false;
  std::string host = rest.substr(0, slash);
  if (!host.empty() && host != "localhost") return false;
  rest = rest.substr(slash);
  path->clear();
  for (size_t i = 0; i < rest.size(); i++) {
    char c = rest[i];
    if (c == '%' && i + 2 < rest.size() && isxdigit(static_cast<unsigned char>(rest[i + 1])) &&
        isxdigit(static_cast<unsigned char>(rest[i + 2]))) {
      *path += static_cast<char>(strtol(rest.substr(i + 1, 2).c_str(), nullptr, 16));
      i += 2;
    } else {
      *path += c;
    }
  }
  return true;
}

MVFolderItem* NewItem(const std::string& path, int32_t lastError) {
  MVObject* item = RuntimeNewObject(MVFolderItemClass());
  if (!item) return nullptr;
  MVObject* implObject = RuntimeNewObject(MVFolderItemImplClass());
  if (!implObject) {
    RuntimeUnlockObject(item);
    return nullptr;
  }
  MVFolderItemImpl* impl = reinterpret_cast<MVFolderItemImpl*>(implObject);
  impl->lastError = lastError;
  SetPath(impl, path);
  reinterpret_cast<MVFolderItemRecord*>(item)->impl = impl;
  return item;
}

// The item for a path text (absolute, or relative to the base folder).
MVFolderItem* ItemForText(const std::string& text) {
  if (memchr(text.data(), 0, text.size())) return nullptr;
  std::string path = Absolute(text);

  struct stat st;
  if (stat(path.c_str(), &st) == 0) {
    if (S_ISDIR(st.st_mode) && !EndsWithSlash(path)) path += '/';
  } else if (errno != ENOENT) {
    return nullptr;
  }

  // One level of symbolic link: the item names the link's target. A relative target
  // is relative to the folder holding the link, as the system itself reads it.
  int32_t lastError = 0;
  if (lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
    char target[PATH_MAX];
    ssize_t n = readlink(path.c_str(), target, sizeof target);
    if (n < 0) {
      lastError = mvfiles::ErrnoOrEIO();
    } else if (static_cast<size_t>(n) >= sizeof target) {
      lastError = ENAMETOOLONG;
    } else {
      std::string t(target, static_cast<size_t>(n));
      if (t.empty() || t[0] != '/') {
        std::string folder = mvfiles::ParentOf(path);
        t = (folder == "/" ? std::string() : folder) + "/" + t;
      }
      path = t;
    }
  }
  return NewItem(path, lastError);
}

bool Exists(MVFolderItemImpl* impl) {
  if (access(PathOf(impl), F_OK) == 0) return true;
  Record(impl, errno);
  return false;
}

// Whether a file may be created or truncated at the item's path.
bool Writable(MVFolderItemImpl* impl) {
  const char* path = PathOf(impl);
  if (access(path, W_OK) == 0) return true;

  struct stat st;
  bool exists = stat(path, &st) == 0;
  if (exists && !S_ISDIR(st.st_mode)) {
    // Try it for real: rewrite the first byte with itself, then put the modification
    // time back.
    int fd = open(path, O_RDWR | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
      Record(impl, errno);
      return false;
    }
    bool ok = true;
    unsigned char c;
    if (pread(fd, &c, 1, 0) == 1 && pwrite(fd, &c, 1, 0) != 1) {
      Record(impl, errno);
      ok = false;
    }
    struct timespec times[2];
    times[0].tv_sec = 0;
    times[0].tv_nsec = UTIME_OMIT;
    times[1] = st.st_mtim;
    futimens(fd, times);
    close(fd);
    return ok;
  }

  // A missing file or a folder: can a file be made in the folder concerned?
  std::string folder = exists ? mvfiles::WithoutTrailingSlash(PathString(impl))
                              : mvfiles::ParentOf(PathString(impl));
  if (folder != "/") folder += '/';
  for (int i = 0; i < 10000; i++) {
    std::string probe = folder + "$$TestFile$$";
    if (i > 0) probe += std::to_string(i);
    int fd = open(probe.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY, 0600);
    if (fd >= 0) {
      close(fd);
      unlink(probe.c_str());
      return true;
    }
    if (errno != EEXIST) {
      Record(impl, errno);
      return false;
    }
  }
  Record(impl, EEXIST);
  return false;
}

bool IsFolder(MVFolderItemImpl* impl) {
  struct stat st;
  return stat(PathOf(impl), &st) == 0 && S_ISDIR(st.st_mode);
}

// The copy itself, in this process, through the safe output path: the destination is
// created (with the source's permission bits, less the umask) or replaced; a folder
// destination receives the file under the source's name. An interruption (Ctrl-C, the
// end of the process) stops it with nothing replaced. Returns 0 or the errno of the
// failing call (kMVErrorProtectedFile for a destination that is never written).
int CopyFile(const std::string& from, const std::string& to) {
  int in = open(from.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  if (in < 0) return mvfiles::ErrnoOrEIO();
  struct stat src;
  if (fstat(in, &src) != 0) {
    int e = mvfiles::ErrnoOrEIO();
    close(in);
    return e;
  }
  if (!S_ISREG(src.st_mode)) {  // a folder, or a FIFO or device that could block
    close(in);
    return S_ISDIR(src.st_mode) ? EISDIR : EINVAL;
  }

  std::string target = to;
  struct stat st;
  if (EndsWithSlash(target) || (stat(target.c_str(), &st) == 0 && S_ISDIR(st.st_mode))) {
    std::string source = mvfiles::WithoutTrailingSlash(from);
    if (!EndsWithSlash(target)) target += '/';
    target += source.substr(source.rfind('/') + 1);
  }
  if (stat(target.c_str(), &st) == 0 && st.st_dev == src.st_dev && st.st_ino == src.st_ino) {
    close(in);
    return EINVAL;  // a file copied onto itself
  }

  int error = 0;
  MVSafeOutput* out = MVSafeOutput::Begin(target.c_str(), src.st_mode & 0777, 0, &error);
  if (!out) {
    close(in);
    return error;
  }
  static char buffer[128 * 1024];
  while (error == 0) {
    if (RuntimeStopRequested() != kMVGoOn) {
      error = EINTR;
      break;
    }
    ssize_t n = read(in, buffer, sizeof buffer);
    if (n == 0) break;
    if (n < 0) {
      if (errno == EINTR) continue;
      error = mvfiles::ErrnoOrEIO();
      break;
    }
    if (!mvfiles::WriteAll(out->fd(), buffer, static_cast<size_t>(n))) error = mvfiles::ErrnoOrEIO();
  }
  if (error == 0)
    error = out->Commit();
  else
    out->Discard();
  if (close(out->fd()) != 0 && error == 0) error = mvfiles::ErrnoOrEIO();
  MVSafeOutput::Destroy(out);
  close(in);
  return error;
}

// --- Class routines.

void ItemReleaser(MVObject* o) {
  MVFolderItemRecord* r = reinterpret_cast<MVFolderItemRecord*>(o);
  MVObject* impl = reinterpret_cast<MVObject*>(r->impl);
  r->impl = nullptr;
  RuntimeUnlockObject(impl);
}

void ImplReleaser(MVObject* o) {
  MVFolderItemImpl* impl = reinterpret_cast<MVFolderItemImpl*>(o);
  MVString* path = impl->path;
  impl->path = nullptr;
  RuntimeUnlockString(path);
}

}  // namespace

// --- Shared helpers.

bool mvfiles::WriteAll(int fd, const void* bytes, size_t n) {
  const char* p = static_cast<const char*>(bytes);
  while (n > 0) {
    ssize_t w = write(fd, p, n);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return false;  // a write that takes nothing would never end
    p += w;
    n -= static_cast<size_t>(w);
  }
  return true;
}

std::string mvfiles::BaseFolder() {
  if (g_haveApplicationFolder) return g_applicationFolder;
  ReadStartDirectory();
  return g_startDirectory;
}

std::string mvfiles::WithoutTrailingSlash(const std::string& path) {
  std::string p = path;
  while (p.size() > 1 && p.back() == '/') p.pop_back();
  return p;
}

std::string mvfiles::ParentOf(const std::string& path) {
  std::string p = WithoutTrailingSlash(path);
  size_t slash = p.rfind('/');
  if (slash == std::string::npos || slash == 0) return "/";
  return p.substr(0, slash);
}

MVClass* MVFolderItemClass() {
  static MVClass* cls = MVMakeClass("FolderItem", nullptr, sizeof(MVFolderItemRecord), nullptr,
                                    nullptr, ItemReleaser);
  return cls;
}

MVClass* MVFolderItemImplClass() {
  static MVClass* cls = MVMakeClass("FolderItemImp", nullptr, sizeof(MVFolderItemImpl), nullptr,
                                    nullptr, ImplReleaser);
  return cls;
}

void* MVCheckedRecord(MVObject* o, MVClass* cls) {
  if (!o) {
    RaiseNilObjectException();
    return nullptr;
  }
  if (o->cls != cls && !RuntimeObjectIsa(o, cls)) {
    MVRaiseNew(MVIllegalCastExceptionClass(), nullptr, 0);
    return nullptr;
  }
  return o;
}

// --- Runtime-internal entry points.

extern "C" void MVFilesStartup(void) { ReadStartDirectory(); }

extern "C" void MVSetApplicationFolder(const char* folder) {
  if (!folder) {
    g_haveApplicationFolder = false;
    g_applicationFolder.clear();
    return;
  }
  std::string f = folder;
  if (f.empty() || f[0] != '/') {
    ReadStartDirectory();
    f = g_startDirectory + "/" + f;
  }
  g_applicationFolder = Tidy(f);
  g_haveApplicationFolder = true;
}

extern "C" const char* MVApplicationFolder(void) {
  return g_haveApplicationFolder ? g_applicationFolder.c_str() : nullptr;
}

extern "C" const char* MVFolderItemPath(MVFolderItem* item) {
  if (!item) return nullptr;
  MVFolderItemImpl* impl = ImplOf(item);
  return impl ? PathOf(impl) : nullptr;
}

// --- Exported entry points.

extern "C" MVFolderItem* RuntimeGetFolderItem(MVString* text, int32_t kind) {
  const uint8_t* bytes = MVStringBytes(text);
  uint32_t n = MVStringLength(text);
  static const uint8_t kSavedInfo[4] = {0x00, 0xF1, 0xD1, 0x73};
  if (n >= 4 && memcmp(bytes, kSavedInfo, 4) == 0) {
    // Saved location data: the marker, then the absolute path as UTF-8.
    std::string path(reinterpret_cast<const char*>(bytes) + 4, n - 4);
    if (path.empty() || path[0] != '/') return nullptr;
    return ItemForText(path);
  }
  std::string path = Utf8Bytes(text);
  switch (kind) {
    case 0:
      return ItemForText(path);
    case 1:
      if (path.empty() || path[0] != '/') {
        MVRaiseNew(MVRuntimeExceptionClass(), "A shell path must be absolute.", 0);
        return nullptr;
      }
      return ItemForText(path);
    case 2: {
      std::string decoded;
      if (!PathFromUrl(path, &decoded)) return nullptr;
      return ItemForText(decoded);
    }
    default:
      return nullptr;
  }
}

extern "C" bool fileExistsGetter(MVFolderItem* item) {
  MVFolderItemImpl* impl = Checked(item);
  return impl ? Exists(impl) : false;
}

extern "C" uint64_t fileSizeGetter(MVFolderItem* item) {
  MVFolderItemImpl* impl = Checked(item);
  if (!impl) return 0;
  struct stat st;
  if (stat(PathOf(impl), &st) != 0) {
    Record(impl, errno);
    return 0;
  }
  return static_cast<uint64_t>(st.st_size);
}

extern "C" void fileNameSetter(MVFolderItem* item, MVString* name) {
  MVFolderItemImpl* impl = Checked(item);
  if (!impl) return;
  std::string newName = Utf8Bytes(name);
  if (memchr(newName.data(), 0, newName.size())) {
    Record(impl, EINVAL);  // the system would see only the part before the NUL
    return;
  }
  std::string old = mvfiles::WithoutTrailingSlash(PathString(impl));
  std::string newPath = old.substr(0, old.rfind('/') + 1) + newName;
  if (Exists(impl) && rename(old.c_str(), newPath.c_str()) != 0) {
    Record(impl, errno);
    return;
  }
  SetPath(impl, newPath);
}

extern "C" void FolderItemDelete(MVFolderItem* item) {
  MVFolderItemImpl* impl = Checked(item);
  if (!impl) return;
  int r = IsFolder(impl) ? rmdir(PathOf(impl)) : remove(PathOf(impl));
  if (r != 0) Record(impl, errno);
}

extern "C" void FolderItemCopyFileTo(MVFolderItem* item, MVFolderItem* destination) {
  MVFolderItemImpl* impl = Checked(item);
  if (!impl) return;
  MVFolderItemImpl* to = Checked(destination);
  if (!to) return;
  int error = CopyFile(PathString(impl), PathString(to));
  if (error) Record(impl, error);
}

namespace {

// Opens the item's existing file with an fopen mode; a folder or a failure records its
// errno and gives nil.
MVFileHandle* OpenExisting(MVFolderItem* item, const char* mode) {
  MVFolderItemImpl* impl = Checked(item);
  if (!impl) return nullptr;
  if (IsFolder(impl)) {
    Record(impl, EISDIR);
    return nullptr;
  }
  int error = 0;
  MVFileHandle* h = MVFileHandle::Open(PathOf(impl), mode, &error);
  if (!h) Record(impl, error);
  return h;
}

}  // namespace

extern "C" MVTextInputStream* FolderItemOpenTextFile(MVFolderItem* item) {
  MVFileHandle* h = OpenExisting(item, "re");
  return h ? MVNewTextInputStream(h) : nullptr;
}

extern "C" MVBinaryStream* FolderItemOpenBinaryFile(MVFolderItem* item, bool readWrite) {
  MVFileHandle* h = OpenExisting(item, readWrite ? "r+e" : "re");
  return h ? MVNewBinaryStream(h) : nullptr;
}

namespace {

// Creating: the writability test, the trailing "/" dropped for good, then "w+".
MVFileHandle* CreateFile(MVFolderItemImpl* impl) {
  if (!Writable(impl)) return nullptr;
  std::string path = PathString(impl);
  if (EndsWithSlash(path)) {
    path.pop_back();
    SetPath(impl, path);
  }
  int error = 0;
  MVFileHandle* h = MVFileHandle::Open(PathOf(impl), "w+e", &error);
  if (!h) Record(impl, error);
  return h;
}

}  // namespace

extern "C" MVTextOutputStream* FolderItemCreateTextFile(MVFolderItem* item) {
  MVFolderItemImpl* impl = Checked(item);
  if (!impl) return nullptr;
  MVFileHandle* h = CreateFile(impl);
  return h ? MVNewTextOutputStream(h) : nullptr;
}

extern "C" MVBinaryStream* FolderItemCreateBinaryFile(MVFolderItem* item, MVString* fileType) {
  (void)fileType;  // file types mean nothing on this system
  MVFolderItemImpl* impl = Checked(item);
  if (!impl) return nullptr;
  MVFileHandle* h = CreateFile(impl);
  return h ? MVNewBinaryStream(h) : nullptr;
}

namespace {

// New output streams through the safe output path; a refusal records its error on the
// item and gives nil.
MVFileHandle* CreateOutput(MVFolderItem* item, int32_t flags) {
  MVFolderItemImpl* impl = Checked(item);
  if (!impl) return nullptr;
  int error = 0;
  mode_t mode = (flags & kMVOutputPrivate) ? 0600 : 0666;
  MVFileHandle* h = MVFileHandle::OpenOutput(PathOf(impl), mode, flags, &error);
  if (!h) Record(impl, error);
  return h;
}

}  // namespace

extern "C" MVBinaryStream* FolderItemCreateOutputFile(MVFolderItem* item, int32_t flags) {
  MVFileHandle* h = CreateOutput(item, flags);
  return h ? MVNewBinaryStream(h) : nullptr;
}

extern "C" MVTextOutputStream* FolderItemCreateOutputTextFile(MVFolderItem* item, int32_t flags) {
  MVFileHandle* h = CreateOutput(item, flags);
  return h ? MVNewTextOutputStream(h) : nullptr;
}

extern "C" bool FolderItemIsProtected(MVFolderItem* item) {
  MVFolderItemImpl* impl = Checked(item);
  return impl && MVIsProtectedFile(PathOf(impl));
}

extern "C" int32_t FolderItemGetLastError(MVFolderItem* item) {
  MVFolderItemImpl* impl = Checked(item);
  return impl ? impl->lastError : 0;
}

extern "C" MVString* FolderItemGetPath(MVFolderItem* item) {
  MVFolderItemImpl* impl = Checked(item);
  if (!impl) return nullptr;
  RuntimeLockString(impl->path);
  return impl->path;
}

extern "C" bool FolderItemSameFile(MVFolderItem* a, MVFolderItem* b) {
  MVFolderItemImpl* x = Checked(a);
  if (!x && !a) return false;
  MVFolderItemImpl* y = Checked(b);
  if (!x || !y) return false;
  struct stat sa, sb;
  return stat(PathOf(x), &sa) == 0 && stat(PathOf(y), &sb) == 0 && sa.st_dev == sb.st_dev &&
         sa.st_ino == sb.st_ino;
}

extern "C" bool FolderItemIsFolder(MVFolderItem* item) {
  MVFolderItemImpl* impl = Checked(item);
  return impl ? IsFolder(impl) : false;
}
