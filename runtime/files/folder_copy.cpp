#include "runtime/files/folder_copy.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "runtime/core/objects/signals.h"
#include "runtime/files/files_internal.h"

namespace {

const size_t kBlock = 64 * 1024;

// A file copied: what it is on each side.
struct Copied {
  dev_t sourceDevice, copyDevice;
  ino_t sourceInode, copyInode;
};

struct Copy {
  int from = -1, to = -1;  // the folders (O_PATH descriptors)
  std::map<std::string, Copied> files;
  ~Copy() {
    if (from >= 0) close(from);
    if (to >= 0) close(to);
  }
};

std::vector<std::unique_ptr<Copy>>& Copies() {
  static std::vector<std::unique_ptr<Copy>> copies;
  return copies;
}

Copy* CopyOf(int32_t handle) {
  if (handle <= 0 || static_cast<size_t>(handle) > Copies().size()) return nullptr;
  return Copies()[handle - 1].get();
}

int OpenFolder(MVString* name) {
  std::string path = MVStringLength(name) == 0 ? mvfiles::BaseFolder() : mvfiles::NamePath(name);
  if (path.empty()) path = "/";  // the base folder is the root
  return open(path.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
}

// A plain name in a folder: not empty, no "/", no NUL, neither "." nor "..".
bool PlainName(MVString* name, std::string* out) {
  out->assign(reinterpret_cast<const char*>(MVStringBytes(name)), MVStringLength(name));
  return !out->empty() && out->find('/') == std::string::npos && out->find('\0') == std::string::npos &&
         *out != "." && *out != "..";
}

bool Is(const struct stat& st, dev_t device, ino_t inode) {
  return st.st_dev == device && st.st_ino == inode;
}

// Up to n bytes at `at`, fewer only at the end of the file; -1 on an error.
ssize_t ReadAt(int fd, char* p, size_t n, off_t at) {
  size_t got = 0;
  while (got < n) {
    ssize_t r = pread(fd, p + got, n - got, at + static_cast<off_t>(got));
    if (r < 0 && errno == EINTR) continue;
    if (r < 0) return -1;
    if (r == 0) break;
    got += static_cast<size_t>(r);
  }
  return static_cast<ssize_t>(got);
}

// The two open files hold the same bytes.
bool SameBytes(int a, int b) {
  static char x[kBlock], y[kBlock];
  for (off_t at = 0;; at += kBlock) {
    ssize_t n = ReadAt(a, x, kBlock, at), m = ReadAt(b, y, kBlock, at);
    if (n < 0 || n != m || memcmp(x, y, static_cast<size_t>(n)) != 0) return false;
    if (n < static_cast<ssize_t>(kBlock)) return true;
  }
}

// Copies the bytes of `in` to `out`: 0, EINTR when the user interrupts, or the errno of a
// failed read or write.
int Transfer(int in, int out) {
  static char buffer[kBlock];
  for (;;) {
    if (RuntimeStopRequested() != kMVGoOn) return EINTR;
    ssize_t n = read(in, buffer, sizeof buffer);
    if (n == 0) return 0;
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 || !mvfiles::WriteAll(out, buffer, static_cast<size_t>(n))) return mvfiles::ErrnoOrEIO();
  }
}

// Opens `name` in `folder` for reading, never through a link: its descriptor, or -1 with
// *error set (EINVAL for what is no regular file). *st describes it.
int OpenRegular(int folder, const std::string& name, struct stat* st, int* error) {
  int fd = openat(folder, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) {
    *error = mvfiles::ErrnoOrEIO();
    return -1;
  }
  int r = fstat(fd, st);
  if (r == 0 && S_ISREG(st->st_mode)) return fd;
  *error = r != 0 ? mvfiles::ErrnoOrEIO() : EINVAL;
  close(fd);
  return -1;
}

// The copy of one open source file into `c->to` under `name`; 0 or why not. *made is
// what the copy is once in place.
int CopyInto(Copy* c, int source, const struct stat& src, const std::string& name, struct stat* made) {
  struct stat there;
  if (fstatat(c->to, name.c_str(), &there, AT_SYMLINK_NOFOLLOW) == 0) {
    if (Is(there, src.st_dev, src.st_ino)) return EINVAL;  // the copy would replace its source
    if (int refusal = MVRefusalOf(there)) return refusal;
  }
  std::string temporary;
  int error = 0;
  int fd = MVCreatePart(c->to, name, &temporary, &error);
  if (fd < 0) return error;
  error = Transfer(source, fd);
  if (error == 0 && (fchmod(fd, src.st_mode & 0777) != 0 || (fdatasync(fd) != 0 && errno != EINVAL) ||
                     fstat(fd, made) != 0))
    error = mvfiles::ErrnoOrEIO();
  if (error == 0 && !SameBytes(source, fd)) error = EIO;
  if (error == 0 && renameat(c->to, temporary.c_str(), c->to, name.c_str()) != 0) error = mvfiles::ErrnoOrEIO();
  if (error != 0) {
    unlinkat(c->to, temporary.c_str(), 0);
  } else if (fstatat(c->to, name.c_str(), &there, AT_SYMLINK_NOFOLLOW) != 0 ||
             !Is(there, made->st_dev, made->st_ino)) {
    error = ESTALE;  // replaced the moment it was put in place
  }
  close(fd);  // releases the temporary file's lock
  return error;
}

}  // namespace

