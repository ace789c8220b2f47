/* Preloaded into ombrix by the tests: file-system features taken away.
 * With OMBRIX_TEST_NO_TMPFILE set, every open() or openat() asking for an unnamed
 * temporary file (O_TMPFILE) fails with EOPNOTSUPP, as on a file system without them.
 * With OMBRIX_TEST_NO_FLOCK set, every flock() on a folder fails with ENOLCK, as on a
 * file system that keeps no locks on folders. The program is built with 64-bit file
 * offsets, so its open() is open64() and its openat() openat64(); all are covered.
 * With OMBRIX_TEST_UNREADABLE=NAME, a file of that name opened for reading with stdio
 * (fopen, fopen64) is refused with EACCES, as it is for a user without read permission
 * (the tests may run as root, whom permissions do not stop). */
#define _GNU_SOURCE
#undef _FILE_OFFSET_BITS
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>

typedef int (*open_fn)(const char*, int, ...);

static int refused(int flags) {
  return (flags & O_TMPFILE) == O_TMPFILE && getenv("OMBRIX_TEST_NO_TMPFILE");
}

static int forward(const char* symbol, const char* path, int flags, va_list ap) {
  mode_t mode = (flags & O_CREAT) || (flags & O_TMPFILE) == O_TMPFILE ? va_arg(ap, mode_t) : 0;
  if (refused(flags)) {
    errno = EOPNOTSUPP;
    return -1;
  }
  open_fn real = (open_fn)dlsym(RTLD_NEXT, symbol);
  return real(path, flags, mode);
}

int open(const char* path, int flags, ...) {
  va_list ap;
  va_start(ap, flags);
  int fd = forward("open", path, flags, ap);
  va_end(ap);
  return fd;
}

int open64(const char* path, int flags, ...) {
  va_list ap;
  va_start(ap, flags);
  int fd = forward("open64", path, flags, ap);
  va_end(ap);
  return fd;
}

typedef int (*openat_fn)(int, const char*, int, ...);

static int forward_at(const char* symbol, int folder, const char* path, int flags, va_list ap) {
  mode_t mode = (flags & O_CREAT) || (flags & O_TMPFILE) == O_TMPFILE ? va_arg(ap, mode_t) : 0;
  if (refused(flags)) {
    errno = EOPNOTSUPP;
    return -1;
  }
  openat_fn real = (openat_fn)dlsym(RTLD_NEXT, symbol);
  return real(folder, path, flags, mode);
}

int openat(int folder, const char* path, int flags, ...) {
  va_list ap;
  va_start(ap, flags);
  int fd = forward_at("openat", folder, path, flags, ap);
  va_end(ap);
  return fd;
}

int openat64(int folder, const char* path, int flags, ...) {
  va_list ap;
  va_start(ap, flags);
  int fd = forward_at("openat64", folder, path, flags, ap);
  va_end(ap);
  return fd;
}

int flock(int fd, int operation) {
  struct stat st;
  if (getenv("OMBRIX_TEST_NO_FLOCK") && fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
    errno = ENOLCK;
    return -1;
  }
  int (*real)(int, int) = (int (*)(int, int))dlsym(RTLD_NEXT, "flock");
  return real(fd, operation);
}

typedef FILE* (*fopen_fn)(const char*, const char*);

static FILE* open_stream(const char* symbol, const char* path, const char* mode) {
  const char* name = getenv("OMBRIX_TEST_UNREADABLE");
  const char* base = path ? strrchr(path, '/') : NULL;
  base = base ? base + 1 : path;
  if (name && base && mode[0] == 'r' && strcmp(base, name) == 0) {
    errno = EACCES;
    return NULL;
  }
  fopen_fn real = (fopen_fn)dlsym(RTLD_NEXT, symbol);
  return real(path, mode);
}

FILE* fopen(const char* path, const char* mode) { return open_stream("fopen", path, mode); }

FILE* fopen64(const char* path, const char* mode) { return open_stream("fopen64", path, mode); }
