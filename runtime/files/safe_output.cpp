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

const int kNameTries = 100;
const uint32_t kCopyBlock = 256 * 1024;

MVSafeOutput* g_active = nullptr;  // outputs being written, newest first

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

void MVRemoveIfUnheldAt(int folder, const std::string& name) {
  int fd = openat(folder, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) return;
  struct stat held, now;
  if (fstat(fd, &held) == 0 && S_ISREG(held.st_mode) && held.st_uid == geteuid() &&
      flock(fd, LOCK_EX | LOCK_NB) == 0 &&
      fstatat(folder, name.c_str(), &now, AT_SYMLINK_NOFOLLOW) == 0 &&
      now.st_dev == held.st_dev && now.st_ino == held.st_ino)
    unlinkat(folder, name.c_str(), 0);
  close(fd);  // releases the lock
}

void MVRemoveIfUnheld(const std::string& path) {
  size_t slash = path.rfind('/');
  std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
  int dir = open(folder.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
  if (dir < 0) return;
  MVRemoveIfUnheldAt(dir, path.substr(slash + 1));
  close(dir);
}

namespace {

const char kPartTail[] = ".part";
const char kLongPartHead[] = ".ombrix.";
const size_t kPartLetters = 6;

// The name of a temporary file beside the file `name` (random: kPartLetters letters and
// digits): "<name>.<random>.part", or ".ombrix.<random>.part" where the name is too long
// to carry the suffix.
std::string PartName(int folder, const std::string& name, const std::string& random) {
  long nameMax = fpathconf(folder, _PC_NAME_MAX);
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
void RemoveStaleParts(int folder, const std::string& name) {
  int fd = openat(folder, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  DIR* dir = fd >= 0 ? fdopendir(fd) : nullptr;
  if (!dir) {
    if (fd >= 0) close(fd);
    return;
  }
  while (dirent* e = readdir(dir)) {
    if (!IsPartOf(e->d_name, name)) continue;
    MVRemoveIfUnheldAt(folder, e->d_name);
  }
  closedir(dir);
}

// Takes the lock of a new temporary file. Where the file system keeps no locks the file
// goes unlocked (and is never taken for stale); false only when it is held already.
bool LockTemporary(int fd) { return flock(fd, LOCK_EX | LOCK_NB) == 0 || errno != EWOULDBLOCK; }

// A new "<name>.XXXXXX.part" in the folder, as MVCreatePart gives it (stale ones gone).
int NewPart(int folder, const std::string& name, std::string* temporary, int* error) {
  for (int i = 0; i < kNameTries; i++) {
    std::string candidate = PartName(folder, name, MVRandomLetters(kPartLetters));
    int fd = openat(folder, candidate.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY,
                    0600);
    if (fd >= 0) {
      struct stat held, now;
      // Locked before anyone may take it for stale; still ours once locked.
      if (LockTemporary(fd) && fstat(fd, &held) == 0 &&
          fstatat(folder, candidate.c_str(), &now, AT_SYMLINK_NOFOLLOW) == 0 &&
          held.st_ino == now.st_ino && held.st_dev == now.st_dev) {
        *temporary = candidate;
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

// The temporary file of an output, locked for as long as it is open. Where the file
// system offers them it has no name until it is complete (*temporary stays empty), so a
// process killed while writing leaves nothing; elsewhere it is "<name>.XXXXXX.part"
// beside the file, created exclusively, never through a link, and the stale ones of
// killed writers are removed first.
int CreateTemporary(int folder, const std::string& name, std::string* temporary, int* error) {
  RemoveStaleParts(folder, name);
  int fd = openat(folder, ".", O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
  if (fd >= 0) {
    if (LockTemporary(fd)) return fd;
    close(fd);
  }
  return NewPart(folder, name, temporary, error);
}

// Gives the unnamed temporary file fd a name in `folder` beside `name` (a locked one, as a
// named temporary file is). Returns 0 and the name, or an errno value.
int NameTemporary(int fd, int folder, const std::string& name, std::string* temporary) {
  char self[64];
  snprintf(self, sizeof self, "/proc/self/fd/%d", fd);
  for (int i = 0; i < kNameTries; i++) {
    std::string candidate = PartName(folder, name, MVRandomLetters(kPartLetters));
    if (linkat(AT_FDCWD, self, folder, candidate.c_str(), AT_SYMLINK_FOLLOW) == 0) {
      *temporary = candidate;
      return 0;
    }
    if (errno != EEXIST) break;
  }
  return mvfiles::ErrnoOrEIO();
}

// Opens a device or a FIFO (through the link itself where the target says so); a FIFO
// without reader yet is waited for, but the user may interrupt the wait.
int OpenDirect(const MVOutputTarget& t, int* error) {
  bool fifo = S_ISFIFO(t.st.st_mode);
  int flags = O_WRONLY | O_CLOEXEC | O_NOCTTY | (fifo ? O_NONBLOCK : 0) | (t.throughLink ? 0 : O_NOFOLLOW);
  for (;;) {
    int fd = openat(t.folder, t.name.c_str(), flags);
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

// What a descriptor opened on the destination gives may be written: the file seen when
// the name was resolved (not another swapped in since), and no file that is never
// written. 0, or why not.
int CheckOpened(int fd, const struct stat& seen) {
  struct stat st;
  if (fstat(fd, &st) != 0) return mvfiles::ErrnoOrEIO();
  if (int refusal = MVRefusalOf(st)) return refusal;
  return st.st_dev == seen.st_dev && st.st_ino == seen.st_ino ? 0 : EAGAIN;
}

mode_t CurrentUmask() {
  mode_t m = umask(0);
  umask(m);
  return m;
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

int MVCreatePart(int folder, const std::string& name, std::string* temporary, int* error) {
  RemoveStaleParts(folder, name);
  return NewPart(folder, name, temporary, error);
}

extern "C" void MVAbandonSafeOutputs(void) {
  // Writers behind stop first: nothing reaches a temporary file after it is removed.
  MVWriteBehind::CancelAll();
  for (MVSafeOutput* o = g_active; o; o = o->next_) {
    if (!o->temporary_.empty()) unlinkat(o->folder_, o->temporary_.c_str(), 0);
    o->temporary_.clear();
    o->abandoned_ = true;  // nothing left to put in place
  }
}

MVSafeOutput* MVSafeOutput::Begin(const char* path, mode_t newMode, int flags, int* error) {
  std::string name = path ? path : "";
  if (name.empty() || name.back() == '/') {
    *error = EISDIR;
    return nullptr;
  }
  MVOutputTarget t;
  if ((*error = MVResolveOutput(name, &t)) != 0) return nullptr;

  MVSafeOutput* o = new (std::nothrow) MVSafeOutput;
  if (!o) {
    *error = ENOMEM;
    return nullptr;
  }
  o->flags_ = flags;
  o->newMode_ = newMode;
  const struct stat& st = t.st;
  if (t.exists) {
    if ((*error = MVRefusalOf(st)) != 0) {
    } else if (S_ISDIR(st.st_mode)) {
      *error = EISDIR;
    } else if (!S_ISREG(st.st_mode)) {
      o->mode_ = kDirect;
      o->fd_ = OpenDirect(t, error);
      if (o->fd_ >= 0 && (*error = CheckOpened(o->fd_, st)) != 0) {
        close(o->fd_);
        o->fd_ = -1;
      }
    } else {
      o->mode_ = st.st_nlink > 1 ? kInPlace : kReplace;
      o->device_ = st.st_dev;
      o->inode_ = st.st_ino;
      o->owner_ = st.st_uid;
      o->group_ = st.st_gid;
      o->permissions_ = st.st_mode & 0777;
      o->folder_ = t.folder;
      o->name_ = t.name;
      // An in-place update cannot be atomic: it is the only writer of the file until it
      // is committed or discarded.
      if (o->mode_ == kInPlace) *error = o->LockInPlace();
      // An existing file that may not be written is not replaced either.
      if (*error == 0 && faccessat(t.folder, t.name.c_str(), W_OK, 0) != 0) *error = mvfiles::ErrnoOrEIO();
    }
  }
  if (*error == 0 && o->mode_ != kDirect) {
    o->fd_ = CreateTemporary(t.folder, t.name, &o->temporary_, error);
    o->folder_ = t.folder;
    o->name_ = t.name;
  }
  if (o->fd_ < 0) {
    o->folder_ = -1;  // still t's
    if (*error == 0) *error = EIO;
    if (o->lockFd_ >= 0) close(o->lockFd_);
    delete o;
    return nullptr;
  }
  if (o->folder_ >= 0) t.folder = -1;  // the output's now
  o->next_ = g_active;
  g_active = o;
  return o;
}

int MVSafeOutput::LockInPlace() {
  lockFd_ = openat(folder_, name_.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (lockFd_ < 0) return mvfiles::ErrnoOrEIO();
  struct stat st;
  if (fstat(lockFd_, &st) != 0 || st.st_dev != device_ || st.st_ino != inode_) {
    close(lockFd_);
    lockFd_ = -1;
    return EAGAIN;  // the name was given to another file meanwhile
  }
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
  int out = openat(folder_, name_.c_str(), O_WRONLY | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY);
  if (out < 0) return mvfiles::ErrnoOrEIO();
  struct stat st;
  int error = 0;
  if (fstat(out, &st) != 0) {
    error = mvfiles::ErrnoOrEIO();
  } else if (st.st_dev != device_ || st.st_ino != inode_) {
    error = EAGAIN;  // the name was given to another file meanwhile
  } else if ((error = MVRefusalOf(st)) != 0) {
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
      (temporary_.empty() && (error = NameTemporary(fd_, folder_, name_, &temporary_)) != 0) ||
      renameat(folder_, temporary_.c_str(), folder_, name_.c_str()) != 0) {
    if (error != 0) return error;  // never named: nothing to remove
    error = mvfiles::ErrnoOrEIO();
    Unlink();
    return error;
  }
  temporary_.clear();
  return 0;
}

void MVSafeOutput::Unlink() {
  if (!temporary_.empty()) unlinkat(folder_, temporary_.c_str(), 0);
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
  if (o->folder_ >= 0) close(o->folder_);
  delete o;
}