namespace {

// The record of the copied file `name` (and *n, its name as the system sees it), or NULL
// when the handle or the name is unknown.
const Copied* Recorded(int32_t copy, MVString* name, Copy** c, std::string* n) {
  *c = CopyOf(copy);
  if (!*c || !PlainName(name, n)) return nullptr;
  auto it = (*c)->files.find(*n);
  return it == (*c)->files.end() ? nullptr : &it->second;
}

}  // namespace

extern "C" int32_t RuntimeCopyBegin(MVString* from, MVString* to, int32_t* error) {
  std::unique_ptr<Copy> c(new Copy);
  c->from = OpenFolder(from);
  c->to = c->from >= 0 ? OpenFolder(to) : -1;
  if (c->to < 0) {
    *error = mvfiles::ErrnoOrEIO();
    return 0;
  }
  Copies().push_back(std::move(c));
  return static_cast<int32_t>(Copies().size());
}

extern "C" int32_t RuntimeCopyFile(int32_t copy, MVString* name) {
  Copy* c = CopyOf(copy);
  std::string n;
  if (!c || !PlainName(name, &n)) return EINVAL;
  struct stat src, made;
  int error = 0;
  int source = OpenRegular(c->from, n, &src, &error);
  if (source < 0) return error;
  error = CopyInto(c, source, src, n, &made);
  close(source);
  if (error == 0) c->files[n] = Copied{src.st_dev, made.st_dev, src.st_ino, made.st_ino};
  return error;
}

extern "C" int32_t RuntimeCopyVerify(int32_t copy, MVString* name) {
  Copy* c;
  std::string n;
  const Copied* f = Recorded(copy, name, &c, &n);
  if (!f) return ENOENT;
  struct stat a, b;
  int error = 0;
  int source = OpenRegular(c->from, n, &a, &error);
  int made = source >= 0 ? OpenRegular(c->to, n, &b, &error) : -1;
  if (made >= 0 && (!Is(a, f->sourceDevice, f->sourceInode) || !Is(b, f->copyDevice, f->copyInode)))
    error = ESTALE;
  else if (made >= 0 && !SameBytes(source, made))
    error = EIO;
  if (source >= 0) close(source);
  if (made >= 0) close(made);
  return error;
}

extern "C" int32_t RuntimeCopyDeleteSource(int32_t copy, MVString* name) {
  Copy* c;
  std::string n;
  const Copied* f = Recorded(copy, name, &c, &n);
  if (!f) return ENOENT;
  struct stat st;
  if (fstatat(c->from, n.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return errno == ENOENT ? 0 : mvfiles::ErrnoOrEIO();
  if (!Is(st, f->sourceDevice, f->sourceInode)) return ESTALE;
  if (unlinkat(c->from, n.c_str(), 0) == 0 || errno == ENOENT) return 0;
  return mvfiles::ErrnoOrEIO();
}

extern "C" void RuntimeCopyEnd(int32_t copy) {
  if (CopyOf(copy)) Copies()[copy - 1].reset();
  while (!Copies().empty() && !Copies().back()) Copies().pop_back();
}
