#include "runtime/files/safe_output_internal.h"

#include <ctype.h>
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <string.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <new>
#include <vector>

#include "runtime/core/objects/signals.h"
#include "runtime/files/files_internal.h"

namespace {

const int kMaxLinks = 40;
const int kNameTries = 100;
const uint32_t kCopyBlock = 256 * 1024;

struct FileId {
  dev_t device;
  ino_t inode;
};
std::vector<FileId>& Protected() {
  static std::vector<FileId> files;
  return files;
}

MVSafeOutput* g_active = nullptr;  // outputs being written, newest first

// The file a name resolves to: symbolic links of the last component followed (a
// relative link target is taken in the link's folder). The file itself need not exist.
int Resolve(const std::string& path, std::string* resolved) {
  std::string p = path;
  for (int links = 0; links <= kMaxLinks; links++) {
    struct stat st;
    if (lstat(p.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) {
      *resolved = p;
      return 0;
    }
    char target[PATH_MAX];
    ssize_t n = readlink(p.c_str(), target, sizeof target - 1);
    if (n <= 0) return n == 0 ? ENOENT : mvfiles::ErrnoOrEIO();
    std::string text(target, static_cast<size_t>(n));
    std::string folder = mvfiles::ParentOf(p);
    p = text[0] == '/' ? text : (folder == "/" ? "" : folder) + "/" + text;
  }
  return ELOOP;
}

}  // namespace

std::string MVRandomLetters(size_t n) {
  static const char kChars[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
  static uint32_t counter = 0;
  uint8_t bytes[16];
  if (n > sizeof bytes) n = sizeof bytes;
  if (getrandom(bytes, n, GRND_NONBLOCK) != static_cast<ssize_t>(n)) {
    uint32_t x = static_cast<uint32_t>(getpid()) * 2654435761u ^ static_cast<uint32_t>(time(nullptr)) ^
                 (++counter * 40503u);
    for (size_t i = 0; i < n; i++) {
      x = x * 1103515245u + 12345u;
      bytes[i] = static_cast<uint8_t>(x >> 16);
    }
  }
  std::string s;
  for (size_t i = 0; i < n; i++) s += kChars[bytes[i] % (sizeof kChars - 1)];
  return s;
}

void MVRemoveIfUnheld(const std::string& path) {
  int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) return;
  struct stat held, now;
  if (fstat(fd, &held) == 0 && S_ISREG(held.st_mode) && held.st_uid == geteuid() &&
      flock(fd, LOCK_EX | LOCK_NB) == 0 && lstat(path.c_str(), &now) == 0 &&
      now.st_dev == held.st_dev && now.st_ino == held.st_ino)
    unlink(path.c_str());
  close(fd);  // releases the lock
}

namespace {

const char kPartTail[] = ".part";
const char kLongPartHead[] = ".ombrix.";
const size_t kPartLetters = 6;

// The name of a temporary file beside the file `name` (random: kPartLetters letters and
// digits): "<name>.<random>.part", or ".ombrix.<random>.part" where the name is too long
// to carry the suffix.
std::string PartName(const std::string& folder, const std::string& name, const std::string& random) {
  long nameMax = pathconf(folder.c_str(), _PC_NAME_MAX);
  if (nameMax <= 0) nameMax = NAME_MAX;
  std::string candidate = name + "." + random + kPartTail;
  if (static_cast<long>(candidate.size()) > nameMax) candidate = kLongPartHead + random + kPartTail;
  return candidate;
}

// `entry` is a temporary file name PartName gives for `name`.
bool IsPartOf(const std::string& entry, const std::string& name) {
  const size_t tail = sizeof kPartTail - 1;
  auto randomAt = [&](size_t at) {
    if (entry.size() != at + kPartLetters + tail || entry.compare(at + kPartLetters, tail, kPartTail) != 0)
      return false;
    for (size_t i = at; i < at + kPartLetters; i++)
      if (!isalnum(static_cast<unsigned char>(entry[i]))) return false;
    return true;
  };
  const size_t longHead = sizeof kLongPartHead - 1;
  if (entry.compare(0, longHead, kLongPartHead) == 0 && randomAt(longHead)) return true;
  return entry.size() > name.size() && entry.compare(0, name.size(), name) == 0 &&
         entry[name.size()] == '.' && randomAt(name.size() + 1);
}

// Temporary files of earlier writers of `name` in `folder` that no live process holds:
// every writer holds the lock on its temporary file until it is gone, so an unlocked one
// was left by a process that was killed. Only this user's regular files are removed.
void RemoveStaleParts(const std::string& folder, const std::string& name) {
  DIR* dir = opendir(folder.empty() ? "/" : folder.c_str());
  if (!dir) return;
  while (dirent* e = readdir(dir)) {
    if (!IsPartOf(e->d_name, name)) continue;
    MVRemoveIfUnheld(folder + e->d_name);
  }
  closedir(dir);
}

// The temporary file of an output, locked for as long as it is open. Where the file
// system offers them it has no name until it is complete (*path stays empty), so a
// process killed while writing leaves nothing; elsewhere it is "<name>.XXXXXX.part"
// beside the file, created exclusively, never through a link, and the stale ones of
// killed writers are removed first.
// Takes the lock of a new temporary file. Where the file system keeps no locks the file
// goes unlocked (and is never taken for stale); false only when it is held already.
bool LockTemporary(int fd) { return flock(fd, LOCK_EX | LOCK_NB) == 0 || errno != EWOULDBLOCK; }

int CreateTemporary(const std::string& final, std::string* path, int* error) {
  size_t slash = final.rfind('/');
  std::string folder = final.substr(0, slash + 1);
  std::string name = final.substr(slash + 1);
  RemoveStaleParts(folder, name);
  int fd = open(folder.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
  if (fd >= 0) {
    if (LockTemporary(fd)) return fd;
    close(fd);
  }
  for (int i = 0; i < kNameTries; i++) {
    std::string candidate = folder + PartName(folder, name, MVRandomLetters(kPartLetters));
    fd = open(candidate.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY, 0600);
    if (fd >= 0) {
      struct stat held, now;
      // Locked before anyone may take it for stale; still ours once locked.
      if (LockTemporary(fd) && fstat(fd, &held) == 0 &&
          lstat(candidate.c_str(), &now) == 0 && held.st_ino == now.st_ino && held.st_dev == now.st_dev) {
        *path = candidate;
        return fd;
      }
      close(fd);
      continue;
    }
    if (errno != EEXIST) break;
  }
  *error = mvfiles::ErrnoOrEIO();
  return -1;
}

// Gives the unnamed temporary file fd a name beside `final` (a locked one, as a named
// temporary file is). Returns 0 and the name, or an errno value.
int NameTemporary(int fd, const std::string& final, std::string* path) {
  size_t slash = final.rfind('/');
  std::string folder = final.substr(0, slash + 1);
  std::string name = final.substr(slash + 1);
  char self[64];
  snprintf(self, sizeof self, "/proc/self/fd/%d", fd);
  for (int i = 0; i < kNameTries; i++) {
    std::string candidate = folder + PartName(folder, name, MVRandomLetters(kPartLetters));
    if (linkat(AT_FDCWD, self, AT_FDCWD, candidate.c_str(), AT_SYMLINK_FOLLOW) == 0) {
      *path = candidate;
      return 0;
    }
    if (errno != EEXIST) break;
  }
  return mvfiles::ErrnoOrEIO();
}

// A FIFO has no reader yet: wait for one, but give up when the user interrupts.
int OpenDirect(const std::string& path, bool fifo, int* error) {
  for (;;) {
    int fd = open(path.c_str(), O_WRONLY | O_CLOEXEC | O_NOCTTY | (fifo ? O_NONBLOCK : 0));
    if (fd >= 0) {
      if (fifo) fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
      return fd;
    }
    if (!(fifo && errno == ENXIO) && errno != EINTR) break;
    if (RuntimeStopRequested() != kMVGoOn) {
      errno = EINTR;
      break;
    }
    struct timespec pause = {0, 20 * 1000 * 1000};
    nanosleep(&pause, nullptr);
  }
  *error = mvfiles::ErrnoOrEIO();
  return -1;
}

mode_t CurrentUmask() {
  mode_t m = umask(0);
  umask(m);
  return m;
}

bool IsProtected(const struct stat& st) {
  for (const FileId& f : Protected())
    if (f.device == st.st_dev && f.inode == st.st_ino) return true;
  return false;
}

bool WriteAllAt(int fd, const uint8_t* p, size_t n, off_t at) {
  while (n > 0) {
    ssize_t w = pwrite(fd, p, n, at);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return false;
    p += w;
    at += w;
    n -= static_cast<size_t>(w);
  }
  return true;
}

}  // namespace

extern "C" void MVProtectFile(const char* path) {
  struct stat st;
  if (path && stat(path, &st) == 0) Protected().push_back(FileId{st.st_dev, st.st_ino});
}

extern "C" int MVIsProtectedFile(const char* path) {
  struct stat st;
  return path && stat(path, &st) == 0 && IsProtected(st);
}

extern "C" void MVAbandonSafeOutputs(void) {
  // Writers behind stop first: nothing reaches a temporary file after it is removed.
  MVWriteBehind::CancelAll();
  for (MVSafeOutput* o = g_active; o; o = o->next_) {
    if (!o->temporary_.empty()) unlink(o->temporary_.c_str());
    o->temporary_.clear();
    o->abandoned_ = true;  // nothing left to put in place
  }
}

MVSafeOutput* MVSafeOutput::Begin(const char* path, mode_t newMode, int flags, int* error) {
  std::string final;
  std::string name = path ? path : "";
  if (name.empty() || name.back() == '/') {
    *error = EISDIR;
    return nullptr;
  }
  if ((*error = Resolve(name, &final)) != 0) return nullptr;

  MVSafeOutput* o = new (std::nothrow) MVSafeOutput;
  if (!o) {
    *error = ENOMEM;
    return nullptr;
  }
  o->final_ = final;
  o->flags_ = flags;
  o->newMode_ = newMode;
  struct stat st;
  if (stat(final.c_str(), &st) == 0) {
    if (IsProtected(st)) {
      *error = kMVErrorProtectedFile;
    } else if (S_ISDIR(st.st_mode)) {
      *error = EISDIR;
    } else if (!S_ISREG(st.st_mode)) {
      o->mode_ = kDirect;
      o->fd_ = OpenDirect(final, S_ISFIFO(st.st_mode), error);
    } else {
      o->mode_ = st.st_nlink > 1 ? kInPlace : kReplace;
      // An in-place update cannot be atomic: it is the only writer of the file until it
      // is committed or discarded.
      if (o->mode_ == kInPlace) *error = o->LockInPlace();
      o->device_ = st.st_dev;
      o->inode_ = st.st_ino;
      o->owner_ = st.st_uid;
      o->group_ = st.st_gid;
      o->permissions_ = st.st_mode & 0777;
      // An existing file that may not be written is not replaced either.
      if (access(final.c_str(), W_OK) != 0) *error = mvfiles::ErrnoOrEIO();
    }
  } else if (errno != ENOENT) {
    *error = mvfiles::ErrnoOrEIO();
  }
  if (*error == 0 && o->mode_ != kDirect) o->fd_ = CreateTemporary(final, &o->temporary_, error);
  if (o->fd_ < 0) {
    if (*error == 0) *error = EIO;
    if (o->lockFd_ >= 0) close(o->lockFd_);
    delete o;
    return nullptr;
  }
  o->next_ = g_active;
  g_active = o;
  return o;
}

int MVSafeOutput::LockInPlace() {
  lockFd_ = open(final_.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (lockFd_ < 0) return mvfiles::ErrnoOrEIO();
  int r;
  do {
    r = flock(lockFd_, LOCK_EX | LOCK_NB);
  } while (r != 0 && errno == EINTR);
  if (r == 0) return 0;
  int error = errno == EWOULDBLOCK ? kMVErrorOutputBusy : 0;
  close(lockFd_);
  lockFd_ = -1;
  return error;  // a file system without locks: written as before
}

int MVSafeOutput::CopyInPlace() {
  struct stat tmp;
  if (fstat(fd_, &tmp) != 0) return mvfiles::ErrnoOrEIO();
  int out = open(final_.c_str(), O_WRONLY | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY);
  if (out < 0) return mvfiles::ErrnoOrEIO();
  struct stat st;
  int error = 0;
  if (fstat(out, &st) != 0) {
    error = mvfiles::ErrnoOrEIO();
  } else if (st.st_dev != device_ || st.st_ino != inode_) {
    error = EAGAIN;  // the name was given to another file meanwhile
  } else if (tmp.st_size > 0 && fallocate(out, 0, 0, tmp.st_size) != 0 && errno != EOPNOTSUPP) {
    // No room for the new content: the old one stays as it was.
    error = mvfiles::ErrnoOrEIO();
    if (ftruncate(out, st.st_size) != 0) {
    }
  }
  static uint8_t buffer[kCopyBlock];
  for (off_t at = 0; error == 0 && at < tmp.st_size;) {
    ssize_t n = pread(fd_, buffer, sizeof buffer, at);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      error = n == 0 ? EIO : mvfiles::ErrnoOrEIO();
      break;
    }
    if (!WriteAllAt(out, buffer, static_cast<size_t>(n), at)) error = mvfiles::ErrnoOrEIO();
    at += n;
  }
  if (error == 0 && ftruncate(out, tmp.st_size) != 0) error = mvfiles::ErrnoOrEIO();
  if (error == 0 && fdatasync(out) != 0 && errno != EINVAL) error = mvfiles::ErrnoOrEIO();
  if (close(out) != 0 && error == 0) error = mvfiles::ErrnoOrEIO();
  return error;
}

int MVSafeOutput::Commit() {
  if (abandoned_) return ECANCELED;  // the process is ending
  if (mode_ == kDirect) return 0;
  int error = 0;
  if (mode_ == kInPlace) {
    error = CopyInPlace();
    Unlink();
    return error;
  }
  mode_t mode = (flags_ & kMVOutputPrivate) ? 0600 : newMode_ & ~CurrentUmask() & 0777;
  if (mode_ == kReplace) {
    if (fchown(fd_, owner_, group_) != 0) {
    }  // only where the process may: otherwise the file is the user's own
    if (!(flags_ & kMVOutputPrivate)) mode = permissions_;
  }
  if (fchmod(fd_, mode) != 0 || (fdatasync(fd_) != 0 && errno != EINVAL) ||
      (temporary_.empty() && (error = NameTemporary(fd_, final_, &temporary_)) != 0) ||
      rename(temporary_.c_str(), final_.c_str()) != 0) {
    if (error != 0) return error;  // never named: nothing to remove
    error = mvfiles::ErrnoOrEIO();
    Unlink();
    return error;
  }
  temporary_.clear();
  return 0;
}

void MVSafeOutput::Unlink() {
  if (!temporary_.empty()) unlink(temporary_.c_str());
  temporary_.clear();
}

void MVSafeOutput::Discard() { Unlink(); }

void MVSafeOutput::Destroy(MVSafeOutput* o) {
  if (!o) return;
  for (MVSafeOutput** p = &g_active; *p; p = &(*p)->next_) {
    if (*p == o) {
      *p = o->next_;
      break;
    }
  }
  o->Unlink();
  if (o->lockFd_ >= 0) close(o->lockFd_);  // releases the in-place lock
  delete o;
}
